// Automatic polling against the simulated line, with the history database and the daily logs.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "base/unit_procedure.h"
#include "engine/polling.h"
#include "engine/station.h"
#include "line/unit_protocol.h"

#include <QSignalSpy>

#include <utility>

using namespace qlx;
using namespace qlx::testing;

namespace {

// The answer wait of the tests with late answers.
constexpr int kLateWait = 60;

struct FakeView : PollingView {
    QStringList messages;
    QStringList monitors;
    QList<bool> states;
    int cells = 0;
    bool db = true;
    bool file = true;
    QCoro::Task<void> message(const QString &caption, const QString &text) override
    {
        messages << caption + QStringLiteral(" | ") + text;
        co_return;
    }
    bool recordToDatabase() const override { return db; }
    bool recordToFile() const override { return file; }
    void runStateChanged(bool running) override { states << running; }
    void createMonitor(const QString &caption) override { monitors << caption; }
    void formatCell(int, int, double, int, int) override { ++cells; }
    void repaintMonitor() override {}
};

// A recording station on the simulated line at 19200 baud, whose polling reports
// to the fake view. An exchange ends as soon as its answer is complete (FastSpeed),
// so the answer wait can be generous: a slow machine must not lose answers, and only
// a silent node waits it out.
struct PollStation : SimStation {
    FakeView view;

    bool open(const QList<int> &addresses)
    {
        if (!SimStation::open(19200, 1000))
            return false;
        station().line().setFastSpeed(true);
        putNodes(addresses);
        polling().setView(view);
        return true;
    }
};

// What the line and the database held when a pass ended.
struct PassEnd {
    QString mode;
    int readsOf5 = 0;
    int readsOf17 = 0;
    int historyRows = 0;
    bool operator==(const PassEnd &) const = default;
};

char *toString(const PassEnd &p)
{
    return QTest::toString(QStringLiteral("%1 reads of 5: %2, of 17: %3, history rows: %4")
                               .arg(p.mode).arg(p.readsOf5).arg(p.readsOf17).arg(p.historyRows));
}

} // namespace

class TestPolling : public QObject {
    Q_OBJECT
private slots:
    void nothingTicked()
    {
        PollStation l;
        QVERIFY(l.open({5}));
        l.station().nodeList().setChecked(0, false);
        run(l.polling().mnu_refreshClick());
        QVERIFY(!l.polling().running());
        QCOMPARE(l.view.messages,
                 QStringList{QStringLiteral("Нет данных для обновления | Не выбрано ни одного узла для обновления")});
        QVERIFY(l.station().eventLog().lines().last().endsWith(QStringLiteral(" Не выбрано ни одного узла для обновления")));
        // Nothing was sent, so nothing can still be on its way to the simulator.
        QCOMPARE(l.station().line().statistics().exchanges, 0u);
        QVERIFY(l.sim.frames().isEmpty());
    }

    void fullPassThenShortPassesAndExclusion()
    {
        PollStation l;
        QVERIFY(l.open({5, 17}));
        const RowProbe probe = l.probe();
        l.polling().setInterval(200);
        l.polling().setNodeRetryInterval(0); // excluded nodes are never tested again
        QList<PassEnd> passEnds;
        // Nodes fall silent between passes, not in the middle of a read (whose every
        // channel would wait out the answer wait twice).
        QList<int> silentFromNextPass;
        connect(&l.polling(), &Polling::passFinished, this, [&](const QString &mode) {
            passEnds << PassEnd{mode, l.framesTo(5, 0x03), l.framesTo(17, 0x03), probe.historyCount()};
            for (const int address : std::exchange(silentFromNextPass, {}))
                l.sim.node(address)->faults().silent = true;
        });
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(l.polling().running());
        QCOMPARE(l.view.monitors, QStringList{QStringLiteral("Монитор состояний - авт. обновление с интервалом 0 сек.")});

        // First pass: identify, then the full read of each ticked node (121 register
        // reads); then short reads, 13 register reads a node a pass. Every answering
        // node of a pass leaves its twelve history rows.
        QTRY_VERIFY_WITH_TIMEOUT(passEnds.size() >= 2, 60000);
        QCOMPARE(passEnds.at(0), (PassEnd{QStringLiteral("F"), 121, 121, 2 * 12}));
        QCOMPARE(passEnds.at(1), (PassEnd{QStringLiteral("NF"), 121 + 13, 121 + 13, 2 * 2 * 12}));
        QVERIFY2(l.view.cells >= 2 * 12 * 2, qPrintable(QString::number(l.view.cells)));

        // Node 17 goes silent: excluded after one failed presence test, its row says so.
        silentFromNextPass = {17};
        QTRY_VERIFY_WITH_TIMEOUT(!l.station().nodeList().isChecked(1), 60000);
        QCOMPARE(arr_cells(1, 2).text, QStringLiteral("Откл."));
        QCOMPARE(arr_cells(14, 2).text, QStringLiteral("Откл."));
        QCOMPARE(arr_cells(0, 2).text, QStringLiteral("17"));
        QVERIFY(l.station().statusPanel(1).endsWith(QStringLiteral(" - Узел 17 исключен из списка опроса")));
        QCOMPARE(probe.alertRows().size(), 1);
        QCOMPARE(probe.alertRows().first().at(0), QStringLiteral("17"));
        QCOMPARE(probe.alertRows().first().at(3), QStringLiteral("Прибор не отвечает на запросы"));
        QVERIFY(l.polling().running());

        // The last ticked node silent too: the pass ends the run with the message.
        silentFromNextPass = {5};
        QTRY_VERIFY_WITH_TIMEOUT(!l.polling().running(), 60000);
        run(std::move(*runTask));
        QVERIFY(!l.polling().running());
        QCOMPARE(l.view.messages.last(),
                 QStringLiteral("Нет данных для обновления | Не выбрано ни одного узла для обновления.\n\r"
                                "Автоматическое обновление будет отключено."));
        QVERIFY(!l.polling().runActive());
        // One value row per answering node per pass.
        QCOMPARE(probe.valueRows().size(), probe.historyCount() / 12);
        QCOMPARE(probe.historyCount() % 12, 0);
    }

