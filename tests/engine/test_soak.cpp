// A long run of polling against a line where one answer in ten is damaged: a wrong
// checksum, an answer later than the wait, no answer, another node's address, bytes
// after the answer, a valid frame one register short. Whatever the station records
// must be what the node served for that channel, in the order served.
//
// QLX_SOAK_EXCHANGES sets how many exchanges the run makes (default 8000, at least 4000:
// enough for every node to get its setup blocks in and be recorded many times over).
#include "tests/fixtures/station_fixture.h"

#include "engine/node_list.h"
#include "engine/polling.h"
#include "engine/station.h"


#include <optional>

using namespace qlx;
using namespace qlx::testing;

namespace {

constexpr int kAnswerWait = 25;

struct QuietView : PollingView {
    QCoro::Task<void> message(const QString &, const QString &) override { co_return; }
    bool recordToDatabase() const override { return true; }
    bool recordToFile() const override { return true; }
    void runStateChanged(bool) override {}
    void createMonitor(const QString &) override {}
    void formatCell(int, int, double, int, int) override {}
    void repaintMonitor() override {}
};

quint64 exchangesWanted()
{
    bool ok = false;
    const quint64 n = qEnvironmentVariable("QLX_SOAK_EXCHANGES").toULongLong(&ok);
    // Fewer than 4000 can end before a node has all its setup blocks in and been recorded.
    return ok ? qMax<quint64>(n, 4000) : 8000;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void faultyLineRecordsOnlyServedValues()
    {
        const quint64 wanted = exchangesWanted();
        SimStation l;
        QuietView view;
        QVERIFY(l.open(19200, kAnswerWait));
        l.station().line().setFastSpeed(true);
        // Answers as fast as the pty carries them, handed over in small batches: a long run
        // in little time, and a late answer is late by half the wait again.
        l.sim.setWireTime(false);
        l.sim.setLatencyMs(0.5);
        l.sim.setDeliveryDelayMs(2);
        const QList<int> addresses{5, 17, 40};
        l.putNodes(addresses, [](sim::NodeConfig &config) {
            config.moving = true;
            config.faults.randomFaults = 0.1;
            config.faults.randomLateMs = 1.5 * kAnswerWait;
            config.faults.seed = quint32(1000 + config.address);
        });
        l.polling().setView(view);
        l.polling().setInterval(0);

        // A node excluded after a damaged presence test is ticked again, as an operator would.
        int exclusions = 0;
        connect(&l.polling(), &Polling::passFinished, this, [&] {
            for (int i = 0; i < l.station().nodeList().count(); ++i) {
                if (!l.station().nodeList().isChecked(i)) {
                    ++exclusions;
                    l.station().nodeList().setChecked(i, true);
                }
            }
            if (l.station().line().statistics().exchanges >= wanted)
                l.polling().stop();
        });
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        const int timeoutMs = int(qMin<quint64>(wanted * 100 + 120000, 7'200'000));
        QVERIFY(waitUntil([&] { return !l.polling().running(); }, timeoutMs));
        run(std::move(*runTask));

        const RowProbe probe = l.probe();
        const qsizetype valueRows = probe.valueRows().size();
        const LineStatistics &stats = l.station().line().statistics();
        qInfo("%llu exchanges: %llu silent, %llu without a matching answer, %llu bytes dropped, "
              "%llu discarded, %llu quiet waits; %lld polls recorded (%lld values), %d exclusions undone",
              stats.exchanges, stats.silent, stats.unmatched, stats.droppedBytes, stats.discardedBytes,
              stats.quietWaits, qint64(valueRows), qint64(12 * valueRows), exclusions);
        QVERIFY(stats.exchanges >= wanted);

        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
        // Twelve history rows for every value row; every node recorded at some poll.
        QCOMPARE(probe.historyCount(), 12 * int(valueRows));
        for (const int address : addresses)
            QVERIFY2(!probe.valueRows(address).isEmpty(),
                     qPrintable(QString::number(address) + QLatin1Char('\n')
                                + l.station().eventLog().lines().join(QLatin1Char('\n')).right(3000)));
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "test_soak.moc"
