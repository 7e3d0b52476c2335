// Value writing, the restart diagnostic and the line-speed broadcast against the simulated line.
#include "tests/fixtures/sim_fixture.h"

#include "base/unit_crc.h"
#include "line/unit_protocol.h"

using namespace qlx;
using namespace qlx::testing;

namespace {

// The line of these tests: a generous answer wait that an answer ends at once, so a
// starved machine never loses an answer; only silence waits it out.
bool openLine(SimLine &l)
{
    if (!l.open(1000))
        return false;
    l.line->setFastSpeed(true);
    return true;
}

} // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    void writeValue_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("quantity"); // 0 nu, 1 vu, 2 gis_nu, 3 gis_vu
        QTest::addColumn<int>("value");
        QTest::newRow("nu of channel 1") << 1 << 0 << 123456;
        QTest::newRow("negative vu of channel 12") << 12 << 1 << -2500;
        QTest::newRow("zero hysteresis") << 5 << 3 << 0;
    }
    void writeValue()
    {
        QFETCH(int, channel);
        QFETCH(int, quantity);
        QFETCH(int, value);
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(1);
        const int first = 16 * (channel - 1) + 8 + 2 * quantity;
        const QString echo = run(Write_value(*l.line, 1, first, 2, value));
        const QByteArray sent = l.sim.frames().first().bytes;
        QCOMPARE(sent, Build_write_request(1, first, 2, value));
        QCOMPARE(sent.size(), 13);
        QCOMPARE(echo, bytes_to_hex(append_crc(sent.left(6))));
        QCOMPARE(echo.at(11), QLatin1Char('2')); // the success mark the setpoint dialog looks for
        QCOMPARE(node->reg32(first), value);
    }

    void writeValueFrameAndEcho()
    {
        SimLine l;
        QVERIFY(openLine(l));
        l.addStillNode(1);
        QCOMPARE(run(Write_value(*l.line, 1, 8, 2, 123456)), QStringLiteral("011000080002C00A"));
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex("01100008000204E24000010465"));
        QCOMPARE(run(Write_value(*l.line, 2, 8, 2, 1)), word::TimeOut);
    }

    void diagRestart_data()
    {
        QTest::addColumn<bool>("listenOnly");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("sends");
        QTest::newRow("answering node") << false << "Ok" << 1;
        QTest::newRow("listen-only node") << true << "" << 1;
    }
    void diagRestart()
    {
        QFETCH(bool, listenOnly);
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(200);
        node->setListenOnly(listenOnly);
        last_result.clear();
        QTEST(run(Diag_restart(*l.line, 200)), "result");
        QTEST(int(l.sim.frames().size()), "sends");
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex("C80800010000A052"));
        QCOMPARE(last_result, listenOnly ? word::BadAnswerOrInListening : QString());
        // The restart brings a listening node back: it answers the next time.
        QVERIFY(!node->listenOnly());
        QCOMPARE(run(Diag_restart(*l.line, 200)), word::Ok);
    }

    void modemLinesOfAPseudoTerminalAreRefused()
    {
        SimLine l;
        QVERIFY(l.open(40));
        // A pseudo-terminal has no DTR or RTS: the caller hears of it, the port stays usable.
        QVERIFY_THROWS_EXCEPTION(PortError, l.port.setDtr(true));
        QVERIFY_THROWS_EXCEPTION(PortError, l.port.setRts(false));
        QVERIFY(l.port.isOpen());
        l.addStillNode(5);
        QVERIFY(!run(l.line->Timed_exchange(Build_identify(5), kIdentifyCap)).isEmpty());
    }

    void speedBroadcastSwitchesTheNodes()
    {
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(5);
        QCOMPARE(run(Set_baud(*l.line, QStringLiteral("4800"))), word::Ok);
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex("001302FD31"));
        QCOMPARE(l.sim.frames().first().lineBaud, 9600);
        QCOMPARE(node->baud(), 4800);
        // Still at 9600 the station no longer reaches the node; at 4800 it does.
        QCOMPARE(run(l.line->Timed_exchange(Build_identify(5), kIdentifyCap)), QByteArray());
        l.port.setSpeed(4800);
        QVERIFY(!run(l.line->Timed_exchange(Build_identify(5), kIdentifyCap)).isEmpty());
        QCOMPARE(l.sim.frames().last().lineBaud, 4800);
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "test_commands.moc"
