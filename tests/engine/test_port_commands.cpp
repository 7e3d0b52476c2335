// Port and speed commands of the station against the simulated line.
#include "tests/fixtures/station_fixture.h"

#include "engine/station.h"
#include "base/unit_procedure.h"

#include <QSignalSpy>

using namespace qlx;
using namespace qlx::testing;

class TestPortCommands : public QObject {
    Q_OBJECT
private slots:
    void startNetworkBroadcastsThePresentSpeed()
    {
        SimStation l;
        QVERIFY(l.openLine(19200, 40));
        QSignalSpy ticked(&l.station(), &Station::speedTicked);
        run(l.station().start_network());
        QTRY_COMPARE_WITH_TIMEOUT(l.sim.frames().size(), 1, 30000);
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex("0013047D33"));
        QCOMPARE(l.sim.frames().first().lineBaud, 19200);
        QCOMPARE(ticked.first().first().toString(), QStringLiteral("19200"));
    }

    void speedChangeGoesOutAtTheOldSpeed()
    {
        SimStation l;
        QVERIFY(l.openLine(9600, 40));
        sim::Node *node = l.sim.addNode(sim::defaultNode(5));
        run(l.station().change_speed(QStringLiteral("4800")));
        QTRY_COMPARE_WITH_TIMEOUT(l.sim.frames().size(), 1, 30000);
        QCOMPARE(l.sim.frames().first().bytes.left(3), QByteArray::fromHex("001302"));
        QCOMPARE(l.sim.frames().first().lineBaud, 9600);
        QCOMPARE(l.station().lineSpeedText(), QStringLiteral("4800"));
        QCOMPARE(l.station().comPort().settings().baud(), 4800);
        QCOMPARE(l.sim.lineBaud(), 4800);
        QCOMPARE(node->baud(), 4800);
        // Station and node meet again at the new speed.
        l.station().line().setAnswerWait(80);
        QVERIFY(run(l.station().test_quorlex_in_net(5)));
    }

    void openCloseAndSettingsFile()
    {
        SimStation l;
        QVERIFY(l.openLine(9600, 40));
        QVERIFY(!l.station().toggle_port());
        QVERIFY(!l.station().comPort().isOpen());
        QVERIFY(l.station().toggle_port());
        QVERIFY(l.station().store_port_settings());
        PortSettings s = l.station().comPort().settings();
        s.port = QStringLiteral("/dev/qlx-no-such-port");
        l.station().comPort().setSettings(s);
        l.station().comPort().close();
        QVERIFY(!l.station().toggle_port()); // silent failure
        QVERIFY(l.station().load_port_settings());
        QCOMPARE(l.station().comPort().settings().port, l.sim.stationPath());
        QVERIFY(l.station().toggle_port());
    }

    void modemLinesAndFastSpeed()
    {
        SimStation l;
        QVERIFY(l.openLine(9600, 40));
        set_clock([] { return QDateTime(QDate(2026, 12, 10), QTime(4, 5, 6)); });
        QVERIFY(!l.station().set_dtr(true)); // a pseudo-terminal has no modem lines
        QVERIFY(!l.station().set_rts(true));
        set_clock({});
        QCOMPARE(l.station().eventLog().lines().size(), 2);
        QVERIFY(l.station().eventLog().lines().first().startsWith(QStringLiteral("10.12.2026 04:05.06 - ")));
        QVERIFY(l.station().comPort().isOpen());

        l.station().set_fast_speed(true);
        QVERIFY(l.station().line().fastSpeed());
        QCOMPARE(StationSettings(l.folder()).fastSpeed(), true);
        l.station().set_fast_speed(false);
        QCOMPARE(StationSettings(l.folder()).fastSpeed(), false);
    }
};

QTEST_GUILESS_MAIN(TestPortCommands)
#include "test_port_commands.moc"