    // Off and on again before the run has seen the cleared mark: the run goes on,
    // and the second switch-on starts no run of its own.
    void switchedOnAgainWhileFinishingKeepsOneRun()
    {
        PollStation l;
        QVERIFY(l.open({5}));
        l.polling().setInterval(0);
        QSignalSpy passes(&l.polling(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 2, 60000);

        run(l.polling().mnu_refreshClick()); // off
        QCoro::Task<void> again = l.polling().mnu_refreshClick(); // on, at once
        QVERIFY(again.isReady());
        QVERIFY(l.polling().running());
        QVERIFY(!runTask->isReady());
        const int before = int(passes.count());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= before + 2, 60000);
        // The monitor is asked for again (the operator may have closed it), not a run.
        QCOMPARE(l.view.monitors.size(), 2);
        QCOMPARE(l.view.monitors.at(1), l.view.monitors.at(0));

        run(l.polling().mnu_refreshClick()); // off for good
        run(std::move(*runTask));
        QVERIFY(!l.polling().runActive());
    }

    // A negative interval is no wait at all: the passes follow each other.
    void negativeIntervalNeverHangs()
    {
        PollStation l;
        QVERIFY(l.open({5}));
        l.polling().setInterval(-5000);
        QSignalSpy passes(&l.polling(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 4, 60000);
        QCOMPARE(passes.at(0).at(0).toString(), QStringLiteral("F"));
        QCOMPARE(passes.at(3).at(0).toString(), QStringLiteral("NF"));
        run(l.polling().mnu_refreshClick());
        run(std::move(*runTask));
    }

    // The main window closes while node 17 is read: the read stops before its next
    // channel, the run stops, and the half-read node leaves no row behind.
    void readStoppedByClosingIsNotRecorded()
    {
        PollStation l;
        QVERIFY(l.open({5, 17}));
        const RowProbe probe = l.probe();
        l.polling().setInterval(0);
        QSignalSpy passes(&l.polling(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 2, 60000);

        qsizetype rowsOf17 = -1;
        connect(&VrProgressBar(), &ProgressValue::changed, this, [&](int position, int) {
            // Channel 3 is next and the last request went to the node being read.
            if (rowsOf17 >= 0 || position != 3 || quint8(l.sim.frames().last().bytes[0]) != 17)
                return;
            rowsOf17 = probe.valueRows(17).size();
            l.polling().stopRead();
            l.polling().stop();
        });
        run(std::move(*runTask));
        disconnect(&VrProgressBar(), nullptr, this, nullptr);
        QVERIFY(rowsOf17 > 0);
        QCOMPARE(probe.valueRows(17).size(), rowsOf17);
        QCOMPARE(abort_read, 0);
        QCOMPARE(probe.valueRows().size(), probe.historyCount() / 12);
        QCOMPARE(probe.historyCount() % 12, 0);
    }

    // A node that answers its presence test but whose registers cannot be read gets
    // no value row, no history rows and no fresh monitor cells in that pass: its
    // readings would be an earlier poll's under this poll's time. The event log says so.
    void unreadNodeIsNotRecorded_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("silent after its presence test") << "silent" << "нет верного ответа по каналам 1, 2, 3";
        QTest::newRow("bad checksums") << "bad crc" << "нет верного ответа по каналам 1, 2, 3";
        QTest::newRow("one register fewer, checksum valid") << "short" << "нет верного ответа по каналам 1, 2, 3";
        QTest::newRow("programming mode") << "programming" << "прибор в режиме программирования";
    }

    void unreadNodeIsNotRecorded()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        PollStation l;
        QVERIFY(l.open({5, 17}));
        const RowProbe probe = l.probe();
        l.polling().setInterval(0);
        QList<QPair<int, int>> rowsAtPassEnd; // value rows of 17, history rows of 17
        bool faultSet = false;
        connect(&l.polling(), &Polling::passFinished, this, [&] {
            rowsAtPassEnd << qMakePair(int(probe.valueRows(17).size()), int(probe.history(17).size()));
            if (faultSet)
                return;
            faultSet = true;
            sim::Node *node = l.sim.node(17);
            // The presence test of the next pass is answered; the register reads fail.
            node->faults().faultFunction = 0x03;
            if (fault == QStringLiteral("silent")) {
                node->faults().silentAfterFrames = node->framesAnswered() + 1;
            } else if (fault == QStringLiteral("bad crc")) {
                node->faults().badCrc = 1;
            } else if (fault == QStringLiteral("short")) {
                node->faults().shortAnswer = true;
            } else {
                node->faults().progMode = true;
                node->setMode(node->mode() | sim::kProgModeBit);
            }
        });
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(rowsAtPassEnd.size() >= 2, 120000);
        l.polling().stop();
        run(std::move(*runTask));

        QCOMPARE(rowsAtPassEnd.at(0), qMakePair(1, 12));
        QCOMPARE(rowsAtPassEnd.at(1), qMakePair(1, 12)); // nothing of the second pass
        QVERIFY(probe.history(5).size() >= 2 * 12); // its neighbour is recorded every pass
        const QStringList log = l.station().eventLog().lines();
        const auto line = std::find_if(log.begin(), log.end(), [](const QString &text) {
            return text.contains(QStringLiteral(" - Узел 17 не прочитан ("));
        });
        QVERIFY2(line != log.end(), qPrintable(log.join(QLatin1Char('\n'))));
        QVERIFY2(line->contains(reason), qPrintable(*line));
        QVERIFY(l.station().nodeList().isChecked(1)); // it answers, so it stays in the run
    }

