// Identification and node reads against the simulated line.
#include "tests/fixtures/sim_fixture.h"

#include "base/progress.h"
#include "base/unit_crc.h"
#include "line/unit_protocol.h"

#include <QSignalSpy>

#include <cmath>

using namespace qlx;
using namespace qlx::testing;

namespace {

// What the station must make of a channel, computed from the simulator's registers.
Tarr_setup expectedSetup(const sim::Node &node, int c)
{
    const sim::ChannelSetup s = node.channel(c);
    Tarr_setup e;
    e.gain = s.gain;
    e.zero = s.zero;
    e.point_pos = s.point_pos;
    e.range_min = s.range_min;
    e.range_max = s.range_max;
    e.nu = s.nu;
    e.vu = s.vu;
    e.gis_nu = s.gis_nu;
    e.gis_vu = s.gis_vu;
    e.raw = node.raw(c);
    return e;
}

sim::ChannelSetup channelSetup(int gain, int zero, int rangeMin, int pointPos, int nu, int vu, int gisNu, int gisVu)
{
    sim::ChannelSetup s;
    s.gain = gain;
    s.zero = quint16(zero);
    s.range_min = rangeMin;
    s.range_max = 1000000;
    s.point_pos = quint16(pointPos);
    s.nu = nu;
    s.vu = vu;
    s.gis_nu = gisNu;
    s.gis_vu = gisVu;
    return s;
}

// Opens the line with an answer wait that a loaded machine keeps (an answering node
// ends its exchange at once: FastSpeed); tests that wait out silences take a shorter one.
bool openLine(SimLine &l, int answerWaitMs = 1000)
{
    if (!l.open(answerWaitMs))
        return false;
    l.line->setFastSpeed(true);
    return true;
}

} // namespace

