// The line simulator seen from the station's side: a plain QSerialPort on the
// pty slave sends frames and reads the raw answers.
#include "tools/sim/line_simulator.h"

#include "base/unit_crc.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

using namespace qlx;
using namespace qlx::sim;

Q_DECLARE_METATYPE(qlx::sim::NodeFaults)

namespace {

constexpr int kWaitMs = 30000;   // only ever reached when something is broken

QByteArray frame(const char *hex)
{
    return append_crc(QByteArray::fromHex(hex));
}

// The identify answer of a node with the default identity and details.
QByteArray identifyAnswer(int address)
{
    QByteArray body;
    body.append(static_cast<char>(address));
    body.append(QByteArray::fromHex("110721FF"));
    body.append("QLX12");
    return append_crc(body);
}

QByteArray identifyRequest(int address)
{
    QByteArray body;
    body.append(static_cast<char>(address));
    body.append('\x11');
    return append_crc(body);
}

quint16 wordAt(const QByteArray &answer, int i)
{
    return static_cast<quint16>(static_cast<quint8>(answer.at(i)) << 8 | static_cast<quint8>(answer.at(i + 1)));
}

class Station {
public:
    bool open(const QString &path, int baud, QSerialPort::StopBits stop = QSerialPort::OneStop)
    {
        m_port.setPortName(path);
        m_port.setBaudRate(baud);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(stop);
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        return m_port.open(QIODevice::ReadWrite);
    }
    QString errorString() const { return m_port.errorString(); }
    bool setBaud(int baud) { return m_port.setBaudRate(baud); }

    void send(const QByteArray &bytes)
    {
        m_port.write(bytes);
        m_port.flush();
    }

    // Everything received until at least `count` bytes are in, or what came
    // before giving up (the caller's comparison then fails).
    QByteArray receive(int count)
    {
        static_cast<void>(QTest::qWaitFor([&] {
            m_got += m_port.readAll();
            return m_got.size() >= count;
        }, kWaitMs));
        m_got += m_port.readAll();
        return std::exchange(m_got, {});
    }

    QByteArray ask(const QByteArray &request, int answerBytes)
    {
        send(request);
        return receive(answerBytes);
    }

private:
    QSerialPort m_port;
    QByteArray m_got;
};

} // namespace

class TestLineSimulator : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LineSimulator> m_sim;
    std::unique_ptr<Station> m_station;

    void openStation(int baud = 9600, QSerialPort::StopBits stop = QSerialPort::OneStop)
    {
        m_station = std::make_unique<Station>();
        QVERIFY2(m_station->open(m_sim->stationPath(), baud, stop), qPrintable(m_station->errorString()));
    }

    // Sends a frame nobody should answer and waits until the simulator has
    // taken it off the line.
    bool sendUnanswered(const QByteArray &request)
    {
        const qsizetype before = m_sim->frames().size();
        m_station->send(request);
        return QTest::qWaitFor([&] { return m_sim->frames().size() > before; }, kWaitMs);
    }

    // With equal timing for all nodes, an answer to an earlier frame would
    // come before the answer to this later one: receiving exactly the other
    // node's identify answer proves the line stayed quiet meanwhile.
    void expectQuietLine(int otherAddress)
    {
        QCOMPARE(m_station->ask(identifyRequest(otherAddress), identifyAnswer(otherAddress).size()),
                 identifyAnswer(otherAddress));
    }

    Node *addStillNode(int address, int baud = 9600, const NodeFaults &faults = {})
    {
        NodeConfig config = defaultNode(address);
        config.baud = baud;
        config.moving = false;
        config.diagnostic = 0x0042;
        config.faults = faults;
        return m_sim->addNode(config);
    }

