// The device window over a simulated controller: what the front panel shows after
// a read, the selection commands, programming mode, following the operator lock,
// the refresh commands on a busy line, and closing while its read runs.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "engine/device_refresh.h"
#include "engine/seven_segment.h"
#include "widgets/dialog_seam.h"
#include "windows/device_window.h"

#include <QAction>
#include <QPointer>
#include <QPushButton>

using namespace qlx;
using namespace qlx::testing;

namespace {

struct PanelStation : SimStation {
    bool unlocked = true;
    QList<int> writesOpened;

    bool start(int address, const std::function<void(sim::NodeConfig &)> &configure = {})
    {
        if (!open(19200, 200))
            return false;
        station().line().setFastSpeed(true);
        putNodes({address}, configure);
        return true;
    }

    TFrm_quorlex *window(int address)
    {
        auto *refresh = new DeviceRefresh(engine(), address, &engine());
        DeviceWindowHooks hooks;
        hooks.writeEnabled = [this] { return unlocked; };
        hooks.databaseItemEnabled = [] { return true; };
        hooks.fileItemEnabled = [] { return true; };
        hooks.databaseTicked = true;
        hooks.fileTicked = true;
        hooks.openSetpointWrite = [this](int a, int c) { writesOpened << a << c; };
        auto *w = new TFrm_quorlex(*refresh, QStringLiteral("1 - Кворлекс - %1").arg(address), hooks);
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->show();
        return w;
    }

    bool refreshed(TFrm_quorlex *w, int count)
    {
        return waitUntil([&] { return w->refresh()->refreshes() >= count && !w->refresh()->refreshRunning(); }, 60000);
    }
};

} // namespace

class TestDeviceWindow : public QObject {
    Q_OBJECT
private:
    QList<DialogRequest> requests;

private slots:
    void init()
    {
        reset_node_table_state();
        requests.clear();
        DialogSeam::setHandler([this](const DialogRequest &r) {
            requests << r;
            return int(QMessageBox::Ok);
        });
    }
    void cleanup() { DialogSeam::setHandler({}); }

    // After a read the panel shows the controller's own parameter and channel, the
    // reading on the red readout, the alarm lamps of the alarmed channel.
    void panelFollowsTheController()
    {
        PanelStation l;
        QVERIFY(l.start(7, [](sim::NodeConfig &c) { c.mode = 0x8000 | (0 << 8) | 8; })); // "изм" of channel 8
        TFrm_quorlex *w = l.window(7);
        QVERIFY(w->refresh()->requestRefresh(false));
        QVERIFY(l.refreshed(w, 1));
        const Tarr_channel &ch = arr_nodes[1].channels[8];
        QCOMPARE(w->refresh()->selectedChannel(), 8);
        QCOMPARE(w->redMasks(), red_value(ch.value, ch.point));
        QCOMPARE(w->greenMasks(), green_value(8));
        QVERIFY(w->parameterLamp(0));
        // Channel 1 + (7 mod 12) = 8 of the simulated node stays above its upper setpoint.
        for (int k = 1; k <= 12; ++k) {
            QCOMPARE(w->alarmLamp(true, k), k == 8);
            QVERIFY(!w->alarmLamp(false, k));
        }
        QVERIFY(!w->manualLamp()); // mode bit 7 set: automatic
        QVERIFY(!w->progLamp());
        QVERIFY(w->updatingText().isEmpty());
        w->close();
    }

