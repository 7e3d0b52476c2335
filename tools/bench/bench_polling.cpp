// Times the station's polling pass on a simulated line at 19200 baud.
//
// 1. One short ("NF") pass of the polling engine over --nodes nodes, the
//    simulator in this process with wire time, FastSpeed off and on, each as a
//    ratio to the time the wire itself needs for the exchanges the pass made
//    (taken from the simulator's frame log and the answers it sent).
// 2. A short pass over 255 nodes with the state monitor open: wall time and the
//    station's CPU time. The simulator runs as a separate quorlex-sim process,
//    so the CPU time of this process is the station's own; without the program
//    the simulator runs in-process and its CPU time is counted too (said so).
//
// A pass is the station's real one: presence test, node read, value log row,
// history database rows and monitor cells for every node.
//
//   quorlex-bench-polling [--nodes N] [--wait MS] [--repeat N] [--monitor-nodes N] [--sim PROGRAM]
#include "engine/node_list.h"
#include "base/node_table.h"
#include "engine/station_engine.h"
#include "tools/sim/line_simulator.h"
#include "windows/monitor.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include <sys/resource.h>

using namespace qlx;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 19200;

// The windows a pass talks to: recording to the database and the files on,
// monitor cells written into a real monitor window when there is one.
struct BenchView : PollingView {
    Tfrm_monitor_auto2 *monitor = nullptr;
    int repaints = 0;
    int cells = 0;
    QCoro::Task<void> message(const QString &caption, const QString &text) override
    {
        std::fprintf(stderr, "message: %s | %s\n", qPrintable(caption), qPrintable(text));
        co_return;
    }
    bool recordToDatabase() const override { return true; }
    bool recordToFile() const override { return true; }
    void runStateChanged(bool) override {}
    void createMonitor(const QString &) override {}
    void formatCell(int col, int row, double value, int alarm_nu, int alarm_vu) override
    {
        ++cells;
        if (monitor)
            monitor->formatCell(col, row, value, alarm_nu, alarm_vu);
    }
    void repaintMonitor() override
    {
        ++repaints;
        if (monitor)
            monitor->refresh();
    }
};

// A station on the line at `path`: the engine on a temporary station folder
// with its history database and daily logs, every node ticked in the node list.
struct BenchStation {
    QTemporaryDir dir;
    std::unique_ptr<StationEngine> engine;
    BenchView view;
    std::optional<QCoro::Task<void>> run;

    Station &station() { return engine->station(); }
    Polling &polling() { return engine->polling(); }

