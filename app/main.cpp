// The station's desktop program.
//
//   quorlex-station [--home DIR] [--autostart] [--scan [--front-panel ADDR]] [--screenshot FILE]
//   quorlex-station --init DIR [--port PATH]
//
// --home DIR        the station folder (default: the executable's folder)
// --init DIR        make a ready station folder, with the serial port PATH, and exit
// --autostart       the one-button start ("Автоматическое обновление") once the main window is shown
// --scan            scan the line once the main window is shown
// --front-panel ADDR  with --scan: open the device window of node ADDR after the scan
// --wizard          with --scan: open the debugging wizard after the scan, run its scan,
//                   then read registers 0 and 1 of node 8 with function 03
// --screenshot FILE save a picture of the screen into FILE: after the scan with
//                   --scan (after the device window's first refresh with --front-panel,
//                   after the wizard's answer with --wizard),
//                   after the second polling pass with --autostart (after the chart has
//                   drawn six polls with --chart)
// --chart ADDR:CHANNEL  with --autostart: open a history chart of that channel after the
//                   second polling pass, its automatic refresh on (for a wall display)
// --log-viewer ADDR with --autostart: open the text-log viewer of node ADDR after the
//                   second polling pass (a picture is taken then)
#include "base/station_folder.h"
#include "app/mainform.h"
#include "app/station_app.h"
#include "engine/station_engine.h"
#include "engine/device_refresh.h"
#include "engine/setpoint.h"
#include "engine/history_session.h"
#include "windows/device_window.h"
#include "windows/history_chart_window.h"
#include "windows/select_interval_dialog.h"
#include "windows/sensors_table_window.h"
#include "windows/wizard_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QPushButton>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

using namespace qlx;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const char c = static_cast<char>(signo);
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

QString argumentAfter(const QStringList &args, const QString &flag)
{
    const qsizetype i = args.indexOf(flag);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
}

// Reports an error that escaped the message loop, then ends the program.
QCoro::Task<void> reportFatal()
{
    co_await DialogSeam::ask(nullptr, kFatalCaption, kFatalText, QMessageBox::Critical,
                             QMessageBox::Ok | QMessageBox::Cancel);
    QCoreApplication::exit(1);
}

class StationApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "quorlex-station: %s\n", e.what());
            if (!m_failed) {
                m_failed = true;
                reportFatal();
            }
            return false;
        }
    }

private:
    bool m_failed = false;
};

// --init needs no display: it only writes the station folder.
int initialiseFolder(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString dir = argumentAfter(args, QStringLiteral("--init"));
    QString error = QStringLiteral("--init needs a folder");
    if (dir.isEmpty()
        || !StationEngine::initialiseFolder(StationFolder(dir), argumentAfter(args, QStringLiteral("--port")), &error)) {
        std::fprintf(stderr, "quorlex-station: %s\n", qPrintable(error));
        return 2;
    }
    return 0;
}