    // Selections change only the picture: "РЕЖ" wraps from MAX to "изм", the arrow from
    // 12 to 1, a lamp picks its parameter, a quantity the panel has no lamp for keeps
    // the readout.
    void selections()
    {
        PanelStation l;
        QVERIFY(l.start(7));
        TFrm_quorlex *w = l.window(7);
        QVERIFY(w->refresh()->requestRefresh(false));
        QVERIFY(l.refreshed(w, 1));
        const int frames = int(l.sim.frames().size());
        w->selectParameter(5);
        QVERIFY(w->parameterLamp(5));
        const Tarr_setup &s = arr_nodes[1].setup[1];
        w->selectChannel(1);
        const std::int32_t p = arr_nodes[1].channels[1].point;
        const int scale = p == 2 ? 10 : p == 3 ? 100 : p == 4 ? 1000 : 1;
        QCOMPARE(w->redMasks(), red_value(s.range_max / scale, p));
        w->nextParameter();
        QVERIFY(w->parameterLamp(0));
        QCOMPARE(int(arr_nodes[1].state.display_quantity), 0);
        w->selectChannel(12);
        w->nextChannel();
        QCOMPARE(w->refresh()->selectedChannel(), 1);
        const auto before = w->redMasks();
        arr_nodes[1].state.display_quantity = 6;
        w->refresh_disp();
        QCOMPARE(w->redMasks(), before);
        for (int q = 0; q < 6; ++q)
            QVERIFY(!w->parameterLamp(q));
        QCOMPARE(int(l.sim.frames().size()), frames); // nothing was sent
        w->openSetpointWrite();
        QCOMPARE(l.writesOpened, (QList<int>{7, 1}));
        w->close();
    }

    void programmingModeShowsTheLetters()
    {
        PanelStation l;
        QVERIFY(l.start(7, [](sim::NodeConfig &c) { c.faults.progMode = true; }));
        TFrm_quorlex *w = l.window(7);
        QVERIFY(w->refresh()->requestRefresh(false));
        QVERIFY(l.refreshed(w, 1));
        QVERIFY(w->progLamp());
        QCOMPARE(w->redMasks(), segment::kProg);
        QCOMPARE(l.probe().historyCount(), 0); // nothing read, nothing recorded
        w->close();
    }

    // The lock is followed within half a second; the ticks stay.
    void followsTheLock()
    {
        PanelStation l;
        QVERIFY(l.makeEngine());
        TFrm_quorlex *w = l.window(7);
        QVERIFY(w->progButton()->isEnabled());
        QVERIFY(w->databaseItem()->isEnabled() && w->databaseItem()->isChecked());
        l.unlocked = false;
        QVERIFY(waitUntil([&] { return !w->progButton()->isEnabled(); }, 5000));
        QVERIFY(!w->databaseItem()->isEnabled() && !w->fileItem()->isEnabled());
        QVERIFY(w->databaseItem()->isChecked() && w->fileItem()->isChecked());
        w->close();
    }

    void refreshCommandOnABusyLine()
    {
        PanelStation l;
        QVERIFY(l.start(7));
        TFrm_quorlex *w = l.window(7);
        VrProgressBar().readStarted();
        w->refreshCommand(false);
        VrProgressBar().readEnded();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().caption, QStringLiteral("Ошибка обновления"));
        QCOMPARE(requests.first().text,
                 QStringLiteral("В настоящее время обновление невозможно.\n\rCom порт занят другим процессом. "
                                "Повторите попытку позже."));
        QCOMPARE(l.sim.frames().size(), 0);
        w->close();
    }

    // Closing the window in the middle of its full read: the read stops, nothing is
    // recorded, the refresh object goes, and no other read was stopped.
    void closeWhileReading()
    {
        PanelStation l;
        QVERIFY(l.start(7));
        TFrm_quorlex *w = l.window(7);
        QPointer<DeviceRefresh> refresh = w->refresh();
        QVERIFY(refresh->requestRefresh(true));
        QVERIFY(waitUntil([&] { return l.framesTo(7, 0x03) >= 20; }, 60000));
        w->close();
        QVERIFY(waitUntil([&] { return refresh.isNull(); }, 60000));
        QVERIFY(l.framesTo(7, 0x03) < 121);
        QCOMPARE(l.probe().historyCount(), 0);
        QCOMPARE(l.probe().valueRows().size(), 0);
    }
};

QTEST_MAIN(TestDeviceWindow)
#include "test_device_window.moc"