    // A node whose answers come late, from 1 ms to twice the answer wait, with FastSpeed
    // on or off, its bytes handed over at once or in an adapter's 16 ms batches: whatever
    // the station records of it and of its neighbour is what the node served for that
    // channel at that poll, never another channel's or node's answer. The neighbour stays
    // in the run and is recorded on.
    void lateNodeNeverGetsAnotherValue_data()
    {
        QTest::addColumn<int>("lateMs");
        QTest::addColumn<bool>("fastSpeed");
        QTest::addColumn<int>("deliveryMs");
        for (const bool fast : {false, true})
            for (const int delivery : {0, 16})
                for (const int late : {1, kLateWait + 1, 2 * kLateWait})
                    QTest::addRow("late %d ms, %s, delivery %d ms", late, fast ? "FastSpeed" : "full wait", delivery)
                        << late << fast << delivery;
    }
    void lateNodeNeverGetsAnotherValue()
    {
        QFETCH(int, lateMs);
        QFETCH(bool, fastSpeed);
        QFETCH(int, deliveryMs);
        SimStation l;
        FakeView view;
        QVERIFY(l.open(19200, kLateWait));
        l.station().line().setFastSpeed(fastSpeed);
        l.sim.setDeliveryDelayMs(deliveryMs);
        // Moving values: a stale answer or another channel's shows as a value never served there.
        l.putNodes({5, 17}, [](sim::NodeConfig &config) { config.moving = true; });
        l.polling().setView(view);
        l.polling().setInterval(0);
        const RowProbe probe = l.probe();

        // Node 17 turns late once it has been recorded (its setup blocks are in); two passes follow.
        qsizetype rowsWhenLate = -1;
        qsizetype rowsOf17 = 0;
        int passesLate = 0;
        connect(&l.polling(), &Polling::passFinished, this, [&] {
            rowsOf17 = probe.valueRows(17).size();
            if (rowsWhenLate >= 0) {
                ++passesLate;
            } else if (rowsOf17 > 0) {
                rowsWhenLate = rowsOf17;
                l.sim.node(17)->faults().lateMs = lateMs;
            }
        });
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(waitUntil([&] { return passesLate >= 2; }, 240000));
        if (lateMs == 1) // a fresh answer is never taken for a late one
            QVERIFY(waitUntil([&] { return rowsOf17 > rowsWhenLate; }, 240000));
        l.polling().stop();
        run(std::move(*runTask));

        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
        QVERIFY(l.station().nodeList().isChecked(0));
        QVERIFY(probe.valueRows(5).size() > probe.valueRows(17).size() - rowsWhenLate);
    }