class TestNodeReads : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        reset_node_table_state();
        VrProgressBar().setPosition(0);
    }

    void fullReadMatchesTheNode()
    {
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(17);
        node->setDisplay(2, 7);
        arr_nodes[1].address = 17;
        QSignalSpy progress(&VrProgressBar(), &ProgressValue::changed);

        const NodeRead read = run(Read_node(*l.line, 1, QStringLiteral("F")));

        QVERIFY(!read.stopped);
        QVERIFY(read.setpointsRead());
        QCOMPARE(last_result, QString());
        QCOMPARE(arr_nodes[1].state, (Tarr_state{1, 0, 0, 2, 7}));
        for (int c = 1; c <= kChannels; ++c) {
            QCOMPARE(arr_nodes[1].setup[c], expectedSetup(*node, c));
            const Tarr_channel &ch = arr_nodes[1].channels[c];
            QCOMPARE(ch.point, int(node->channel(c).point_pos) + 1);
            const double scale = std::pow(10.0, 4 - ch.point);
            QVERIFY2(std::abs(ch.value / scale - node->value(c)) <= 0.5 / scale + 1e-9,
                     qPrintable(QStringLiteral("channel %1: %2 vs %3").arg(c).arg(ch.value).arg(node->value(c))));
        }
        QCOMPARE(l.sim.frames().size(), 121); // mode register, then ten reads a channel
        QCOMPARE(progress.last().at(0).toInt(), 0);
        QCOMPARE(VrProgressBar().maximum(), 12);
        int alarms = 0;
        for (int c = 1; c <= kChannels; ++c)
            alarms += arr_nodes[1].channels[c].alarm_vu;
        QCOMPARE(alarms, 1); // the simulated node keeps one channel above its upper setpoint
    }

    void evaluationThroughTheLine_data()
    {
        QTest::addColumn<sim::ChannelSetup>("setup");
        QTest::addColumn<int>("raw");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("point");
        QTest::addColumn<int>("alarmNu");
        QTest::addColumn<int>("alarmVu");
        QTest::newRow("1.234 in hundredths") << channelSetup(65536, 0, 0, 1, 1000, 2000, 0, 0) << 1234 << 123 << 2 << 0 << 0;
        QTest::newRow("0.25 in tenths") << channelSetup(65536, 0, 0, 2, -5000, 5000, 0, 0) << 250 << 2 << 3 << 0 << 0;
        QTest::newRow("0.75 in tenths") << channelSetup(65536, 0, 0, 2, -5000, 5000, 0, 0) << 750 << 8 << 3 << 0 << 0;
        QTest::newRow("units, four digits of 1234567")
            << channelSetup(65536, 0, 1234567000, 3, 0, 2000000000, 0, 0) << 0 << 1234 << 4 << 0 << 0;
        QTest::newRow("units -56789") << channelSetup(65536, 0, -56789000, 3, -2000000000, 0, 0, 0) << 0 << -567 << 4 << 0
                                      << 0;
        QTest::newRow("alarm inside the hysteresis") << channelSetup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 1020 << 1020
                                                     << 1 << 1 << 0;
        QTest::newRow("upper alarm") << channelSetup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 5200 << 5200 << 1 << 0 << 1;
        QTest::newRow("both alarms") << channelSetup(65536, 0, 0, 0, 3000, 1000, 0, 0) << 2000 << 2000 << 1 << 1 << 1;
        QTest::newRow("raw below zero, negative gain")
            << channelSetup(-65536, 2000, 0, 0, -5000, 5000, 0, 0) << 1000 << 1000 << 1 << 0 << 0;
    }
    void evaluationThroughTheLine()
    {
        QFETCH(sim::ChannelSetup, setup);
        QFETCH(int, raw);
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(3);
        node->setChannel(4, setup);
        node->setRaw(4, quint16(raw));
        arr_nodes[1].address = 3;
        run(Read_full(*l.line, 1));
        const Tarr_channel &ch = arr_nodes[1].channels[4];
        QTEST(int(ch.value), "value");
        QTEST(int(ch.point), "point");
        QTEST(int(ch.alarm_nu), "alarmNu");
        QTEST(int(ch.alarm_vu), "alarmVu");

        // A short read evaluates the same raw code against the stored setup.
        arr_nodes[1].channels[4] = {};
        run(Read_values(*l.line, 1));
        QTEST(int(arr_nodes[1].channels[4].value), "value");
    }

    void nodeStopsAfterChannelFive()
    {
        SimLine l;
        QVERIFY(openLine(l, 200));
        sim::Node *node = l.addStillNode(8);
        node->faults().silentAfterFrames = 1 + 5 * 10; // mode register and five channels
        arr_nodes[1].address = 8;
        const Tarr_channel oldReading{4242, 2, 1, 0};
        Tarr_setup oldSetup;
        oldSetup.nu = 777;
        for (int c = 1; c <= kChannels; ++c) {
            arr_nodes[1].channels[c] = oldReading;
            arr_nodes[1].setup[c] = oldSetup;
        }
        const NodeRead read = run(Read_node(*l.line, 1, QStringLiteral("F")));
        // The outcome says which channels this read got: the rest keep an earlier read's data.
        QCOMPARE(read.channelsRead, std::uint16_t(0x001F));
        QCOMPARE(read.missingChannels(), (QList<int>{6, 7, 8, 9, 10, 11, 12}));
        QVERIFY(!read.complete());
        QVERIFY(!read.setpointsRead());
        for (int c = 1; c <= 5; ++c)
            QCOMPARE(arr_nodes[1].setup[c], expectedSetup(*node, c));
        for (int c = 6; c <= kChannels; ++c) {
            QCOMPARE(arr_nodes[1].channels[c], oldReading);
            QCOMPARE(arr_nodes[1].setup[c], oldSetup);
        }
        QCOMPARE(l.sim.frames().size(), 121); // still one try per register read
        QCOMPARE(last_result, QString());      // the word of the last channel that was gathered
        QCOMPARE(VrProgressBar().position(), 0);
    }

    void programmingModeReadsOnlyTheState()
    {
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(4);
        node->faults().progMode = true;
        node->setMode(node->mode() | sim::kProgModeBit);
        arr_nodes[1].address = 4;
        arr_nodes[1].channels[1] = Tarr_channel{55, 3, 0, 0};
        QSignalSpy progress(&VrProgressBar(), &ProgressValue::changed);
        const NodeRead read = run(Read_node(*l.line, 1, QStringLiteral("F")));
        QVERIFY(read.programming);
        QVERIFY(!read.complete());
        QCOMPARE(arr_nodes[1].state.prog_mode, 1);
        QCOMPARE(arr_nodes[1].channels[1], (Tarr_channel{55, 3, 0, 0}));
        QCOMPARE(arr_nodes[1].setup[1], Tarr_setup{});
        QCOMPARE(progress.count(), 0);
        QCOMPARE(last_result, QString());
        QCOMPARE(l.sim.frames().size(), 1);
    }

    void changedSettingsForceAFullRead()
    {
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(4);
        arr_nodes[1].address = 4;
        // A slot whose setup blocks were never read is read in full whatever the mode.
        QVERIFY(run(Read_node(*l.line, 1, QStringLiteral("NF"))).setpointsRead());
        QCOMPARE(l.sim.frames().size(), 121);
        l.sim.clearFrames();
        const NodeRead shortRead = run(Read_node(*l.line, 1, QStringLiteral("NF")));
        QVERIFY(shortRead.complete());
        QCOMPARE(l.sim.frames().size(), 13); // short read: mode + 12 raw codes
        QVERIFY(!shortRead.setpointsRead());

        node->setSettingsChanged(true);
        sim::ChannelSetup s = node->channel(2);
        s.nu = 4321;
        node->setChannel(2, s);
        l.sim.clearFrames();
        QVERIFY(run(Read_node(*l.line, 1, QStringLiteral("NF"))).setpointsRead());
        QCOMPARE(l.sim.frames().size(), 121);
        QCOMPARE(arr_nodes[1].setup[2].nu, 4321);
    }

    void stopBeforeTheReadStopsBeforeChannelOne()
    {
        SimLine l;
        QVERIFY(openLine(l));
        l.addStillNode(4);
        arr_nodes[1].address = 4;
        ReadStop stop;
        stop.request(); // a window closed between two reads of its caller
        QCOMPARE(abort_read, 1);
        QVERIFY(run(Read_node(*l.line, 1, QStringLiteral("F"), &stop)).stopped);
        QVERIFY(!stop.requested()); // used up by the read that honoured it
        QCOMPARE(abort_read, 0);
        QCOMPARE(arr_nodes[1].state.mode_bit7, 1); // the state is still read
        QCOMPARE(arr_nodes[1].setup[1], Tarr_setup{});
        QCOMPARE(l.sim.frames().size(), 1);
    }

    void stopDuringAReadStopsBeforeTheNextChannel()
    {
        SimLine l;
        QVERIFY(openLine(l));
        l.addStillNode(4);
        arr_nodes[1].address = 4;
        ReadStop stop;
        // A window closing in the middle of the read asks it to stop.
        QObject::connect(&VrProgressBar(), &ProgressValue::changed, &l.sim, [&stop](int position, int) {
            if (position == 3)
                stop.request();
        });
        const NodeRead read = run(Read_node(*l.line, 1, QStringLiteral("F"), &stop));
        QVERIFY(read.stopped);
        QVERIFY(!read.setpointsRead()); // a half-read node gives no setpoint row
        QCOMPARE(read.channelsRead, std::uint16_t(0x0007));
        QCOMPARE(abort_read, 0);
        QCOMPARE(VrProgressBar().position(), 0);
        QVERIFY(arr_nodes[1].setup[3].gain != 0);  // the channel in progress finished
        QCOMPARE(arr_nodes[1].setup[4], Tarr_setup{}); // nothing after it
        QCOMPARE(l.sim.frames().size(), 1 + 3 * 10);
    }

    // Two callers read at once (polling and a device window share the line): a stop
    // asked by one stops only its own read.
    void stoppingOneReadLeavesAnotherReading()
    {
        SimLine l;
        QVERIFY(openLine(l));
        l.addStillNode(4);
        l.addStillNode(5);
        arr_nodes[1].address = 4;
        arr_nodes[2].address = 5;
        ReadStop pollingStop;
        ReadStop windowStop;
        QObject::connect(&VrProgressBar(), &ProgressValue::changed, &l.sim, [&windowStop](int position, int) {
            if (position == 2)
                windowStop.request();
        });
        auto both = [&]() -> QCoro::Task<std::pair<NodeRead, NodeRead>> {
            auto first = Read_node(*l.line, 1, QStringLiteral("F"), &pollingStop);
            auto second = Read_node(*l.line, 2, QStringLiteral("F"), &windowStop);
            const NodeRead a = co_await std::move(first);
            const NodeRead b = co_await std::move(second);
            co_return std::pair{a, b};
        };
        const auto [polled, windowed] = run(both());
        QVERIFY(polled.complete());
        QVERIFY(windowed.stopped);
    }

    void portErrorEndsTheReadQuietly()
    {
        SimLine l;
        QVERIFY(openLine(l));
        l.addStillNode(4);
        arr_nodes[1].address = 4;
        l.port.close();
        VrProgressBar().setPosition(5);
        const NodeRead read = run(Read_node(*l.line, 1, QStringLiteral("F"))); // must not raise
        QVERIFY(read.failed);
        QVERIFY(!read.complete());
        QCOMPARE(VrProgressBar().position(), 0);
        QVERIFY(!l.line->busy());
    }

    void badAnswersGiveTheirWords_data()
    {
        QTest::addColumn<int>("foreign");
        QTest::addColumn<int>("exception");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<double>("badCrc");
        QTest::addColumn<QString>("word");
        QTest::newRow("another address") << 9 << 0 << false << 0.0 << "Bad nomer";
        QTest::newRow("exception answer") << 0 << 4 << false << 0.0 << "Bad command";
        QTest::newRow("silence") << 0 << 0 << true << 0.0 << "Time Out";
        QTest::newRow("bad checksum") << 0 << 0 << false << 1.0 << "Bad CRC";
    }
    void badAnswersGiveTheirWords()
    {
        QFETCH(int, foreign);
        QFETCH(int, exception);
        QFETCH(bool, silent);
        QFETCH(double, badCrc);
        SimLine l;
        QVERIFY(openLine(l));
        sim::Node *node = l.addStillNode(4);
        if (foreign)
            node->faults().foreignAddress = foreign;
        node->faults().exception = exception;
        node->faults().silent = silent;
        node->faults().badCrc = badCrc;
        const auto data = run(Read_registers(*l.line, 4, 192, 1));
        QVERIFY(!data.has_value());
        QTEST(last_result, "word");
    }

    void silentModeRegisterKeepsTheState()
    {
        SimLine l;
        QVERIFY(openLine(l, 200));
        sim::Node *node = l.addStillNode(4);
        arr_nodes[1].address = 4;
        run(Read_node(*l.line, 1, QStringLiteral("F")));
        const Tarr_state before = arr_nodes[1].state;
        node->faults().silent = true;
        run(Read_node(*l.line, 1, QStringLiteral("NF")));
        QCOMPARE(arr_nodes[1].state, before);
        QCOMPARE(last_result, word::BadAnswerReadFieldMode);
    }

    void identifyAnswer()
    {
        SimLine l;
        QVERIFY(openLine(l));
        sim::NodeConfig config = sim::defaultNode(200);
        config.identity = 0x37;
        config.runStatus = 0x05;
        config.details = "AB";
        l.sim.addNode(config);
        const QByteArray answer = run(l.line->Timed_exchange(Build_identify(200), kIdentifyCap));
        QString w = QStringLiteral("x");
        const TAnswer_11H a = Parse_identify(200, answer, w);
        QCOMPARE(w, QString());
        QCOMPARE(a.device_type, 3);
        QCOMPARE(a.device_number, 7);
        QCOMPARE(a.run_status, 5);
        QCOMPARE(a.specification, QByteArray("AB"));
        QVERIFY(crc_ok(answer));
    }
};

QTEST_GUILESS_MAIN(TestNodeReads)
#include "test_node_reads.moc"