// --export needs no display: the history of a period into files, for a scheduled export.
// Exit status 0 written, 1 failed (what failed on stderr), 2 a mistyped time or file name.
int exportHistory(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString file = argumentAfter(args, QStringLiteral("--export"));
    const auto time = [&args](const char *flag) {
        return QDateTime::fromString(argumentAfter(args, QString::fromLatin1(flag)), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    };
    const HistoryPeriod period{time("--from"), time("--to")};
    if (!period.from.isValid() || !period.to.isValid()) {
        std::fprintf(stderr, "quorlex-station: --export needs --from and --to as \"dd.mm.yyyy hh:mm:ss\"\n");
        return 2;
    }
    if (!export_format_of(file)) {
        std::fprintf(stderr, "quorlex-station: --export needs a file named .htm, .xls or .txt, not %s\n", qPrintable(file));
        return 2;
    }
    const StationFolder folder = StationFolder::fromArguments(args);
    TDM_local dm;
    if (!dm.open_history_database(folder.bdDir())) {
        std::fprintf(stderr, "quorlex-station: Запись в базу данных невозможна: %s\n", qPrintable(dm.last_error()));
        return 1;
    }
    int status = 1;
    auto task = [](TDM_local &dm, HistoryPeriod period, QString file, StationFolder folder, int *status) -> QCoro::Task<void> {
        const QString failed = co_await export_period(dm, period, file,
                                                      GridLayout::read(folder.iniFile(kGridIniName), HistoryView::Rows),
                                                      GridLayout::read(folder.iniFile(kGrid2IniName), HistoryView::Cross));
        if (!failed.isEmpty())
            std::fprintf(stderr, "quorlex-station: %s\n", qPrintable(QString(failed).replace(QStringLiteral("\n\r"), QStringLiteral(" "))));
        *status = failed.isEmpty() ? 0 : 1;
        QCoreApplication::exit(*status);
    }(dm, period, file, folder, &status);
    if (!task.isReady())
        QCoreApplication::exec();
    return status;
}

const char kUsage[] =
    "usage: quorlex-station [--home DIR] [--autostart] [--scan [--front-panel ADDR | --wizard]]\n"
    "                       [--chart ADDR:CHANNEL] [--screenshot FILE]\n"
    "       quorlex-station --init DIR [--port PATH]\n"
    "       quorlex-station [--home DIR] --export FILE --from \"dd.mm.yyyy hh:mm:ss\" --to \"dd.mm.yyyy hh:mm:ss\"\n"
    "       quorlex-station --help\n"
    "\n"
    "  --home DIR          the station folder (default: the program's folder)\n"
    "  --init DIR          make a ready station folder with the serial port PATH, and exit\n"
    "  --autostart         press \"Автоматическое обновление\" once the main window is shown\n"
    "  --scan              scan the line once the main window is shown\n"
    "  --front-panel ADDR  with --scan: open the device window of node ADDR after the scan\n"
    "  --wizard            with --scan: open the debugging wizard after the scan, run its scan,\n"
    "                      then read registers 0 and 1 of node 8 with function 03\n"
    "  --chart ADDR:CHANNEL with --autostart: after the second polling pass open a history\n"
    "                      chart of channel CHANNEL (1..12) of node ADDR, its refresh on\n"
    "  --log-viewer ADDR   with --autostart: after the second polling pass open the text-log\n"
    "                      viewer of node ADDR\n"
    "  --export FILE       write the history of the period --from .. --to (both included) into\n"
    "                      FILE and FILE2 (\"Вид 1\" and \"Вид 2\"; .htm, .xls or .txt) and exit,\n"
    "                      without a display; an existing file is not replaced\n"
    "  --table             with --autostart: after the second polling pass open the history\n"
    "                      table of the last 24 hours\n"
    "  --screenshot FILE   save a picture of the screen into FILE (after the scan, the device\n"
    "                      window's first refresh, the wizard's answer, or the second polling pass)\n";

// The node the wizard reads with --wizard: node 8 of the demo line, the one in upper alarm.
constexpr int kWizardNode = 8;

// --wizard: the debugging wizard scans the line, then the operator's steps for a read of
// registers 0 and 1 of node 8 on the page "Функция 03Н"; `answered` runs once the answer
// is shown.
void runWizardExchange(StationApp &station, const std::function<void()> &answered)
{
    TFrm_wizard *window = station.openWizard();
    Wizard *wizard = window->wizard();
    QObject::connect(wizard, &Wizard::scanFinished, window, [window, wizard] {
        const qsizetype row = wizard->found().indexOf(kWizardNode);
        if (row < 0) {
            std::fprintf(stderr, "quorlex-station: the wizard did not find node %d\n", kWizardNode);
            return;
        }
        window->findChild<QListWidget *>(QStringLiteral("ListBox"))->setCurrentRow(int(row));
        window->findChild<QLineEdit *>(QStringLiteral("Edit_03_adr"))->setText(QStringLiteral("0"));
        window->findChild<QLineEdit *>(QStringLiteral("Edit_03_kol"))->setText(QStringLiteral("2"));
        window->findChild<QPushButton *>(QStringLiteral("Button2"))->click();
        window->findChild<QPushButton *>(QStringLiteral("Button3"))->click();
    }, Qt::SingleShotConnection);
    QObject::connect(wizard, &Wizard::answered, window, [answered] { answered(); }, Qt::SingleShotConnection);
    window->Button1Click();
}

// The node and channel of --chart ADDR:CHANNEL; empty unless both are in range.
std::optional<std::pair<int, int>> chartTarget(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return std::nullopt;
    bool addressOk = false;
    bool channelOk = false;
    const int address = parts[0].toInt(&addressOk);
    const int channel = parts[1].toInt(&channelOk);
    if (!addressOk || !channelOk || address < 1 || address > 255 || channel < 1 || channel > 12)
        return std::nullopt;
    return std::make_pair(address, channel);
}

// Checks the arguments before any window system is touched: --help and a mistake
// need no display. Returns the exit status to end with, or -1 to go on.
int checkArguments(int argc, char *argv[])
{
    static const char *const withValue[] = {"--home", "--init", "--port", "--front-panel", "--screenshot", "--chart", "--log-viewer",
                                            "--export", "--from", "--to"};
    static const char *const flags[] = {"--autostart", "--scan", "--wizard", "--table"};
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        bool known = false;
        for (const char *f : flags)
            known = known || std::strcmp(a, f) == 0;
        for (const char *v : withValue) {
            if (std::strcmp(a, v) != 0)
                continue;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorlex-station: %s needs a value\n%s", a, kUsage);
                return 2;
            }
            ++i;
            known = true;
        }
        if (!known) {
            std::fprintf(stderr, "quorlex-station: unknown option %s\n%s", a, kUsage);
            return 2;
        }
        if (std::strcmp(a, "--chart") == 0 && !chartTarget(QString::fromLocal8Bit(argv[i]))) {
            std::fprintf(stderr, "quorlex-station: --chart needs ADDR:CHANNEL (1..255:1..12), not %s\n", argv[i]);
            return 2;
        }
    }
    bool chart = false;
    bool autostart = false;
    for (int i = 1; i < argc; ++i) {
        chart = chart || std::strcmp(argv[i], "--chart") == 0 || std::strcmp(argv[i], "--log-viewer") == 0;
        autostart = autostart || std::strcmp(argv[i], "--autostart") == 0;
    }
    if (chart && !autostart) {
        std::fprintf(stderr, "quorlex-station: --chart and --log-viewer are used with --autostart\n%s", kUsage);
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (const int status = checkArguments(argc, argv); status >= 0)
        return status;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--init") == 0)
            return initialiseFolder(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--export") == 0)
            return exportHistory(argc, argv);

    StationApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Сеть датчиков Quorlink"));
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QApplication::arguments();

    StationApp station(StationFolder::fromArguments(args));
    QObject::connect(&station, &StationApp::finished, &app, [](int code) { QCoreApplication::exit(code); });

    // SIGTERM and SIGINT close the station as the operator would.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &station, [&station] {
            char c;
            [[maybe_unused]] const auto n = ::read(signalPipe[0], &c, 1);
            station.closeStation();
        });
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }

    // A station restarted after a power cut resumes monitoring without an operator.
    if (args.contains(QStringLiteral("--autostart")))
        QObject::connect(&station, &StationApp::mainWindowShown, &station, [&station] { station.autostart(); });

    const QString shot = argumentAfter(args, QStringLiteral("--screenshot"));
    const auto takeScreenshot = [&station, shot] {
        QTimer::singleShot(500, &station, [shot] {
            const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(0);
            if (!picture.save(shot))
                std::fprintf(stderr, "quorlex-station: cannot save %s\n", qPrintable(shot));
        });
    };
    const auto chart = chartTarget(argumentAfter(args, QStringLiteral("--chart")));
    if (chart && args.contains(QStringLiteral("--autostart"))) {
        // Opened once the first pass has stored every node and the second has begun
        // the lines; the picture waits for six polls on the chart.
        constexpr int kShotRows = 6;
        auto passes = std::make_shared<int>(0);
        QObject::connect(&station.polling(), &Polling::passFinished, &station,
                         [&station, passes, chart, shot, takeScreenshot] {
                             if (++*passes != 2)
                                 return;
                             HistoryChartWindow *window = station.openHistoryChart();
                             window->sensorField()->setEditText(QString::number(chart->first));
                             window->channelField()->setEditText(QString::number(chart->second));
                             window->setAutoRefresh(true);
                             if (shot.isEmpty())
                                 return;
                             auto taken = std::make_shared<bool>(false);
                             QObject::connect(window, &HistoryChartWindow::loaded, &station,
                                              [taken, takeScreenshot](int rows) {
                                                  if (rows < kShotRows || *taken)
                                                      return;
                                                  *taken = true;
                                                  takeScreenshot();
                                              });
                         });
    }
    const int logViewer = argumentAfter(args, QStringLiteral("--log-viewer")).toInt();
    if (logViewer > 0 && args.contains(QStringLiteral("--autostart"))) {
        auto passes = std::make_shared<int>(0);
        QObject::connect(&station.polling(), &Polling::passFinished, &station,
                         [&station, passes, logViewer, shot, takeScreenshot] {
                             if (++*passes != 2)
                                 return;
                             const int slot = find_slot(logViewer);
                             if (slot == 0) {
                                 std::fprintf(stderr, "quorlex-station: node %d was not found on the line\n", logViewer);
                                 return;
                             }
                             station.openLogViewer(slot);
                             if (!shot.isEmpty())
                                 takeScreenshot();
                         });
    }
    const bool table = args.contains(QStringLiteral("--table"));
    if (table && args.contains(QStringLiteral("--autostart"))) {
        // The history table of the last 24 hours, confirmed as the operator would; the
        // picture once "Вид 2" is in.
        auto passes = std::make_shared<int>(0);
        QObject::connect(&station.polling(), &Polling::passFinished, &station, [&station, passes, shot, takeScreenshot] {
            if (++*passes != 2)
                return;
            Tfrm_select_interval *dialog = station.openHistoryTable();
            QObject::connect(dialog, &Tfrm_select_interval::confirmed, &station, [&station, shot, takeScreenshot](bool opened) {
                const QList<Tfrm_sensors *> tables = station.mainForm().mdiArea()->findChildren<Tfrm_sensors *>();
                if (!opened || tables.isEmpty() || shot.isEmpty())
                    return;
                if (tables.constLast()->session()->isLoaded(HistoryView::Cross)) {
                    takeScreenshot();
                    return;
                }
                QObject::connect(tables.constLast(), &Tfrm_sensors::viewLoaded, &station, [takeScreenshot](HistoryView view) {
                    if (view == HistoryView::Cross)
                        takeScreenshot();
                });
            });
            dialog->BitBtn1->click();
        });
    }
    if (!shot.isEmpty() && !chart && !table && logViewer <= 0 && args.contains(QStringLiteral("--autostart")) && !args.contains(QStringLiteral("--scan"))) {
        // The first pass reads every node in full, the second shows the monitor as it runs.
        auto passes = std::make_shared<int>(0);
        QObject::connect(&station.polling(), &Polling::passFinished, &station, [passes, takeScreenshot] {
            if (++*passes == 2)
                takeScreenshot();
        });
    }
    const int frontPanel = argumentAfter(args, QStringLiteral("--front-panel")).toInt();
    const bool wizard = args.contains(QStringLiteral("--wizard"));
    if (args.contains(QStringLiteral("--scan"))) {
        QObject::connect(&station, &StationApp::mainWindowShown, &station, [&station, shot, takeScreenshot, frontPanel, wizard] {
            // Once the scan summary is in the event log, the picture shows the found nodes,
            // the device window of the node asked for after its first refresh, or the
            // wizard after its scan and its exchange with node 8.
            QObject::connect(&station.station().eventLog(), &EventLog::appended, &station,
                             [&station, shot, takeScreenshot, frontPanel, wizard](const QString &line) {
                                 if (!line.contains(QStringLiteral(" - Обнаружено узлов - ")))
                                     return;
                                 if (wizard) {
                                     runWizardExchange(station, [shot, takeScreenshot] {
                                         if (!shot.isEmpty())
                                             takeScreenshot();
                                     });
                                     return;
                                 }
                                 if (frontPanel <= 0) {
                                     if (!shot.isEmpty())
                                         takeScreenshot();
                                     return;
                                 }
                                 const int slot = find_slot(frontPanel);
                                 TFrm_quorlex *window =
                                     slot == 0 ? nullptr
                                               : station.openDeviceWindow(slot, node_item_text(slot, frontPanel));
                                 if (!window) {
                                     std::fprintf(stderr, "quorlex-station: node %d was not found on the line\n", frontPanel);
                                     return;
                                 }
                                 if (!shot.isEmpty())
                                     QObject::connect(window->refresh(), &DeviceRefresh::updatingChanged, &station,
                                                      [takeScreenshot](bool updating) {
                                                          if (!updating)
                                                              takeScreenshot();
                                                      }, Qt::SingleShotConnection);
                             });
            station.mainForm().actions().eventPanel->setChecked(true);
            station.mainForm().actions().refreshNetwork->trigger();
        });
    }

    station.start();
    return QApplication::exec();
}