    // Answers as fast as the pseudo-terminal carries them (no wire time, no latency), at
    // once or in batches: the scan finds the nodes behind silent addresses, polling
    // records them every pass, and a silent node ticked between them is excluded without
    // taking a neighbour with it.
    void zeroLatencyLine_data()
    {
        QTest::addColumn<int>("deliveryMs");
        QTest::newRow("bytes at once") << 0;
        QTest::newRow("16 ms batches") << 16;
    }
    void zeroLatencyLine()
    {
        QFETCH(int, deliveryMs);
        SimStation l;
        FakeView view;
        QVERIFY(l.open(19200, 30));
        l.sim.setWireTime(false);
        l.sim.setLatencyMs(0);
        l.sim.setDeliveryDelayMs(deliveryMs);
        l.station().line().setFastSpeed(true);
        l.addNodes({3, 4, 9});
        run(l.station().mnu_refresh_networkClick());
        l.sim.node(4)->faults().silent = true; // found by the scan, then silent
        QCOMPARE(found_count, 3);
        QCOMPARE(arr_nodes[1].address, 3);
        QCOMPARE(arr_nodes[2].address, 4);
        QCOMPARE(arr_nodes[3].address, 9);
        for (int i = 0; i < 3; ++i)
            l.station().nodeList().setChecked(i, true);

        l.polling().setView(view);
        l.polling().setInterval(0);
        const RowProbe probe = l.probe();
        QSignalSpy passes(&l.polling(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        // Three passes, and the two answering nodes recorded three times at least (on a
        // loaded machine a read now and then misses an answer and is not recorded).
        QVERIFY(waitUntil(
            [&] { return passes.count() >= 3 && probe.valueRows(3).size() >= 3 && probe.valueRows(9).size() >= 3; },
            240000));
        l.polling().stop();
        run(std::move(*runTask));

        QVERIFY(l.station().nodeList().isChecked(0));
        QVERIFY(!l.station().nodeList().isChecked(1));
        QVERIFY(l.station().nodeList().isChecked(2));
        // Only the silent node is reported. (A starved machine can make the pseudo-terminal
        // fail a read with EAGAIN; the port is then reopened and its own rows, under
        // address 0, say so.)
        QList<QStringList> nodeAlerts = probe.alertRows();
        nodeAlerts.removeIf([](const QStringList &row) { return row.value(0) == QLatin1String("0"); });
        QCOMPARE(nodeAlerts.size(), 1);
        QCOMPARE(nodeAlerts.first().at(0), QStringLiteral("4"));
        QCOMPARE(probe.valueRows(4).size(), 0);
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }

    // A closed port blames no node and ends nothing: the run waits for the port, says
    // so, goes on when it is open again, and can still be switched off while it waits.
    void closedPortHoldsTheRunUntilItOpens()
    {
        PollStation l;
        QVERIFY(l.open({5}));
        l.polling().setInterval(0);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(waitUntil([&] { return l.framesTo(5, 0x03) >= 121; }, 60000));
        l.station().comPort().close();
        QVERIFY(waitUntil([&] { return l.eventLogHas(QStringLiteral("ожидает открытия COM порта")); }, 60000));
        QVERIFY(l.polling().running());
        QVERIFY(l.station().nodeList().isChecked(0));
        QVERIFY(l.probe().alertRows().isEmpty());

        const int reads = l.framesTo(5, 0x03);
        l.station().comPort().open();
        QVERIFY(waitUntil([&] { return l.framesTo(5, 0x03) > reads; }, 60000));
        QVERIFY(l.eventLogHas(QStringLiteral("Автоматическое обновление продолжается")));

        l.station().comPort().close();
        QVERIFY(waitUntil([&] { return l.station().eventLog().lines().filter(QStringLiteral("ожидает открытия")).size() == 2; },
                          60000));
        l.polling().stop();
        run(std::move(*runTask));
        QVERIFY(!l.polling().runActive());
    }
};

QTEST_GUILESS_MAIN(TestPolling)
#include "test_polling.moc"
