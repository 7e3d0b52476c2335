// Times one device-window refresh (the read and its recording to the history
// database and the value log), short and full, at 9600 and 19200 baud, FastSpeed
// off and on, as a ratio to the line's own time; then the same refresh while
// polling reads two other nodes with passes back to back, as a ratio to the
// refresh alone.
//
//   quorlex-bench-device [--wait MS] [--repeat N]
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "engine/device_refresh.h"
#include "engine/node_list.h"
#include "engine/station_engine.h"
#include "storage/unit_dm.h"
#include "tools/bench/wire_model.h"
#include "tools/sim/line_simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace qlx;
using namespace qlx::bench;

namespace {

constexpr double kLatencyMs = 2.0;

// One refresh of a fresh window's node, in ms.
QCoro::Task<double> timeRefresh(DeviceRefresh &refresh, bool full)
{
    if (full)
        refresh.forceFull();
    QElapsedTimer t;
    t.start();
    co_await refresh.refresh_data();
    co_return t.nsecsElapsed() / 1e6;
}

QCoro::Task<void> runBenchmarks(int waitMs, int repeat)
{
    std::printf("%-6s %-5s %-5s %10s %10s %8s %14s\n", "baud", "read", "fast", "line ms", "took ms", "ratio",
                "beside polling");
    for (const int baud : {9600, 19200}) {
        QTemporaryDir dir;
        const StationFolder folder(dir.path());
        sim::LineSimulator simulator;
        QString error;
        if (!StationEngine::initialiseFolder(folder, QString(), &error) || !simulator.openPty(&error)) {
            std::fprintf(stderr, "set-up: %s\n", qPrintable(error));
            co_return;
        }
        simulator.setLatencyMs(kLatencyMs);
        simulator.setWireTime(true);
        reset_node_table_state();
        StationEngine engine(folder);
        engine.openDailyLogs();
        engine.openDatabase();
        for (const int a : {5, 7, 17}) {
            sim::NodeConfig config = sim::defaultNode(a);
            config.baud = baud;
            simulator.addNode(config);
            found_count += 1;
            arr_nodes[found_count].address = a;
            engine.station().nodeList().append(node_item_text(found_count, a));
        }
        PortSettings s;
        s.port = simulator.stationPath();
        s.baudRate = QString::number(baud);
        engine.station().comPort().setSettings(s);
        engine.station().comPort().open();
        engine.station().line().setAnswerWait(waitMs);
        const double charMs = engine.station().comPort().characterMicros() / 1000.0;
        auto *refresh = new DeviceRefresh(engine, 7, &engine);
        co_await refresh->refresh_data(); // setup blocks in

        for (const bool full : {false, true}) {
            for (const bool fast : {false, true}) {
                engine.station().line().setFastSpeed(fast);
                double alone = 0;
                for (int i = 0; i < repeat; ++i)
                    alone += co_await timeRefresh(*refresh, full);
                alone /= repeat;

                // Polling nodes 5 and 17 back to back; a refresh waits for a free moment
                // (the busy test), so it is timed from its first try to its recording.
                engine.station().nodeList().setChecked(0, true);
                engine.station().nodeList().setChecked(2, true);
                engine.polling().setInterval(0);
                std::optional<QCoro::Task<void>> run;
                run.emplace(engine.polling().mnu_refreshClick());
                double beside = 0;
                for (int i = 0; i < repeat; ++i) {
                    QElapsedTimer t;
                    t.start();
                    const int before = refresh->refreshes();
                    if (full)
                        refresh->forceFull();
                    while (refresh->refreshes() == before) {
                        co_await refresh->refresh_data();
                        if (refresh->refreshes() == before)
                            co_await service_events(1);
                    }
                    beside += t.nsecsElapsed() / 1e6;
                }
                beside /= repeat;
                engine.polling().stop();
                co_await std::move(*run);

                const double wire = lineMillis(readExchanges(full), charMs, kLatencyMs);
                std::printf("%-6d %-5s %-5s %10.1f %10.1f %8.2f %14.2f\n", baud, full ? "full" : "short",
                            fast ? "on" : "off", wire, alone, alone / wire, beside / alone);
            }
        }
    }
    std::printf("ratio: refresh time / line time; beside polling: refresh time with polling running / alone\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Device-window refresh benchmark on the simulated line"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("wait"), QStringLiteral("Answer wait, ms (default 100)."), QStringLiteral("ms"),
                      QStringLiteral("100")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Refreshes per case (default 3)."), QStringLiteral("n"),
                      QStringLiteral("3")});
    parser.process(app);

    auto task = [&]() -> QCoro::Task<void> {
        co_await runBenchmarks(parser.value(QStringLiteral("wait")).toInt(),
                               std::max(1, parser.value(QStringLiteral("repeat")).toInt()));
        QCoreApplication::quit();
    };
    QTimer::singleShot(0, &app, [&] { task(); });
    return QCoreApplication::exec();
}
