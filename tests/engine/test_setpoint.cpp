// Setpoint writes: the value text in thousandths, the registers, the echo that
// confirms a write, and writes to simulated controllers with the node table's copy
// following only a confirmed one.
#include "tests/fixtures/sim_fixture.h"

#include "base/node_table.h"
#include "base/unit_crc.h"
#include "base/unit_procedure.h"
#include "engine/setpoint.h"

#include <limits>

using namespace qlx;
using namespace qlx::testing;

class TestSetpoint : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    void thousandths_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("expected");
        QTest::newRow("point") << "12.5" << true << 12500;
        QTest::newRow("comma, negative") << "-7,25" << true << -7250;
        QTest::newRow("plus sign, whole") << "+3" << true << 3000;
        QTest::newRow("no whole part") << ".5" << true << 500;
        QTest::newRow("no decimals after the point") << "5." << true << 5000;
        QTest::newRow("tie rounds down to even") << "2.0005" << true << 2000;
        QTest::newRow("tie rounds up to even") << "2.0015" << true << 2002;
        QTest::newRow("just above the tie") << "2.00050001" << true << 2001;
        QTest::newRow("just below the tie") << "2.0014999" << true << 2001;
        QTest::newRow("negative tie") << "-2.0015" << true << -2002;
        QTest::newRow("largest") << "2147483.647" << true << std::numeric_limits<int>::max();
        QTest::newRow("smallest") << "-2147483.648" << true << std::numeric_limits<int>::min();
        QTest::newRow("leading zeros") << "000000000000001.5" << true << 1500;
        QTest::newRow("too large") << "2147483.648" << false << 0;
        QTest::newRow("rounds past the largest") << "2147483.6475" << false << 0;
        QTest::newRow("exponent") << "1e3" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("point alone") << "." << false << 0;
        QTest::newRow("sign alone") << "-" << false << 0;
        QTest::newRow("two separators") << "1.2,3" << false << 0;
        QTest::newRow("space") << " 1" << false << 0;
        QTest::newRow("thousands separator") << "1 000" << false << 0;
    }

    void thousandths()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, expected);
        const auto v = parse_thousandths(text);
        QCOMPARE(v.has_value(), valid);
        if (valid)
            QCOMPARE(*v, expected);
    }

    // Only the exact echo of the write, checksum included, confirms it.
    void writeConfirmation_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("confirmed");
        const QByteArray echo = QByteArray::fromHex("051000080002");
        const QByteArray good = append_crc(QByteArray::fromHex("051000080002"));
        QByteArray badCrc = good;
        badCrc[7] = char(badCrc[7] ^ 0x01);
        QTest::newRow("exact echo") << good << true;
        QTest::newRow("bad checksum") << badCrc << false;
        QTest::newRow("other node") << append_crc(QByteArray::fromHex("061000080002")) << false;
        QTest::newRow("other register") << append_crc(QByteArray::fromHex("051000090002")) << false;
        QTest::newRow("count ending in 2") << append_crc(QByteArray::fromHex("051000080012")) << false;
        QTest::newRow("exception answer") << append_crc(QByteArray::fromHex("059002")) << false;
        QTest::newRow("trailing byte") << good + QByteArray(1, '\x00') << false;
        QTest::newRow("without checksum") << echo << false;
    }

    void writeConfirmation()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, confirmed);
        QCOMPARE(setpoint_confirmed(bytes_to_hex(answer), 5, 8), confirmed);
    }

    // 12,5 as the upper setpoint of channel 3 of node 7: registers 42-43, the value
    // 12500 low word first (each word high byte first), byte for byte; the echo confirms it and the node table
    // follows, so the channel's thresholds read back 12,5000.
    void writeReachesTheNodeAndTheTable()
    {
        SimLine l;
        QVERIFY(l.open(60));
        sim::Node *node = l.addStillNode(7);
        arr_nodes[1].address = 7;
        arr_nodes[1].channels[3].point = 2;
        const SetpointWrite write{7, 3, int(Threshold::Vu), *parse_thousandths(QStringLiteral("12,5"))};
        const SetpointResult result = run(write_setpoint(*l.line, write));
        QVERIFY(result.sent && result.confirmed);
        QCOMPARE(l.sim.frames().size(), 1);
        QCOMPARE(l.sim.frames().first().bytes,
                 append_crc(QByteArray::fromHex("0710002a00020430d40000")));
        QCOMPARE(node->channel(3).vu, 12500);
        store_setpoint(write);
        QCOMPARE(arr_nodes[1].setup[3].vu, 12500);
        QCOMPARE(arr_nodes[1].setup[3].nu, 0);
    }

    // An answer that is not the exact echo leaves the table alone; invalid requests send nothing.
    void unconfirmedOrInvalidWrites_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("quantity");
        QTest::addColumn<bool>("sent");
        QTest::newRow("foreign address") << "foreign" << 7 << 3 << 1 << true;
        QTest::newRow("exception") << "exception" << 7 << 3 << 1 << true;
        QTest::newRow("bad checksum") << "crc" << 7 << 3 << 1 << true;
        QTest::newRow("silent") << "silent" << 7 << 3 << 1 << true;
        QTest::newRow("broadcast address") << "" << 0 << 3 << 1 << false;
        QTest::newRow("address 256") << "" << 256 << 3 << 1 << false;
        QTest::newRow("channel 0") << "" << 7 << 0 << 1 << false;
        QTest::newRow("channel 13") << "" << 7 << 13 << 1 << false;
        QTest::newRow("no parameter") << "" << 7 << 3 << -1 << false;
    }
    void unconfirmedOrInvalidWrites()
    {
        QFETCH(QString, fault);
        QFETCH(int, address);
        QFETCH(int, channel);
        QFETCH(int, quantity);
        QFETCH(bool, sent);
        SimLine l;
        QVERIFY(l.open(60));
        sim::Node *node = l.addStillNode(7);
        if (fault == QStringLiteral("foreign"))
            node->faults().foreignAddress = 8;
        else if (fault == QStringLiteral("exception"))
            node->faults().exception = 2;
        else if (fault == QStringLiteral("crc"))
            node->faults().badCrc = 1.0;
        else if (fault == QStringLiteral("silent"))
            node->faults().silent = true;
        arr_nodes[1].address = 7;
        arr_nodes[1].channels[3].point = 2;
        arr_nodes[1].setup[3].vu = 4000;
        const SetpointWrite write{address, channel, quantity, 12500};
        const SetpointResult result = run(write_setpoint(*l.line, write));
        QCOMPARE(result.sent, sent);
        QVERIFY(!result.confirmed);
        QCOMPARE(l.sim.frames().size(), sent ? 1 : 0);
        if (result.confirmed)
            store_setpoint(write);
        QCOMPARE(arr_nodes[1].setup[3].vu, 4000);
    }

    // A confirmed write to a channel whose point code is unknown keeps 0 in the table;
    // every slot of the address is found, the last one wins.
    void storeFollowsThePointCode()
    {
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 9;
        arr_nodes[3].address = 7;
        arr_nodes[3].channels[5].point = 0;
        arr_nodes[3].setup[5].gis_nu = 111;
        QCOMPARE(find_slot(7), 3);
        QCOMPARE(find_slot(10), 0);
        store_setpoint({7, 5, int(Threshold::GisNu), -500});
        QCOMPARE(arr_nodes[3].setup[5].gis_nu, 0);
        arr_nodes[3].channels[5].point = 1;
        store_setpoint({7, 5, int(Threshold::GisNu), -500});
        QCOMPARE(arr_nodes[3].setup[5].gis_nu, -500);
        QCOMPARE(arr_nodes[1].setup[5].gis_nu, 0);
    }
};

QTEST_GUILESS_MAIN(TestSetpoint)
#include "test_setpoint.moc"