    bool open(const QString &path, int nodes, int waitMs)
    {
        reset_node_table_state();
        const StationFolder folder(dir.path());
        QString error;
        if (!StationEngine::initialiseFolder(folder, path, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
        engine = std::make_unique<StationEngine>(folder);
        if (!engine->openDailyLogs() || !engine->openDatabase()) {
            std::fprintf(stderr, "cannot open the logs or the history database in %s\n", qPrintable(dir.path()));
            return false;
        }
        PortSettings s;
        s.port = path;
        s.baudRate = QString::number(kBaud);
        station().comPort().setSettings(s);
        try {
            station().comPort().open();
        } catch (const PortError &e) {
            std::fprintf(stderr, "%s\n", e.what());
            return false;
        }
        station().line().setAnswerWait(waitMs);
        for (int a = 1; a <= nodes; ++a) {
            station().nodeList().append(node_item_text(a, a));
            station().nodeList().setChecked(a - 1, true);
        }
        polling().setView(view);
        return true;
    }

    // pass() goes on only while the switch is on, and the switch is on during a
    // run. The run is started before the node table is filled, with a day-long
    // interval: its own two passes find no node and it sits in its interval wait
    // while this program drives the passes. Then nodes 1..n fill the table.
    QCoro::Task<void> switchOn(int nodes)
    {
        polling().setInterval(24 * 3600 * 1000);
        run.emplace(polling().mnu_refreshClick());
        while (view.repaints < 2) // the end of each empty pass repaints once
            co_await QCoro::sleepFor(5ms);
        for (int a = 1; a <= nodes; ++a)
            arr_nodes[a].address = a;
        found_count = nodes;
    }

    QCoro::Task<void> close()
    {
        polling().stop();
        if (run)
            co_await std::move(*run);
        station().comPort().close();
    }
};

// Nodes 1..n with the default content of their address, at 19200 baud.
void addNodes(sim::LineSimulator &sim, int nodes)
{
    for (int a = 1; a <= nodes; ++a) {
        sim::NodeConfig config = sim::defaultNode(a);
        config.baud = kBaud;
        sim.addNode(config);
    }
}

// Time on the wire of the frames since the frame log was cleared: each request
// from the log and each answer the simulator sent, with the 3.5 characters of
// silence ending each frame, plus the node's latency before every answer.
double wireMillis(const sim::LineSimulator &sim, qint64 answers, qint64 answerBytes, double charMs)
{
    double chars = answerBytes + 3.5 * answers;
    for (const sim::FrameRecord &f : sim.frames())
        chars += f.bytes.size() + 3.5;
    return chars * charMs + answers * sim.latencyMs();
}

double cpuMillis()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

QCoro::Task<void> benchShortPass(int nodes, int waitMs, int repeat)
{
    sim::LineSimulator sim;
    QString error;
    if (!sim.openPty(&error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        co_return;
    }
    sim.setWireTime(true);
    addNodes(sim, nodes);
    qint64 answers = 0;
    qint64 answerBytes = 0;
    QObject::connect(&sim, &sim::LineSimulator::answerSent, &sim, [&](const QByteArray &answer) {
        ++answers;
        answerBytes += answer.size();
    });

    BenchStation b;
    if (!b.open(sim.stationPath(), nodes, waitMs))
        co_return;
    co_await b.switchOn(nodes);
    // A full pass first, so that every channel's setup is known and the short
    // passes record values; FastSpeed makes it take seconds instead of minutes.
    b.station().line().setFastSpeed(true);
    co_await b.polling().pass(QStringLiteral("F"));
    const double charMs = b.station().comPort().characterMicros() / 1000.0;

    std::printf("short pass, simulator in-process, %d baud, answer wait %d ms\n", kBaud, waitMs);
    std::printf("%-6s %-5s %6s %10s %10s %8s\n", "nodes", "fast", "exch", "wire ms", "took ms", "ratio");
    for (const bool fast : {false, true}) {
        b.station().line().setFastSpeed(fast);
        double took = 0;
        double wireMs = 0;
        qsizetype exchanges = 0;
        for (int i = 0; i < repeat; ++i) {
            sim.clearFrames();
            answers = answerBytes = 0;
            QElapsedTimer t;
            t.start();
            co_await b.polling().pass(QStringLiteral("NF"));
            took += t.nsecsElapsed() / 1e6;
            wireMs += wireMillis(sim, answers, answerBytes, charMs);
            exchanges = sim.frames().size();
        }
        std::printf("%-6d %-5s %6lld %10.1f %10.1f %8.2f\n", nodes, fast ? "on" : "off",
                    static_cast<long long>(exchanges), wireMs / repeat, took / repeat, took / wireMs);
    }
    co_await b.close();
    std::printf("ratio: time of the pass / wire time (request and answer bytes, 3.5-character silences, "
                "node latency %.1f ms)\n\n", sim.latencyMs());
}

// quorlex-sim with nodes 1..n at 19200 baud, its line linked at `link`; true once
// it printed the path to open.
QCoro::Task<bool> startSimulator(QProcess &process, const QString &program, const QString &dir, int nodes,
                                 const QString &link)
{
    QJsonArray list;
    for (int a = 1; a <= nodes; ++a)
        list.append(QJsonObject{{QStringLiteral("address"), a}, {QStringLiteral("baud"), kBaud}});
    const QString scenario = dir + QStringLiteral("/line.json");
    QFile file(scenario);
    if (program.isEmpty() || !file.open(QIODevice::WriteOnly))
        co_return false;
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("nodes"), list}}).toJson());
    file.close();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList arguments{QStringLiteral("--scenario"), scenario, QStringLiteral("--link"), link};
    if (!co_await qCoro(process).start(program, arguments))
        co_return false;
    while (!process.canReadLine()) {
        if (!co_await qCoro(&process, &QProcess::readyReadStandardOutput, 10s))
            co_return false;
    }
    co_return true;
}