private slots:
    void init()
    {
        m_sim = std::make_unique<LineSimulator>();
        QString error;
        QVERIFY2(m_sim->openPty(&error), qPrintable(error));
        QVERIFY(QFileInfo::exists(m_sim->stationPath()));
        // Equal answer timing for every frame size keeps answers in request order.
        m_sim->setWireTime(false);
    }

    void cleanup()
    {
        m_station.reset();
        m_sim.reset();
    }

    void answers_data()
    {
        QTest::addColumn<NodeFaults>("faults");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("crcGood");

        const NodeFaults healthy;
        QTest::newRow("identify") << healthy << frame("0511") << identifyAnswer(5) << true;
        QTest::newRow("read first registers")
            << healthy << frame("050300000002") << frame("0503041234ABCD") << true;
        QTest::newRow("32-bit gain low word first")
            << healthy << frame("050300100002") << frame("05030456781234") << true;
        QTest::newRow("last raw code and mode register")
            << healthy << frame("050300CB0002") << frame("0503040FA08001") << true;
        QTest::newRow("read past the map") << healthy << frame("050300CC0002") << frame("058302") << true;
        QTest::newRow("read zero registers") << healthy << frame("050300000000") << frame("058303") << true;
        QTest::newRow("read 126 registers") << healthy << frame("05030000007E") << frame("058303") << true;
        QTest::newRow("write a raw code") << healthy << frame("051000C000010200FF") << frame("059002") << true;
        QTest::newRow("write with a short byte count")
            << healthy << frame("0510000000020200FF") << frame("059003") << true;
        QTest::newRow("diagnostic echo") << healthy << frame("05080000A55A") << frame("05080000A55A") << true;
        QTest::newRow("diagnostic register") << healthy << frame("050800020000") << frame("050800020042") << true;
        QTest::newRow("unknown diagnostic") << healthy << frame("050800030000") << frame("058801") << true;
        QTest::newRow("unknown function") << healthy << frame("052B") << frame("05AB01") << true;
        QTest::newRow("line speed addressed to a node") << healthy << frame("051303") << frame("059301") << true;

        NodeFaults foreign;
        foreign.foreignAddress = 7;
        QByteArray fromSeven = identifyAnswer(5).chopped(2);
        fromSeven[0] = 7;
        QTest::newRow("answers from another address") << foreign << frame("0511") << append_crc(fromSeven) << true;
        NodeFaults extra;
        extra.extraByte = true;
        QTest::newRow("extra byte after the CRC")
            << extra << frame("050300000001") << frame("0503021234") + QByteArray(1, '\0') << true;
        NodeFaults leading;
        leading.leading = QByteArray::fromHex("FF0007");
        QTest::newRow("noise ahead of the answer")
            << leading << frame("050300000001") << QByteArray::fromHex("FF0007") + frame("0503021234") << true;
        NodeFaults exception;
        exception.exception = 4;
        QTest::newRow("exception to everything") << exception << frame("0511") << frame("059104") << true;
        NodeFaults badCrc;
        badCrc.badCrc = 1;
        QTest::newRow("bad CRC") << badCrc << frame("050300000001") << frame("0503021234") << false;
        NodeFaults shortAnswer;
        shortAnswer.shortAnswer = true;
        QTest::newRow("one register fewer, checksum valid")
            << shortAnswer << frame("050300000002") << frame("0503021234") << true;
        NodeFaults readsOnly;
        readsOnly.badCrc = 1;
        readsOnly.faultFunction = 3;
        QTest::newRow("faults on reads only spare the identify answer")
            << readsOnly << frame("0511") << identifyAnswer(5) << true;
    }

    void answers()
    {
        QFETCH(NodeFaults, faults);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(bool, crcGood);

        Node *node = addStillNode(5, 9600, faults);
        node->setReg(0, 0x1234);
        node->setReg(1, 0xABCD);
        node->setReg32(setupRegister(2, kGain), 0x12345678);
        node->setRaw(12, 0x0FA0);
        addStillNode(6);
        openStation();

        const QByteArray got = m_station->ask(request, answer.size());
        if (crcGood) {
            QCOMPARE(got, answer);
        } else {
            QCOMPARE(got.chopped(2), answer.chopped(2));
            QVERIFY(!crc_ok(got));
        }
        const FrameRecord &record = m_sim->frames().last();
        QCOMPARE(record.bytes, request);
        QCOMPARE(record.lineBaud, 9600);
        QVERIFY(record.heard);
        expectQuietLine(6);
    }

    // A default node read over the line as the station reads it: the raw
    // codes answered are the node's ground truth, the scaling is sane, and
    // exactly one channel is above its upper setpoint.
    void defaultNodeOverTheLine_data()
    {
        QTest::addColumn<int>("address");
        for (const int address : {1, 5, 17, 200})
            QTest::addRow("node %d", address) << address;
    }

    void defaultNodeOverTheLine()
    {
        QFETCH(int, address);
        Node *node = m_sim->addNode(defaultNode(address));
        openStation();

        QByteArray request;
        request.append(static_cast<char>(address));
        request.append(QByteArray::fromHex("030000007D"));
        const QByteArray setup = m_station->ask(append_crc(request), 5 + 250);
        request = QByteArray(1, static_cast<char>(address)) + QByteArray::fromHex("03007D0050");
        const QByteArray rest = m_station->ask(append_crc(request), 5 + 160);
        QVERIFY(crc_ok(setup) && crc_ok(rest));
        const QByteArray data = setup.mid(3, 250) + rest.mid(3, 160);
        const auto regAt = [&](int r) { return wordAt(data, 2 * r); };
        const auto reg32At = [&](int r) { return static_cast<qint32>(quint32(regAt(r + 1)) << 16 | regAt(r)); };

        for (int r = kRawRegister; r <= kModeRegister; ++r)
            QCOMPARE(regAt(r), node->reg(r));
        QCOMPARE(regAt(kModeRegister), quint16(0x8001));

        int inAlarm = 0;
        for (int c = 1; c <= kChannelCount; ++c) {
            const int b = setupRegister(c, 0);
            const double h = (reg32At(b + kGain) / 65536.0 * (regAt(kRawRegister + c - 1) - regAt(b + kZero))
                              + reg32At(b + kRangeMin)) / 1000.0;
            QVERIFY(regAt(b + kPointPos) <= 3);
            QVERIFY(h >= reg32At(b + kRangeMin) / 1000.0 && h <= reg32At(b + kRangeMax) / 1000.0);
            QVERIFY(h > reg32At(b + kNu) / 1000.0);
            if (h > reg32At(b + kVu) / 1000.0)
                ++inAlarm;
            QCOMPARE(h, node->value(c));
        }
        QCOMPARE(inAlarm, 1);

        // The codes move with time, unless frozen.
        const QByteArray rawRead = append_crc(QByteArray(1, static_cast<char>(address)) + QByteArray::fromHex("0300C0000C"));
        const qint64 readAtMs = m_sim->elapsedMs();
        QTRY_VERIFY_WITH_TIMEOUT(m_station->ask(rawRead, 5 + 24).mid(3, 24) != data.mid(2 * kRawRegister, 24), kWaitMs);
        const qint64 movedAfterMs = m_sim->elapsedMs() - readAtMs;
        node->setMoving(false);
        const QByteArray frozen = m_station->ask(rawRead, 5 + 24);
        // As long again on the simulator's clock as the moving codes took to change, and
        // at least half a second: frozen codes stay.
        const qint64 frozenAtMs = m_sim->elapsedMs();
        QVERIFY(QTest::qWaitFor([&] { return m_sim->elapsedMs() >= frozenAtMs + qMax<qint64>(500, movedAfterMs); },
                                kWaitMs + movedAfterMs));
        QCOMPARE(m_station->ask(rawRead, 5 + 24), frozen);
    }

    void writeTakesEffect()
    {
        Node *node = addStillNode(5);
        openStation();
        const ChannelSetup setup{-655360, 120, 2, -40000, 85000, -20000, 60000, 500, 750};

        // Channel 3's block starts at register 32: 16 registers, 32 bytes.
        QByteArray request = QByteArray::fromHex("05100020001020");
        const auto add32 = [&](qint32 v) {
            const auto u = static_cast<quint32>(v);
            request.append(static_cast<char>(u >> 8 & 0xFF)).append(static_cast<char>(u & 0xFF));
            request.append(static_cast<char>(u >> 24)).append(static_cast<char>(u >> 16 & 0xFF));
        };
        const auto add16 = [&](quint16 v) { request.append(static_cast<char>(v >> 8)).append(static_cast<char>(v & 0xFF)); };
        add32(setup.gain);
        add16(setup.zero);
        add16(setup.point_pos);
        for (const qint32 v : {setup.range_min, setup.range_max, setup.nu, setup.vu, setup.gis_nu, setup.gis_vu})
            add32(v);

        QCOMPARE(m_station->ask(append_crc(request), 8), frame("051000200010"));
        QCOMPARE(node->channel(3), setup);
        QCOMPARE(node->reg32(setupRegister(3, kGain)), setup.gain);
        const QByteArray readBack = m_station->ask(frame("050300200010"), 5 + 32);
        QCOMPARE(readBack.mid(3, 32), request.mid(7, 32));
    }

    // What a node answered a raw-code read with is kept as ground truth; an
    // answer the station cannot take (a bad check) is not.
    void servedValues()
    {
        Node *node = addStillNode(5);
        NodeFaults badCheck;
        badCheck.badCrc = 1;
        Node *corrupt = addStillNode(6, 9600, badCheck);
        openStation();
        m_sim->setRecordLimit(2);
        const auto rawRead = [](int address, int firstChannel, int count) {
            QByteArray request;
            request.append(char(address)).append(char(0x03));
            const int first = kRawRegister + firstChannel - 1;
            request.append(char(first >> 8)).append(char(first & 0xFF)).append(char(0)).append(char(count));
            return append_crc(request);
        };

        QCOMPARE(m_station->ask(rawRead(5, 2, 3), 5 + 6).size(), 5 + 6);
        QCOMPARE(m_station->ask(rawRead(6, 1, 1), 5 + 2).size(), 5 + 2);

        // Channels 2..4 of node 5 were served; the limit keeps the last two, node 6 none.
        const QList<ServedValue> &served = m_sim->servedValues();
        QCOMPARE(served.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(served.at(i).address, 5);
            QCOMPARE(served.at(i).channel, 3 + i);
            QCOMPARE(served.at(i).value, node->value(3 + i));
        }
        QCOMPARE(corrupt->framesAnswered(), 1);
    }

    // Random faults: every kind turns up, and a value counts as served only when its
    // frame went out intact (a late answer, or bytes after it, leave it intact).
    void randomFaults()
    {
        NodeFaults faults;
        faults.randomFaults = 1;
        faults.randomLateMs = 1;
        faults.seed = 11;
        Node *node = addStillNode(5, 9600, faults);
        openStation();
        QByteArray body = QByteArray::fromHex("050304");
        body.append(char(node->raw(1) >> 8)).append(char(node->raw(1) & 0xFF));
        body.append(char(node->raw(2) >> 8)).append(char(node->raw(2) & 0xFF));
        const QByteArray intact = append_crc(body);

        QByteArray last;
        connect(m_sim.get(), &LineSimulator::answerSent, this, [&](const QByteArray &a) { last = a; });
        QMap<QString, int> kinds;
        for (int i = 0; i < 120; ++i) {
            last.clear();
            const qsizetype before = m_sim->frames().size();
            m_station->send(frame("050300C00002")); // channels 1 and 2
            QVERIFY(QTest::qWaitFor([&] { return m_sim->frames().size() > before && !node->busy(); }, kWaitMs));
            QString kind;
            if (last.isEmpty())
                kind = QStringLiteral("silence");
            else if (last == intact)
                kind = QStringLiteral("late");
            else if (last == intact + QByteArray::fromHex("5AA5"))
                kind = QStringLiteral("extra bytes");
            else if (!crc_ok(last))
                kind = QStringLiteral("bad crc");
            else if (last.at(0) != 5 && last.mid(1) == intact.mid(1, intact.size() - 3).append(last.right(2)))
                kind = QStringLiteral("foreign address");
            else if (last == append_crc(body.left(3 + 2).replace(2, 1, "\x02")))
                kind = QStringLiteral("short");
            else
                QFAIL(qPrintable(QStringLiteral("unexpected answer ") + QString::fromLatin1(last.toHex())));
            ++kinds[kind];
        }
        QCOMPARE(kinds.keys(), (QStringList{"bad crc", "extra bytes", "foreign address", "late", "short", "silence"}));
        QCOMPARE(m_sim->servedValues().size(), 2 * (kinds["late"] + kinds["extra bytes"]));
    }

    void listenOnly_data()
    {
        QTest::addColumn<bool>("forced");
        QTest::newRow("forced by request") << true;
        QTest::newRow("started so") << false;
    }

    void listenOnly()
    {
        QFETCH(bool, forced);
        NodeFaults faults;
        faults.listenOnly = !forced;
        Node *node = addStillNode(5, 9600, faults);
        addStillNode(6);
        openStation();

        if (forced) {
            QVERIFY(!node->listenOnly());
            QVERIFY(sendUnanswered(frame("050800040000")));
            expectQuietLine(6);
        }
        QVERIFY(node->listenOnly());
        // Deaf to everything but a restart of communications.
        QVERIFY(sendUnanswered(frame("0511")));
        QVERIFY(!m_sim->frames().last().heard);
        QVERIFY(sendUnanswered(frame("050800000000")));
        expectQuietLine(6);
        QVERIFY(node->listenOnly());

        // The restart itself gets no answer, but the node is back.
        QVERIFY(sendUnanswered(frame("050800010000")));
        QVERIFY(m_sim->frames().last().heard);
        QVERIFY(!node->listenOnly());
        expectQuietLine(6);
        QCOMPARE(m_station->ask(frame("0511"), identifyAnswer(5).size()), identifyAnswer(5));
    }

    void speedBroadcast_data()
    {
        QTest::addColumn<QByteArray>("broadcast");
        QTest::addColumn<int>("baud");
        QTest::newRow("1200") << frame("001300") << 1200;
        QTest::newRow("2400") << frame("001301") << 2400;
        QTest::newRow("4800") << frame("001302") << 4800;
        QTest::newRow("9600") << frame("001303") << 9600;
        QTest::newRow("19200") << frame("001304") << 19200;
        QTest::newRow("without a code") << frame("0013") << 9600;
        QTest::newRow("unknown code") << frame("001307") << 9600;
    }

    void speedBroadcast()
    {
        QFETCH(QByteArray, broadcast);
        QFETCH(int, baud);
        Node *five = addStillNode(5, 9600);
        Node *six = addStillNode(6, 19200);
        openStation(9600);

        // A node at another speed hears nothing of the line.
        QVERIFY(sendUnanswered(identifyRequest(6)));
        QCOMPARE(m_sim->frames().last().lineBaud, 9600);
        QVERIFY(!m_sim->frames().last().heard);
        expectQuietLine(5);

        QVERIFY(sendUnanswered(broadcast));
        QCOMPARE(five->baud(), baud);
        QCOMPARE(six->baud(), 19200);

        // The station follows: node 5 now answers at the new speed.
        QVERIFY(m_station->setBaud(baud));
        QCOMPARE(m_station->ask(identifyRequest(5), identifyAnswer(5).size()), identifyAnswer(5));
        QCOMPARE(m_sim->frames().last().lineBaud, baud);
    }

    void goesSilent_data()
    {
        QTest::addColumn<NodeFaults>("faults");
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<int>("answered");

        NodeFaults silent;
        silent.silent = true;
        QTest::newRow("always") << silent << 0 << 0;
        NodeFaults afterFrames;
        afterFrames.silentAfterFrames = 2;
        QTest::newRow("after two frames") << afterFrames << 0 << 2;
        NodeFaults fromTime;
        fromTime.silentFromS = 0.3;
        QTest::newRow("from 0.3 s on") << fromTime << 300 << 0;
    }

    // The node stops in the middle of a read of the whole map, three blocks long.
    void goesSilent()
    {
        QFETCH(NodeFaults, faults);
        QFETCH(int, waitMs);
        QFETCH(int, answered);
        addStillNode(5, 9600, faults);
        addStillNode(6);
        openStation();
        QVERIFY(QTest::qWaitFor([&] { return m_sim->elapsedMs() >= waitMs; }, kWaitMs));

        const QList<QByteArray> blocks{frame("05030000007D"), frame("0503007D0040"), frame("050300BD0010")};
        const QList<int> sizes{5 + 250, 5 + 128, 5 + 32};
        for (int i = 0; i < blocks.size(); ++i) {
            if (i < answered) {
                const QByteArray got = m_station->ask(blocks[i], sizes[i]);
                QCOMPARE(got.size(), sizes[i]);
                QVERIFY(crc_ok(got));
            } else {
                QVERIFY(sendUnanswered(blocks[i]));
                expectQuietLine(6);
            }
        }
        QCOMPARE(m_sim->node(5)->framesAnswered(), answered);
    }

    // A Linux pty keeps the stop bits of the terminal settings but forces 8
    // data bits without parity, so only the stop bits vary the character here.
    void wireTime_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<QSerialPort::StopBits>("stop");
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("wire");
        QTest::addColumn<double>("lateMs");

        QTest::newRow("1200 8N1") << 1200 << QSerialPort::OneStop << 10 << true << 0.0;
        QTest::newRow("2400 8N2") << 2400 << QSerialPort::TwoStop << 11 << true << 0.0;
        QTest::newRow("9600 8N1 late") << 9600 << QSerialPort::OneStop << 10 << true << 150.0;
        QTest::newRow("no wire time, late") << 9600 << QSerialPort::OneStop << 10 << false << 150.0;
    }

    void wireTime()
    {
        QFETCH(int, baud);
        QFETCH(QSerialPort::StopBits, stop);
        QFETCH(int, bits);
        QFETCH(bool, wire);
        QFETCH(double, lateMs);
        NodeFaults faults;
        faults.lateMs = lateMs;
        addStillNode(5, baud, faults);
        m_sim->setWireTime(wire);
        m_sim->setLatencyMs(2);
        openStation(baud, stop);
        QCOMPARE(m_sim->lineBaud(), baud);
        QCOMPARE(m_sim->bitsPerChar(), bits);

        const QByteArray answer = identifyAnswer(5);
        const double charMs = 1000.0 * bits / baud;
        // Request on the wire, 3.5 characters of silence, latency, answer on the wire.
        const double atLeastMs = wire ? (4 + 3.5 + answer.size()) * charMs + 2 + lateMs : 1 + 2 + lateMs;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_station->ask(identifyRequest(5), answer.size()), answer);
        const double tookMs = clock.nsecsElapsed() / 1e6;
        QVERIFY2(tookMs >= atLeastMs, qPrintable(QStringLiteral("%1 ms < %2 ms").arg(tookMs).arg(atLeastMs)));
        QCOMPARE(m_sim->frames().last().lineBaud, baud);
    }

    // The adapter's latency timer: what the nodes send reaches the station only when the
    // timer, started by the first bytes of a batch, expires; everything sent meanwhile
    // comes in the same batch.
    void deliveryDelay_data()
    {
        QTest::addColumn<double>("delayMs");
        QTest::newRow("at once") << 0.0;
        QTest::newRow("16 ms, as an FTDI adapter") << 16.0;
        QTest::newRow("40 ms") << 40.0;
    }

    void deliveryDelay()
    {
        QFETCH(double, delayMs);
        addStillNode(5);
        addStillNode(6);
        m_sim->setDeliveryDelayMs(delayMs);
        openStation();
        QList<std::pair<QByteArray, qint64>> sent;
        QList<std::pair<QByteArray, qint64>> delivered;
        connect(m_sim.get(), &LineSimulator::answerSent, this,
                [&](const QByteArray &answer) { sent.append({answer, m_sim->elapsedNs()}); });
        connect(m_sim.get(), &LineSimulator::delivered, this,
                [&](const QByteArray &bytes) { delivered.append({bytes, m_sim->elapsedNs()}); });

        QCOMPARE(m_station->ask(identifyRequest(5), identifyAnswer(5).size()), identifyAnswer(5));
        QCOMPARE(delivered.size(), 1);
        QVERIFY(delivered[0].second - sent[0].second >= qint64(delayMs * 1e6));

        if (delayMs > 0) {
            // A second answer sent while the first is held travels with it.
            sent.clear();
            connect(m_sim.get(), &LineSimulator::answerSent, this, [&] {
                if (sent.size() == 1)
                    m_station->send(identifyRequest(6));
            });
            QSignalSpy batches(m_sim.get(), &LineSimulator::delivered);
            m_station->send(identifyRequest(5));
            QVERIFY(batches.wait(kWaitMs));
            const QByteArray both = identifyAnswer(5) + identifyAnswer(6);
            // (A loaded machine may send the second answer too late to join the first.)
            if (sent.size() == 2 && sent[1].second < sent[0].second + qint64(delayMs * 1e6))
                QCOMPARE(batches.first().first().toByteArray(), both);
            QCOMPARE(m_station->receive(both.size()), both);
        }
    }

    // A line that takes nothing holds the station's frames back; when it takes bytes
    // again the frame comes through and is answered.
    void notReceiving()
    {
        addStillNode(5);
        openStation();
        m_sim->setReceiving(false);
        m_station->send(identifyRequest(5));
        // Long enough on the simulator's clock for the frame to have been taken and answered.
        const qint64 fromMs = m_sim->elapsedMs();
        QVERIFY(QTest::qWaitFor([&] { return m_sim->elapsedMs() >= fromMs + 50; }, kWaitMs));
        QVERIFY(m_sim->frames().isEmpty());
        m_sim->setReceiving(true);
        QCOMPARE(m_station->receive(identifyAnswer(5).size()), identifyAnswer(5));
        QCOMPARE(m_sim->frames().size(), 1);
    }

    void modeRegister_data()
    {
        QTest::addColumn<NodeFaults>("faults");
        QTest::addColumn<quint16>("first");
        QTest::addColumn<quint16>("second");

        QTest::newRow("normal") << NodeFaults{} << quint16(0x8001) << quint16(0x8001);
        NodeFaults prog;
        prog.progMode = true;
        QTest::newRow("programming mode") << prog << quint16(0xC001) << quint16(0xC001);
        NodeFaults changed;
        changed.settingsChangedEveryS = 0.4;
        QTest::newRow("settings changed, cleared by a read") << changed << quint16(0xA001) << quint16(0x8001);
    }

    void modeRegister()
    {
        QFETCH(NodeFaults, faults);
        QFETCH(quint16, first);
        QFETCH(quint16, second);
        // The period counts from the node's creation, somewhere between these two readings.
        const qint64 beforeMs = m_sim->elapsedMs();
        addStillNode(5, 9600, faults);
        const qint64 afterMs = m_sim->elapsedMs();
        openStation();
        const qint64 periodMs = qRound64(faults.settingsChangedEveryS * 1000);
        QVERIFY(QTest::qWaitFor([&] { return m_sim->elapsedMs() > afterMs + periodMs; }, kWaitMs));

        const QByteArray readMode = frame("050300CC0001");
        QCOMPARE(wordAt(m_station->ask(readMode, 7), 3), first);
        const quint16 again = wordAt(m_station->ask(readMode, 7), 3);
        // A second period may have passed on a slow machine and raised the bit anew.
        if (periodMs == 0 || m_sim->elapsedMs() < beforeMs + 2 * periodMs)
            QCOMPARE(again, second);
    }

    void scenarioApplies()
    {
        const QByteArray json = R"({ "latency_ms": 7.5, "wire_time": true, "delivery_delay_ms": 16,
          "nodes": [ { "address": 5, "baud": 4800, "identity": "3A", "run_status": 7, "details": "AB",
             "moving": false, "mode": 33027,
             "channels": [ {"channel": 2, "gain": -65536, "zero": 100, "point_pos": 3, "range_min": -5000,
                            "range_max": 100000, "nu": 1000, "vu": 2000, "gis_nu": 10, "gis_vu": 20, "raw": 1234 } ],
             "faults": { "silent_from_s": 180, "silent_after_frames": 51, "bad_crc": 0.1, "seed": 99,
                         "late_ms": 150, "foreign_address": 7, "extra_byte": true, "leading": "ff00", "exception": 4,
                         "settings_changed_every_s": 30, "prog_mode": true, "listen_only": true } },
             { "address": 9 } ] })";
        QString error;
        QVERIFY2(m_sim->applyScenario(json, &error), qPrintable(error));
        QCOMPARE(m_sim->addresses(), (QList<int>{5, 9}));
        QCOMPARE(m_sim->latencyMs(), 7.5);
        QVERIFY(m_sim->wireTime());
        QCOMPARE(m_sim->deliveryDelayMs(), 16.0);

        const Node *node = m_sim->node(5);
        QCOMPARE(node->baud(), 4800);
        QCOMPARE(node->identity(), quint8(0x3A));
        QCOMPARE(node->runStatus(), quint8(7));
        QCOMPARE(node->details(), QByteArray("AB"));
        QVERIFY(!node->moving());
        QCOMPARE(node->mode(), quint16(33027 | kProgModeBit));
        QCOMPARE(node->channel(2), (ChannelSetup{-65536, 100, 3, -5000, 100000, 1000, 2000, 10, 20}));
        QCOMPARE(node->raw(2), quint16(1234));
        // Channels not listed keep the defaults of the address.
        QCOMPARE(node->channel(1), defaultNode(5).channels[0]);
        QCOMPARE(m_sim->node(9)->channel(2), defaultNode(9).channels[1]);

        const NodeFaults &f = node->faults();
        QVERIFY(!f.silent);
        QCOMPARE(f.silentFromS, std::optional<double>(180));
        QCOMPARE(f.silentAfterFrames, std::optional<int>(51));
        QCOMPARE(f.badCrc, 0.1);
        QCOMPARE(f.seed, std::optional<quint32>(99));
        QCOMPARE(f.lateMs, 150.0);
        QCOMPARE(f.foreignAddress, std::optional<int>(7));
        QVERIFY(f.extraByte);
        QCOMPARE(f.leading, QByteArray::fromHex("FF00"));
        QCOMPARE(f.exception, 4);
        QCOMPARE(f.settingsChangedEveryS, 30.0);
        QVERIFY(node->listenOnly());
    }

    void scenarioErrors_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("not JSON") << QByteArray(R"({"nodes": [)") << QString("offset");
        QTest::newRow("misspelt fault")
            << QByteArray(R"({"nodes": [{"address": 5, "faults": {"silnet": true}}]})") << QString("silnet");
        QTest::newRow("no address") << QByteArray(R"({"nodes": [{"baud": 9600}]})") << QString("address");
        QTest::newRow("address 0") << QByteArray(R"({"nodes": [{"address": 0}]})") << QString("address");
        QTest::newRow("long details")
            << QByteArray(R"({"nodes": [{"address": 5, "details": "QLX12345"}]})") << QString("details");
        QTest::newRow("identity not hex") << QByteArray(R"({"nodes": [{"address": 5, "identity": "2G"}]})")
                                          << QString("identity");
        QTest::newRow("channel 13")
            << QByteArray(R"({"nodes": [{"address": 5, "channels": [{"channel": 13}]}]})") << QString("channel");
        QTest::newRow("probability above 1")
            << QByteArray(R"({"nodes": [{"address": 5, "faults": {"bad_crc": 1.5}}]})") << QString("bad_crc");
        QTest::newRow("leading not hex")
            << QByteArray(R"({"nodes": [{"address": 5, "faults": {"leading": "F0G1"}}]})") << QString("leading");
        QTest::newRow("leading odd digits")
            << QByteArray(R"({"nodes": [{"address": 5, "faults": {"leading": "F01"}}]})") << QString("leading");
        QTest::newRow("node twice") << QByteArray(R"({"nodes": [{"address": 5}, {"address": 5}]})") << QString("twice");
    }

    void scenarioErrors()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, mentions);
        m_sim->addNode(defaultNode(3));
        m_sim->setLatencyMs(2);
        const QByteArray withLatency = QByteArray(R"({"latency_ms": 40, )") + json.mid(1);

        QString error;
        QVERIFY(!m_sim->applyScenario(withLatency, &error));
        QVERIFY2(error.contains(mentions), qPrintable(error));
        QCOMPARE(m_sim->addresses(), QList<int>{3});
        QCOMPARE(m_sim->latencyMs(), 2.0);
    }

    // The command: first line is the path, the link works and is replaced
    // when stale, SIGTERM ends it cleanly and takes the link away.
    void commandLine()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString link = dir.filePath(QStringLiteral("line"));
        QVERIFY(symlink("/nonexistent/pts/99", QFile::encodeName(link).constData()) == 0);

        QProcess sim;
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(QLX_SIM_EXE), {QStringLiteral("--nodes"), QStringLiteral("7,9"), QStringLiteral("--link"),
                                               link, QStringLiteral("--no-wire-time"),
                                               QStringLiteral("--delivery-delay"), QStringLiteral("16")});
        QVERIFY(QTest::qWaitFor([&] { return sim.canReadLine() || sim.state() == QProcess::NotRunning; }, kWaitMs));
        const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY(path.startsWith(QStringLiteral("/dev/pts/")));
        QCOMPARE(QFileInfo(link).symLinkTarget(), path);

        Station station;
        QVERIFY2(station.open(link, 9600), qPrintable(station.errorString()));
        QCOMPARE(station.ask(identifyRequest(9), identifyAnswer(9).size()), identifyAnswer(9));

        QSignalSpy finished(&sim, &QProcess::finished);
        sim.terminate();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestLineSimulator)
#include "test_line_simulator.moc"
