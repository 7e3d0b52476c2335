// Times a short and a full read of one node through the simulated line (with
// wire time) at 9600 and 19200 baud, FastSpeed off and on, and prints each as a
// ratio to the time the line itself needs: request and answer bytes at the line
// speed, the 3.5-character silence ending each frame, and the node's latency.
//
//   quorlex-bench [--wait MS] [--latency MS] [--repeat N]
#include "line/comport.h"
#include "base/node_table.h"
#include "line/transaction.h"
#include "line/unit_protocol.h"
#include "tools/sim/line_simulator.h"
#include "tools/bench/wire_model.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

using namespace qlx;
using namespace qlx::bench;

namespace {

QCoro::Task<void> runBenchmarks(int waitMs, double latencyMs, int repeat)
{
    std::printf("%-6s %-5s %-8s %10s %10s %8s %12s\n", "baud", "read", "fast", "line ms", "took ms", "ratio",
                "waits ratio");
    for (const int baud : {9600, 19200}) {
        sim::LineSimulator simulator;
        QString error;
        if (!simulator.openPty(&error)) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
            co_return;
        }
        simulator.setLatencyMs(latencyMs);
        simulator.setWireTime(true);
        sim::NodeConfig config = sim::defaultNode(7);
        config.baud = baud;
        simulator.addNode(config);

        ComPort port;
        PortSettings s;
        s.port = simulator.stationPath();
        s.baudRate = QString::number(baud);
        port.setSettings(s);
        port.open();
        Transaction line(port);
        line.setAnswerWait(waitMs);
        arr_nodes[1].address = 7;
        const double charMs = port.characterMicros() / 1000.0;

        for (const bool full : {false, true}) {
            for (const bool fast : {false, true}) {
                line.setFastSpeed(fast);
                const QList<Exchange> exchanges = readExchanges(full);
                double took = 0;
                for (int i = 0; i < repeat; ++i) {
                    QElapsedTimer t;
                    t.start();
                    co_await Read_node(line, 1, full ? QStringLiteral("F") : QStringLiteral("NF"));
                    took += t.nsecsElapsed() / 1e6;
                }
                took /= repeat;
                const double wire = lineMillis(exchanges, charMs, latencyMs);
                const double waits = double(exchanges.size()) * waitMs;
                std::printf("%-6d %-5s %-8s %10.1f %10.1f %8.2f %12.3f\n", baud, full ? "full" : "short",
                            fast ? "on" : "off", wire, took, took / wire, took / waits);
            }
        }
        port.close();
    }
    std::printf("ratio: time taken / line time; waits ratio: time taken / (exchanges x answer wait)\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Node read benchmark on the simulated line"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("wait"), QStringLiteral("Answer wait, ms (default 100)."), QStringLiteral("ms"),
                      QStringLiteral("100")});
    parser.addOption({QStringLiteral("latency"), QStringLiteral("Node answer latency, ms (default 2)."),
                      QStringLiteral("ms"), QStringLiteral("2")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Reads per case (default 3)."), QStringLiteral("n"),
                      QStringLiteral("3")});
    parser.process(app);

    auto task = [&]() -> QCoro::Task<void> {
        co_await runBenchmarks(parser.value(QStringLiteral("wait")).toInt(),
                               parser.value(QStringLiteral("latency")).toDouble(),
                               std::max(1, parser.value(QStringLiteral("repeat")).toInt()));
        QCoreApplication::quit();
    };
    QTimer::singleShot(0, &app, [&] { task(); });
    return QCoreApplication::exec();
}
