// A device window's refresh cycle without the window, against the simulated line:
// full then short reads, what the panel keeps, recording, the busy path, the
// interval nudge, a node that is gone or silent, a close in the middle of a read,
// and a device window refreshing beside polling.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "engine/device_refresh.h"
#include "engine/polling.h"
#include "engine/station.h"

#include <QPointer>

#include <optional>

using namespace qlx;
using namespace qlx::testing;

namespace {

// A recording station at 19200 baud whose nodes answer as soon as the line allows.
struct DeviceStation : SimStation {
    bool start(const QList<int> &addresses)
    {
        if (!open(19200, 200))
            return false;
        station().line().setFastSpeed(true);
        putNodes(addresses);
        return true;
    }
    DeviceRefresh *window(int address) { return new DeviceRefresh(engine(), address, &engine()); }
};

// The bytes of the last line of the newest value log.
QByteArray lastValueLine(const RowProbe &probe)
{
    QFile f(probe.logFiles(QStringLiteral("log_")).constLast());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.readAll().split('\n');
    return lines.size() >= 2 ? lines.at(lines.size() - 2) + '\n' : QByteArray();
}

} // namespace

class TestDeviceRefresh : public QObject {
    Q_OBJECT
private slots:
    void fullThenShortAndRecorded()
    {
        DeviceStation l;
        QVERIFY(l.start({7}));
        DeviceRefresh *r = l.window(7);
        QCOMPARE(r->mode(), QStringLiteral("F"));
        run(r->refresh_data());
        QCOMPARE(l.framesTo(7, 0x03), 121); // the mode register, then ten reads a channel
        QCOMPARE(r->mode(), QStringLiteral("NF"));
        QVERIFY(!r->updating());
        run(r->refresh_data());
        QCOMPARE(l.framesTo(7, 0x03), 121 + 13);

        const RowProbe probe = l.probe();
        const QList<RecordedRow> rows = probe.history(7);
        QCOMPARE(rows.size(), 24);
        for (int i = 0; i < 12; ++i) {
            QCOMPARE(rows.at(i).channel, i + 1);
            QCOMPARE(rows.at(i).recTime, rows.first().recTime);
        }
        QCOMPARE(probe.valueRows(7).size(), 2);
        QVERIFY(lastValueLine(probe).endsWith("\t \r\n"));
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));

        // "Обновить все параметры": the next read is a full one again.
        QVERIFY(run(r->refreshCommand(true)));
        QCOMPARE(l.framesTo(7, 0x03), 121 + 13 + 121);
    }

    // By default the panel follows the controller's own display; with "Сохранять режим"
    // the operator's parameter stays and so does the window's channel.
    void keepDisplay_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<int>("quantity");
        QTest::addColumn<int>("channel");
        QTest::newRow("follows the controller") << false << 0 << 2;
        QTest::newRow("keeps the operator's choice") << true << 2 << 5;
    }
    void keepDisplay()
    {
        QFETCH(bool, keep);
        QFETCH(int, quantity);
        QFETCH(int, channel);
        DeviceStation l;
        QVERIFY(l.start({7}));
        l.sim.node(7)->setDisplay(0, 2);
        DeviceRefresh *r = l.window(7);
        r->setKeepDisplay(keep);
        run(r->refresh_data());
        QCOMPARE(r->selectedChannel(), 2);
        arr_nodes[1].state.display_quantity = 2; // the operator picks "ВУ" of channel 5
        r->selectChannel(5);
        run(r->refresh_data());
        QCOMPARE(int(arr_nodes[1].state.display_quantity), quantity);
        QCOMPARE(r->selectedChannel(), channel);
    }

    void settingsChangedNoticeAfterTheReport()
    {
        DeviceStation l;
        QVERIFY(l.start({7}));
        DeviceRefresh *r = l.window(7);
        run(r->refresh_data());
        QVERIFY(r->settingsChangedNotice().isEmpty());
        l.sim.node(7)->setSettingsChanged(true);
        const int reads = l.framesTo(7, 0x03);
        run(r->refresh_data());
        QVERIFY(r->settingsChangedNotice().startsWith(QStringLiteral("Настройка прибора была изменена - ")));
        QCOMPARE(l.framesTo(7, 0x03) - reads, 121); // changed settings are read in full
    }

    // Another read on the line: nothing is sent or recorded, the interval is nudged
    // and the panel keeps saying it is updating; a command is refused.
    void busyLineSendsNothing()
    {
        DeviceStation l;
        QVERIFY(l.start({7}));
        DeviceRefresh *r = l.window(7);
        VrProgressBar().readStarted();
        run(r->refresh_data());
        const bool refused = !run(r->refreshCommand(false));
        VrProgressBar().readEnded();
        QVERIFY(refused);
        QCOMPARE(l.sim.frames().size(), 0);
        QVERIFY(r->updating());
        QCOMPARE(qAbs(r->interval() - DeviceRefresh::kInitialIntervalMs), DeviceRefresh::kNudgeMs);
        QCOMPARE(l.probe().historyCount(), 0);
        run(r->refresh_data());
        QVERIFY(!r->updating());
    }

    // A silent node, or one no slot holds any more: the error trap, nothing recorded,
    // nothing sent to address 0, and the next read is still a full one.
    void failedRefreshes_data()
    {
        QTest::addColumn<bool>("gone");
        QTest::newRow("silent") << false;
        QTest::newRow("gone after a rescan") << true;
    }
    void failedRefreshes()
    {
        QFETCH(bool, gone);
        DeviceStation l;
        QVERIFY(l.start({7}));
        DeviceRefresh *r = l.window(7);
        if (gone)
            reset_node_addresses();
        else
            l.sim.node(7)->faults().silent = true;
        run(r->refresh_data());
        QVERIFY(l.eventLogHas(QStringLiteral(" Узел 7 - Ошибка при обновлении данных.")));
        QCOMPARE(l.station().statusPanel(1).endsWith(QStringLiteral(" Узел 7 - Ошибка при обновлении данных.")), true);
        QCOMPARE(r->mode(), QStringLiteral("F"));
        QCOMPARE(l.probe().historyCount(), 0);
        QCOMPARE(l.probe().valueRows().size(), 0);
        QCOMPARE(l.framesTo(0, 0x03), 0);
        if (gone)
            QCOMPARE(l.sim.frames().size(), 0);
    }

    // Every nudge is said when asked; the interval never goes below a second.
    void nudgesAreBoundedAndSaid()
    {
        DeviceStation l;
        QVERIFY(l.makeEngine());
        DeviceRefresh *r = l.window(7);
        r->setInterval(0);
        QCOMPARE(r->interval(), DeviceRefresh::kMinIntervalMs);
        r->setLogNudges(true);
        for (int i = 0; i < 200; ++i)
            r->Change_interval();
        QVERIFY(r->interval() >= DeviceRefresh::kMinIntervalMs);
        const QStringList lines = l.station().eventLog().lines().filter(QStringLiteral("Измемен интервал обновления"));
        QCOMPARE(lines.size(), 200);
        QVERIFY2(lines.first().contains(QStringLiteral(" - Узел 7 Измемен интервал обновления с 1,00 на ")),
                 qPrintable(lines.first()));
    }

    // The window closes in the middle of a full read: its read stops at the next
    // channel, nothing is recorded, and the object goes once its refresh has ended.
    void closeDuringARefresh()
    {
        DeviceStation l;
        QVERIFY(l.start({7}));
        QPointer<DeviceRefresh> r = l.window(7);
        [[maybe_unused]] QCoro::Task<void> refresh = r->refresh_data();
        QVERIFY(waitUntil([&] { return l.framesTo(7, 0x03) >= 25; }, 60000));
        r->release();
        QVERIFY(waitUntil([&] { return r.isNull(); }, 60000));
        QVERIFY(l.framesTo(7, 0x03) < 121);
        QCOMPARE(l.probe().historyCount(), 0);
        QCOMPARE(l.probe().valueRows().size(), 0);
        QVERIFY(!VrProgressBar().busy());
    }

    // Polling two nodes while a device window refreshes a third on its timer: every
    // pass records both polled nodes, every refresh its own, only served values.
    void besidePolling()
    {
        DeviceStation l;
        QVERIFY(l.start({5, 17}));
        l.addNodes({40});
        found_count += 1;
        arr_nodes[found_count].address = 40;
        l.station().nodeList().append(node_item_text(found_count, 40));
        // Passes 300 ms apart leave the line free now and then; a refresh that finds it
        // busy waits for its next tick.
        l.polling().setInterval(300);
        DeviceRefresh *r = l.window(40);
        int passes = 0;
        // The run stops between passes, so every pass it counted is a whole one.
        connect(&l.polling(), &Polling::passFinished, this, [&] {
            ++passes;
            if (r->refreshes() >= 4 && passes >= 6)
                l.polling().stop();
        });
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        r->setInterval(DeviceRefresh::kMinIntervalMs);
        r->setAutoRefresh(true);
        QVERIFY(waitUntil([&] { return !l.polling().running(); }, 240000));
        r->setAutoRefresh(false);
        run(std::move(*runTask));
        QVERIFY(waitUntil([&] { return !r->refreshRunning(); }, 60000));

        const RowProbe probe = l.probe();
        QCOMPARE(probe.valueRows(5).size(), passes);
        QCOMPARE(probe.valueRows(17).size(), passes);
        QVERIFY(probe.valueRows(40).size() >= 1);
        QCOMPARE(probe.history(40).size(), 12 * probe.valueRows(40).size());
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }
};

QTEST_GUILESS_MAIN(TestDeviceRefresh)
#include "test_device_refresh.moc"
