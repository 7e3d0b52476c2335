// Network discovery against the simulated line.
#include "tests/fixtures/station_fixture.h"

#include "base/progress.h"
#include "engine/station.h"
#include "base/unit_procedure.h"

#include <QSignalSpy>

using namespace qlx;
using namespace qlx::testing;

namespace {

const QString kStamp = QStringLiteral("10.12.2026 04:05.06");

// A station on a simulated line at 19200 baud with nodes at the given addresses.
struct ScanLine : SimStation {
    bool open(const QList<int> &addresses)
    {
        if (!openLine(19200, 25))
            return false;
        addNodes(addresses);
        return true;
    }

    QStringList listTexts()
    {
        QStringList texts;
        for (int i = 0; i < station().nodeList().count(); ++i)
            texts << station().nodeList().text(i);
        return texts;
    }
};

} // namespace

class TestDiscovery : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        reset_node_table_state();
        set_clock([] { return QDateTime::fromString(kStamp, QStringLiteral("dd.MM.yyyy hh:mm.ss")); });
    }
    void cleanup() { set_clock({}); }

    void scanFindsNodes()
    {
        ScanLine l;
        QVERIFY(l.open({5, 200}));
        QSignalSpy captions(&l.station(), &Station::scanCaptionChanged);
        run(l.station().mnu_refresh_networkClick());

        QCOMPARE(l.listTexts(), (QStringList{QStringLiteral("1 - Кворлекс - 5"), QStringLiteral("2 - Кворлекс - 200")}));
        QCOMPARE(found_count, 2);
        QCOMPARE(arr_nodes[1].address, 5);
        QCOMPARE(arr_nodes[2].address, 200);
        QCOMPARE(arr_nodes[3].address, 0);
        QCOMPARE(l.station().eventLog().lines(),
                 (QStringList{kStamp + QStringLiteral(" - Начало опроса сети..."),
                              kStamp + QStringLiteral(" - Опрошено узлов - 255 из 255"),
                              kStamp + QStringLiteral(" - Обнаружено узлов - 2")}));
        QCOMPARE(l.station().statusPanel(0), QStringLiteral("Опрошено узлов - 255 из 255"));
        QCOMPARE(captions.first().first().toString(), kStopScanCaption);
        QCOMPARE(l.station().scanCaption(), kScanCaption);
        QCOMPARE(scan_running, 0);
        QCOMPARE(VrProgressBar().position(), 0);
        QVERIFY(!l.station().nodeList().isChecked(0));
        // The command first probes address 1 (three tries, nobody there), then 255 addresses.
        QTRY_COMPARE_WITH_TIMEOUT(l.sim.frames().size(), 3 + 255, 30000);
    }

    void stopAtAddress40()
    {
        ScanLine l;
        QVERIFY(l.open({5, 60}));
        std::optional<QCoro::Task<void>> stop;
        connect(&l.station(), &Station::statusPanelChanged, this, [&](int panel, const QString &text) {
            if (panel == 0 && text == QStringLiteral("Опрос узла - 40") && !stop)
                stop.emplace(l.station().mnu_refresh_networkClick()); // the operator gives the command again
        });
        run(l.station().mnu_refresh_networkClick());
        run(std::move(*stop));
        const QStringList log = l.station().eventLog().lines();
        QCOMPARE(log.mid(1), (QStringList{kStamp + QStringLiteral(" - Выполнение прервано по запросу пользователя..."),
                                          kStamp + QStringLiteral(" - Опрошено узлов - 40 из 255"),
                                          kStamp + QStringLiteral(" - Обнаружено узлов - 1")}));
        QCOMPARE(l.listTexts(), QStringList{QStringLiteral("1 - Кворлекс - 5")});
        QCOMPARE(l.station().scanCaption(), kScanCaption);
        QVERIFY(!l.station().scanActive());
    }

    void rescanFindingFewerLeavesNoTrace()
    {
        ScanLine l;
        QVERIFY(l.open({5, 17, 200}));
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(found_count, 3);
        arr_cells(0, 3).text = QStringLiteral("200");
        l.sim.removeNode(17);
        l.sim.removeNode(200);
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(l.listTexts(), QStringList{QStringLiteral("1 - Кворлекс - 5")});
        QCOMPARE(filled_slot_count(), 1);
        QCOMPARE(arr_nodes[2].address, 0);
        QCOMPARE(arr_nodes[3].address, 0);
        QCOMPARE(arr_cells(0, 3).text, QString());
    }

    // Noise, a damaged answer or a frame of another node is no node: listing it would
    // put a phantom into polling.
    void onlyIntactAnswersCountAndResetOptionWakesListeningNodes()
    {
        ScanLine l;
        QVERIFY(l.open({7, 9, 12}));
        l.sim.node(7)->faults().badCrc = 1.0;          // answers, but every answer is damaged
        l.sim.node(12)->faults().foreignAddress = 13;  // answers as another node
        l.sim.node(9)->setListenOnly(true);            // hears nothing but the restart
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(l.listTexts(), QStringList{});
        QCOMPARE(found_count, 0);

        l.station().setResetComPorts(true);
        l.sim.clearFrames();
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(l.listTexts(), QStringList{QStringLiteral("1 - Кворлекс - 9")});
        // One speed broadcast before the first address, a restart before every identify.
        int broadcasts = 0, restarts = 0;
        for (const auto &f : l.sim.frames()) {
            broadcasts += f.bytes.startsWith(QByteArray::fromHex("0013")) ? 1 : 0;
            restarts += (f.bytes.size() == 8 && f.bytes[1] == 0x08) ? 1 : 0;
        }
        QCOMPARE(broadcasts, 1);
        QVERIFY(restarts >= 255);
    }

    // A rescan that puts another node into a slot keeps nothing of the slot's previous
    // occupant: its setup, readings and alarms would be taken for the new node's.
    void rescanPutsAFreshNodeIntoASlot()
    {
        ScanLine l;
        QVERIFY(l.open({5}));
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(arr_nodes[1].address, 5);
        arr_nodes[1].setup[3].nu = 1234;
        arr_nodes[1].setups_read = kAllChannels;
        arr_nodes[1].channels[3] = Tarr_channel{777, 2, 1, 1};
        arr_nodes[1].state.settings_changed = 1;
        l.sim.removeNode(5);
        l.addNodes({6});
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(arr_nodes[1].address, 6);
        QCOMPARE(arr_nodes[1].setups_read, std::uint16_t(0)); // its first read will be a full one
        QCOMPARE(arr_nodes[1].setup[3], Tarr_setup{});
        QCOMPARE(arr_nodes[1].channels[3], Tarr_channel{});
        QCOMPARE(arr_nodes[1].state, Tarr_state{});
    }

    // A scan empties the node table: it is refused, the list kept and nothing sent,
    // while the port is closed or polling reads the table.
    void scanRefused_data()
    {
        QTest::addColumn<bool>("portClosed");
        QTest::addColumn<QString>("why");
        QTest::newRow("port closed") << true << QStringLiteral("Опрос сети невозможен: COM порт закрыт.");
        QTest::newRow("polling runs") << false
                                      << QStringLiteral("Опрос сети невозможен во время автоматического обновления.\n\r"
                                                        "Отключите автоматическое обновление.");
    }

    void scanRefused()
    {
        QFETCH(bool, portClosed);
        ScanLine l;
        QVERIFY(l.open({5}));
        run(l.station().mnu_refresh_networkClick());
        QCOMPARE(l.listTexts(), QStringList{QStringLiteral("1 - Кворлекс - 5")});
        if (portClosed)
            l.station().comPort().close();
        else
            l.station().setPollingActive(true);
        l.sim.clearFrames();
        try {
            run(l.station().mnu_refresh_networkClick());
            QFAIL("the scan was not refused");
        } catch (const CommandRefused &e) {
            QTEST(QString::fromStdString(e.what()), "why");
        }
        QCOMPARE(l.listTexts(), QStringList{QStringLiteral("1 - Кворлекс - 5")});
        QCOMPARE(arr_nodes[1].address, 5);
        QCOMPARE(scan_running, 0);
        QCOMPARE(l.sim.frames().size(), 0);
    }

    void portLostDuringAScan()
    {
        ScanLine l;
        QVERIFY(l.open({5}));
        connect(&l.station(), &Station::statusPanelChanged, this, [&](int, const QString &text) {
            if (text == QStringLiteral("Опрос узла - 10"))
                l.station().comPort().close();
        });
        run(l.station().mnu_refresh_networkClick());
        const QStringList log = l.station().eventLog().lines();
        QVERIFY2(log.at(1).startsWith(kStamp + QStringLiteral(" - Опрос сети прерван: ")), qPrintable(log.at(1)));
        QCOMPARE(log.at(2), kStamp + QStringLiteral(" - Опрошено узлов - 10 из 255"));
        QCOMPARE(l.station().scanCaption(), kScanCaption);
        QCOMPARE(scan_running, 0);
    }

    void eventLogKeepsAtMost1000Lines()
    {
        EventLog log;
        QSignalSpy cleared(&log, &EventLog::cleared);
        for (int i = 0; i < 1000; ++i)
            log.append(QString::number(i));
        QCOMPARE(log.lines().size(), 1000);
        QCOMPARE(cleared.count(), 0);
        log.append(QStringLiteral("1001st"));
        QCOMPARE(log.lines().size(), 1001);
        QCOMPARE(cleared.count(), 0);
        log.append(QStringLiteral("1002nd"));
        QCOMPARE(log.lines().size(), 0);
        QCOMPARE(cleared.count(), 1);
        log.append(QStringLiteral("again"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("again")});
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "test_discovery.moc"
