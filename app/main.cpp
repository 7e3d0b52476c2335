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
// --screenshot FILE save a picture of the screen into FILE: after the scan with
//                   --scan (after the device window's first refresh with --front-panel),
//                   after the second polling pass with --autostart
#include "base/station_folder.h"
#include "app/mainform.h"
#include "app/station_app.h"
#include "engine/station_engine.h"
#include "engine/device_refresh.h"
#include "engine/setpoint.h"
#include "windows/device_window.h"

#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <cstdio>
#include <memory>
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

const char kUsage[] =
    "usage: quorlex-station [--home DIR] [--autostart] [--scan [--front-panel ADDR]] [--screenshot FILE]\n"
    "       quorlex-station --init DIR [--port PATH]\n"
    "       quorlex-station --help\n"
    "\n"
    "  --home DIR          the station folder (default: the program's folder)\n"
    "  --init DIR          make a ready station folder with the serial port PATH, and exit\n"
    "  --autostart         press \"Автоматическое обновление\" once the main window is shown\n"
    "  --scan              scan the line once the main window is shown\n"
    "  --front-panel ADDR  with --scan: open the device window of node ADDR after the scan\n"
    "  --screenshot FILE   save a picture of the screen into FILE (after the scan, the device\n"
    "                      window's first refresh, or the second polling pass)\n";

// Checks the arguments before any window system is touched: --help and a mistake
// need no display. Returns the exit status to end with, or -1 to go on.
int checkArguments(int argc, char *argv[])
{
    static const char *const withValue[] = {"--home", "--init", "--port", "--front-panel", "--screenshot"};
    static const char *const flags[] = {"--autostart", "--scan"};
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
    if (!shot.isEmpty() && args.contains(QStringLiteral("--autostart")) && !args.contains(QStringLiteral("--scan"))) {
        // The first pass reads every node in full, the second shows the monitor as it runs.
        auto passes = std::make_shared<int>(0);
        QObject::connect(&station.polling(), &Polling::passFinished, &station, [passes, takeScreenshot] {
            if (++*passes == 2)
                takeScreenshot();
        });
    }
    const int frontPanel = argumentAfter(args, QStringLiteral("--front-panel")).toInt();
    if (args.contains(QStringLiteral("--scan"))) {
        QObject::connect(&station, &StationApp::mainWindowShown, &station, [&station, shot, takeScreenshot, frontPanel] {
            // Once the scan summary is in the event log, the picture shows the found nodes,
            // or the device window of the node asked for after its first refresh.
            QObject::connect(&station.station().eventLog(), &EventLog::appended, &station,
                             [&station, shot, takeScreenshot, frontPanel](const QString &line) {
                                 if (!line.contains(QStringLiteral(" - Обнаружено узлов - ")))
                                     return;
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
