// The station's desktop program.
//
//   quorlex-station [--home DIR]            run in the station folder DIR
//   quorlex-station --init DIR [--port P]   make a ready station folder and exit
//
// For now the window shows the serial port of the station folder and what an
// identify probe of the line finds; the full main window is built on this core.
#include "core/comport.h"
#include "core/ini_file.h"
#include "core/station_folder.h"
#include "protocol/transaction.h"
#include "protocol/unit_protocol.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

using namespace qlx;

namespace {

QString argumentAfter(const QStringList &args, const QString &flag)
{
    const qsizetype i = args.indexOf(flag);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Сеть датчиков Quorlink"));
    const QStringList args = QApplication::arguments();

    if (args.contains(QStringLiteral("--init"))) {
        const QString dir = argumentAfter(args, QStringLiteral("--init"));
        QString error;
        if (dir.isEmpty() || !StationFolder(dir).initialise(argumentAfter(args, QStringLiteral("--port")), &error)) {
            std::fprintf(stderr, "quorlex-station: %s\n", qPrintable(error.isEmpty() ? QStringLiteral("--init needs a folder") : error));
            return 2;
        }
        return 0;
    }

    const StationFolder folder = StationFolder::fromArguments(args);
    ComPort port;
    port.loadSettings(IniFile(folder.iniFile(QStringLiteral("Com_setup_modbus.ini"))));
    Transaction line(port);
    line.setAnswerWait(IniFile(folder.iniFile(QStringLiteral("Time.ini"))).readInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 100));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Сеть датчиков Кворлекс"));
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    auto *status = new QLabel;
    auto *scan = new QPushButton(QStringLiteral("Опросить сеть"));
    auto *log = new QPlainTextEdit;
    log->setReadOnly(true);
    layout->addWidget(status);
    layout->addWidget(scan);
    layout->addWidget(log);
    window.setCentralWidget(central);
    try {
        port.open();
        status->setText(QStringLiteral("Порт %1 открыт, %2 бод").arg(port.settings().port, port.settings().speedText()));
    } catch (const PortError &e) {
        status->setText(QStringLiteral("Не могу открыть COM порт: %1").arg(QString::fromUtf8(e.what())));
        scan->setEnabled(false);
    }
    QObject::connect(scan, &QPushButton::clicked, &window, [&] {
        scan->setEnabled(false);
        [](Transaction &line, QPlainTextEdit *log, QPushButton *scan) -> QCoro::Task<void> {
            QPointer<QPlainTextEdit> guard(log);
            for (int a = 1; a <= 255; ++a) {
                QByteArray answer;
                try {
                    answer = co_await line.Timed_exchange(Build_identify(a), kIdentifyCap);
                } catch (const PortError &e) {
                    if (guard)
                        guard->appendPlainText(QString::fromUtf8(e.what()));
                    break;
                }
                if (!guard)
                    co_return;
                if (!answer.isEmpty())
                    guard->appendPlainText(QStringLiteral("Узел %1 отвечает").arg(a));
            }
            if (guard)
                scan->setEnabled(true);
        }(line, log, scan);
    });
    window.resize(640, 480);
    window.show();
    return QApplication::exec();
}