QCoro::Task<void> benchMonitorPass(int nodes, int waitMs, int repeat, const QString &program)
{
    QTemporaryDir simDir;
    QProcess process;
    std::unique_ptr<sim::LineSimulator> inProcess;
    QString path = simDir.filePath(QStringLiteral("line"));
    const bool separate = co_await startSimulator(process, program, simDir.path(), nodes, path);
    if (!separate) {
        if (!program.isEmpty())
            std::fprintf(stderr, "%s did not start; the simulator runs in this process\n", qPrintable(program));
        inProcess = std::make_unique<sim::LineSimulator>();
        if (!inProcess->openPty())
            co_return;
        addNodes(*inProcess, nodes);
        path = inProcess->stationPath();
    }

    BenchStation b;
    if (!b.open(path, nodes, waitMs))
        co_return;
    co_await b.switchOn(nodes);
    // The setup a full pass would read: the simulator's nodes carry the default
    // content of their address. A full pass of 255 nodes would take minutes.
    for (int a = 1; a <= nodes; ++a) {
        const sim::NodeConfig config = sim::defaultNode(a);
        for (int c = 1; c <= kChannels; ++c) {
            const sim::ChannelSetup &s = config.channels[static_cast<std::size_t>(c - 1)];
            arr_nodes[a].setup[c] = Tarr_setup{.gain = s.gain, .zero = s.zero, .range_min = s.range_min,
                                               .nu = s.nu, .vu = s.vu, .range_max = s.range_max,
                                               .point_pos = s.point_pos, .gis_nu = s.gis_nu, .gis_vu = s.gis_vu};
        }
    }
    auto *monitor = new Tfrm_monitor_auto2(b.station()); // rows for the filled table
    monitor->resize(1024, 768);
    monitor->show();
    b.view.monitor = monitor;
    b.station().line().setFastSpeed(true);
    b.view.cells = 0;

    double wall = 0;
    double cpu = 0;
    for (int i = 0; i < repeat; ++i) {
        const double cpu0 = cpuMillis();
        QElapsedTimer t;
        t.start();
        co_await b.polling().pass(QStringLiteral("NF"));
        wall += t.nsecsElapsed() / 1e6;
        cpu += cpuMillis() - cpu0;
    }
    b.view.monitor = nullptr;
    delete monitor;
    co_await b.close();

    std::printf("short pass with the monitor open, %d baud, FastSpeed on, simulator %s\n", kBaud,
                separate ? "in a separate process (quorlex-sim)" : "in-process (its CPU time is counted too)");
    std::printf("%-6s %8s %10s %10s %8s\n", "nodes", "cells", "wall ms", "cpu ms", "cpu/wall");
    std::printf("%-6d %8d %10.1f %10.1f %8.3f\n", nodes, b.view.cells / repeat, wall / repeat, cpu / repeat,
                cpu / wall);
    std::printf("cells: monitor cells written per pass; cpu: user + system time of this process "
                "(getrusage RUSAGE_SELF) during the pass\n");
    if (separate) {
        process.terminate();
        if (process.state() != QProcess::NotRunning)
            co_await qCoro(&process, &QProcess::finished, 5s);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // the monitor window closes before the end
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Polling pass benchmark on the simulated line"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("nodes"), QStringLiteral("Nodes of the short-pass timing (default 32)."),
                      QStringLiteral("n"), QStringLiteral("32")});
    parser.addOption({QStringLiteral("wait"), QStringLiteral("Answer wait, ms (default 60)."), QStringLiteral("ms"),
                      QStringLiteral("60")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Passes per case (default 1)."), QStringLiteral("n"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("monitor-nodes"),
                      QStringLiteral("Nodes of the pass with the monitor open (default 255)."), QStringLiteral("n"),
                      QStringLiteral("255")});
    parser.addOption({QStringLiteral("sim"), QStringLiteral("The quorlex-sim program; empty: in-process."),
                      QStringLiteral("program"), QString::fromUtf8(QLX_SIM_PROGRAM)});
    parser.process(app);
    const int nodes = std::clamp(parser.value(QStringLiteral("nodes")).toInt(), 1, 255);
    const int monitorNodes = std::clamp(parser.value(QStringLiteral("monitor-nodes")).toInt(), 1, 255);
    const int waitMs = std::max(1, parser.value(QStringLiteral("wait")).toInt());
    const int repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    const QString program = parser.value(QStringLiteral("sim"));

    auto task = [&]() -> QCoro::Task<void> {
        co_await benchShortPass(nodes, waitMs, repeat);
        co_await benchMonitorPass(monitorNodes, waitMs, repeat, program);
        QCoreApplication::quit();
    };
    QTimer::singleShot(0, &app, [&] { task(); });
    return QApplication::exec();
}
