// The built quorlex-ctl end to end against a simulated line on a real pty.
#include "tests/ctl/ctl_fixture.h"

#include "base/unit_crc.h"
#include "line/unit_protocol.h"
#include "tools/sim/line_simulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

using namespace qlx;
using namespace qlx::ctltest;

namespace {

constexpr int kNode = 17;       // a healthy node
constexpr int kRefusing = 18;   // answers every request with an exception
constexpr int kFirstNode = 1;   // answers the identify probe `raw 0111 --crc`
constexpr int kSilent = 99;     // no node there
constexpr quint16 kDiagnosticWord = 0x1234;

// A 32-bit register pair of the node: the low 16 bits are in the first register.
qint32 pair(const sim::Node *node, int r)
{
    return static_cast<qint32>(static_cast<quint32>(node->reg(r)) | (static_cast<quint32>(node->reg(r + 1)) << 16));
}

struct SetupField {
    const char *name;
    int offset; // inside the channel's 16-register block
    bool wide;  // two registers
};

const SetupField kSetupFields[] = {{"gain", 0, true},      {"zero", 2, false},    {"point_pos", 3, false},
                                   {"range_min", 4, true}, {"range_max", 6, true}, {"nu", 8, true},
                                   {"vu", 10, true},       {"gis_nu", 12, true},   {"gis_vu", 14, true}};

QJsonObject parseObject(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning() << "not a JSON object:" << line << error.errorString();
    return doc.object();
}

} // namespace

class TestCtlLine : public QObject {
    Q_OBJECT

    sim::LineSimulator m_sim;

    QStringList withPort(QStringList args) const
    {
        args.prepend(m_sim.stationPath());
        args.prepend(QStringLiteral("--port"));
        return args;
    }

    // Frames the simulator received, as hex.
    QStringList framesHex() const
    {
        QStringList hex;
        for (const sim::FrameRecord &f : m_sim.frames())
            hex << bytes_to_hex(f.bytes);
        return hex;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_sim.openPty(&error), qPrintable(error));
    }

    // Every test starts from the same still nodes and an empty frame record.
    void init()
    {
        for (const int address : m_sim.addresses())
            m_sim.removeNode(address);
        for (const int address : {kFirstNode, kNode, kRefusing}) {
            sim::NodeConfig config = sim::defaultNode(address);
            config.moving = false;
            config.diagnostic = kDiagnosticWord;
            if (address == kRefusing)
                config.faults.exception = 2;
            m_sim.addNode(config);
        }
        sim::Node *node = m_sim.node(kNode);
        // Display quantity 2, channel 7; a negative 32-bit setpoint and a large gain.
        node->setMode(0x8207);
        node->setReg32(sim::setupRegister(3, sim::kVu), -70000);
        node->setReg32(sim::setupRegister(5, sim::kGain), 0x00123456);
        m_sim.clearFrames();
    }

    void readJsonMatchesTheRegisters()
    {
        const ProcessResult r = runCtl(withPort({"--fast", "--wait", "1000", "--json", "read", "17"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.outLines().size(), 1);
        const QJsonObject o = parseObject(r.out);
        QCOMPARE(o.value("address").toInt(), kNode);
        QCOMPARE(o.value("result").toString(), QString());

        const sim::Node *node = m_sim.node(kNode);
        const quint16 mode = node->mode();
        const QJsonObject state = o.value("state").toObject();
        QCOMPARE(state.value("mode_bit7").toInt(), (mode >> 15) & 1);
        QCOMPARE(state.value("prog_mode").toInt(), (mode >> 14) & 1);
        QCOMPARE(state.value("settings_changed").toInt(), (mode >> 13) & 1);
        QCOMPARE(state.value("display_quantity").toInt(), 2);
        QCOMPARE(state.value("display_channel").toInt(), 7);

        const QJsonArray channels = o.value("channels").toArray();
        QCOMPARE(channels.size(), 12);
        for (int c = 1; c <= 12; ++c) {
            const QJsonObject ch = channels.at(c - 1).toObject();
            QCOMPARE(ch.value("channel").toInt(), c);
            const QJsonObject setup = ch.value("setup").toObject();
            const int base = 16 * (c - 1);
            for (const SetupField &f : kSetupFields) {
                const qint64 expected = f.wide ? pair(node, base + f.offset) : node->reg(base + f.offset);
                if (setup.value(f.name).toInteger() != expected)
                    QFAIL(qPrintable(QStringLiteral("channel %1 %2: %3, registers hold %4")
                                         .arg(c)
                                         .arg(f.name)
                                         .arg(setup.value(f.name).toInteger())
                                         .arg(expected)));
            }
            QCOMPARE(setup.value("raw").toInt(), int(node->reg(192 + c - 1)));
            QCOMPARE(setup.value("conv_error").toInt(), 0);

            // The reading is the node's value rounded to the channel's decimals.
            const int pointPos = node->reg(base + 3);
            QCOMPARE(ch.value("point").toInt(), pointPos + 1);
            const int decimals = 3 - pointPos;
            const double engineering = ch.value("engineering").toDouble();
            QCOMPARE(engineering, ch.value("value").toInt() / std::pow(10.0, decimals));
            QVERIFY2(std::abs(engineering - node->value(c)) <= 0.5 * std::pow(10.0, -decimals) + 1e-9,
                     qPrintable(QStringLiteral("channel %1: %2 read, node holds %3")
                                    .arg(c)
                                    .arg(engineering)
                                    .arg(node->value(c))));

            // Clear-cut alarms only: far above the upper or below the lower setpoint.
            const double thousandths = node->value(c) * 1000;
            const qint32 nu = pair(node, base + 8), vu = pair(node, base + 10);
            const qint32 gisNu = pair(node, base + 12), gisVu = pair(node, base + 14);
            if (thousandths > vu + gisVu + gisNu + 1000)
                QCOMPARE(ch.value("alarm_vu").toInt(), 1);
            if (thousandths < vu - gisVu - gisNu - 1000)
                QCOMPARE(ch.value("alarm_vu").toInt(), 0);
            if (thousandths > nu + gisVu + gisNu + 1000)
                QCOMPARE(ch.value("alarm_nu").toInt(), 0);
        }
    }

    void readTableShowsTheChannels()
    {
        const ProcessResult r = runCtl(withPort({"--fast", "--wait", "1000", "read", "17"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        const QStringList lines = r.outLines();
        QVERIFY(lines.size() >= 14);
        QVERIFY(lines.first().contains("Ok"));
        // One row per channel, starting with its number and its value with the channel's decimals.
        const sim::Node *node = m_sim.node(kNode);
        for (int c = 1; c <= 12; ++c) {
            const QStringList cells = lines.at(lines.size() - 13 + c).split(' ', Qt::SkipEmptyParts);
            QCOMPARE(cells.value(0), QString::number(c));
            const int decimals = 3 - node->reg(16 * (c - 1) + 3);
            QCOMPARE(cells.value(1).section('.', 1).size(), decimals);
        }
    }

    void writeChangesTheRegisters_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("quantity");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("nu") << 3 << "nu" << 8 << "12.5" << 12500;
        QTest::newRow("vu, comma, negative") << 12 << "vu" << 10 << "-7,25" << -7250;
        QTest::newRow("gis_nu, tie to even") << 1 << "gis_nu" << 12 << "2.0005" << 2000;
        QTest::newRow("gis_vu, tie to even") << 6 << "gis_vu" << 14 << "2.0015" << 2002;
        QTest::newRow("vu needing the high word") << 7 << "vu" << 10 << "123456.789" << 123456789;
    }

    void writeChangesTheRegisters()
    {
        QFETCH(int, channel);
        QFETCH(QString, quantity);
        QFETCH(int, offset);
        QFETCH(QString, value);
        QFETCH(int, expected);
        const sim::Node *node = m_sim.node(kNode);
        const int base = 16 * (channel - 1);
        QList<quint16> before;
        for (int r = 0; r < 192; ++r)
            before << node->reg(r);

        const ProcessResult r = runCtl(withPort({"--fast", "--wait", "1000", "write", "17",
                                                 QString::number(channel), quantity, value}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.outLines().value(0).endsWith("Ok"));
        QCOMPARE(pair(node, base + offset), expected);
        for (int reg = 0; reg < 192; ++reg)
            if (reg != base + offset && reg != base + offset + 1)
                QCOMPARE(node->reg(reg), before.at(reg));
    }

    // Bad input leaves with 2 and one line on stderr, and sends nothing: the identify
    // that follows is the only frame on the line.
    void badInputSendsNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("bad hex") << QStringList{"raw", "01G1", "--crc"};
        QTest::newRow("odd hex") << QStringList{"raw", "011"};
        QTest::newRow("address 0") << QStringList{"read", "0"};
        QTest::newRow("address 256") << QStringList{"identify", "256"};
        QTest::newRow("unknown parameter") << QStringList{"read", "17", "--verbose"};
        QTest::newRow("channel 13") << QStringList{"write", "17", "13", "nu", "1"};
        QTest::newRow("bad number") << QStringList{"write", "17", "1", "nu", "1.2.3"};
        QTest::newRow("unknown command") << QStringList{"reboot", "17"};
        QTest::newRow("unknown line speed") << QStringList{"baud", "14400"};
    }

    void badInputSendsNothing()
    {
        QFETCH(QStringList, args);
        const ProcessResult r = runCtl(withPort(args));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY(r.out.isEmpty());

        const ProcessResult probe = runCtl(withPort({"--fast", "--wait", "1000", "identify", "17"}));
        QCOMPARE(probe.exitCode, 0);
        QCOMPARE(framesHex(), QStringList{bytes_to_hex(Build_identify(kNode))});
    }

    void deviceFailureExitsOne_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("read, silent address") << QStringList{"--wait", "50", "read", "99"} << "Time Out";
        QTest::newRow("identify, silent address") << QStringList{"--wait", "50", "identify", "99"} << "Time Out";
        QTest::newRow("raw, silent address") << QStringList{"--wait", "50", "raw", "6311", "--crc"} << "Time Out";
        QTest::newRow("read refused") << QStringList{"--fast", "--wait", "1000", "read", "18"} << "Bad command";
        QTest::newRow("write refused") << QStringList{"--fast", "--wait", "1000", "write", "18", "1", "nu", "5"}
                                       << "write failed";
        QTest::newRow("diag echo, silent address") << QStringList{"--wait", "50", "diag", "99", "echo"}
                                                   << "Time Out";
    }

    void deviceFailureExitsOne()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const ProcessResult r = runCtl(withPort(args));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2((r.out + r.err).contains(message.toUtf8()), (r.out + r.err).constData());
        QVERIFY(!m_sim.frames().isEmpty()); // it did try
    }

    void portThatCannotBeOpenedExitsOne()
    {
        const ProcessResult r = runCtl({"--port", "/nonexistent/tty", "read", "17"});
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.errLines().size(), 1);
    }

    void rawIdentifyProbe_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("full answer wait") << QStringList{"--wait", "1000"};
        QTest::newRow("fast") << QStringList{"--fast", "--wait", "1000"};
    }

    void rawIdentifyProbe()
    {
        QFETCH(QStringList, options);
        const ProcessResult r = runCtl(withPort(options + QStringList{"raw", "0111", "--crc"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        const sim::Node *node = m_sim.node(kFirstNode);
        QByteArray answer;
        answer.append(char(kFirstNode)).append(char(0x11)).append(char(2 + node->details().size()));
        answer.append(char(node->identity())).append(char(node->runStatus())).append(node->details());
        QCOMPARE(r.outLines(), QStringList{bytes_to_hex(append_crc(answer))});
        QCOMPARE(framesHex(), QStringList{"0111C02C"});
    }

    void scanListsEveryAnsweringAddress()
    {
        // 16 and 19 stay silent; 18 answers with an exception, which still counts.
        const ProcessResult r = runCtl(withPort({"--fast", "--wait", "500", "--json", "scan", "16", "19"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        const QJsonObject o = parseObject(r.out);
        const QJsonArray nodes = o.value("nodes").toArray();
        QCOMPARE(nodes.size(), 2);
        const QJsonObject n17 = nodes.at(0).toObject();
        QCOMPARE(n17.value("address").toInt(), kNode);
        QCOMPARE(n17.value("result").toString(), QString());
        const sim::Node *node = m_sim.node(kNode);
        QCOMPARE(n17.value("device_type").toInt(), node->identity() >> 4);
        QCOMPARE(n17.value("device_number").toInt(), node->identity() & 0xF);
        QCOMPARE(n17.value("run_status").toInt(), int(node->runStatus()));
        QCOMPARE(n17.value("details").toString().toLatin1(), node->details());
        QCOMPARE(nodes.at(1).toObject().value("address").toInt(), kRefusing);
        QVERIFY(!nodes.at(1).toObject().value("result").toString().isEmpty());
        QCOMPARE(m_sim.frames().size(), 4);
    }

    void watchReadsFullOnceThenShort()
    {
        const ProcessResult r = runCtl(
            withPort({"--fast", "--wait", "1000", "--json", "watch", "17", "--count", "3", "--interval", "0"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        const QStringList lines = r.outLines();
        QCOMPARE(lines.size(), 3);
        const QStringList kinds = {"full", "short", "short"};
        for (int pass = 1; pass <= 3; ++pass) {
            const QJsonObject o = parseObject(lines.at(pass - 1).toUtf8());
            QCOMPARE(o.value("pass").toInt(), pass);
            QCOMPARE(o.value("read").toString(), kinds.at(pass - 1));
            QCOMPARE(o.value("result").toString(), QString());
            const QJsonObject ch = o.value("channels").toArray().at(0).toObject();
            QCOMPARE(ch.value("setup").toObject().value("raw").toInt(), int(m_sim.node(kNode)->raw(1)));
        }
        // Setup blocks were read in the first pass only; raw codes in every pass.
        int setupReads = 0, rawReads = 0;
        for (const sim::FrameRecord &f : m_sim.frames()) {
            if (f.bytes.size() < 4 || quint8(f.bytes[1]) != 0x03)
                continue;
            const int first = (quint8(f.bytes[2]) << 8) | quint8(f.bytes[3]);
            setupReads += first < 192 ? 1 : 0;
            rawReads += first >= 192 && first < 204 ? 1 : 0;
        }
        QCOMPARE(setupReads, 12 * 9);
        QCOMPARE(rawReads, 3 * 12);
    }

    void diagnostics_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("echo") << "echo";
        QTest::newRow("restart") << "restart";
        QTest::newRow("register") << "register";
        QTest::newRow("listen") << "listen";
    }

    void diagnostics()
    {
        QFETCH(QString, kind);
        const ProcessResult r = runCtl(withPort({"--fast", "--wait", "1000", "--json", "diag", "17", kind}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        const QJsonObject o = parseObject(r.out);
        QCOMPARE(o.value("result").toString(), QString());
        const QHash<QString, QString> sent = {{"echo", "11080000182B"},
                                             {"restart", "110800010000"},
                                             {"register", "110800020000"},
                                             {"listen", "110800040000"}};
        QCOMPARE(framesHex().value(0).left(12), sent.value(kind));
        if (kind == "echo")
            QCOMPARE(o.value("answer").toString(), framesHex().value(0));
        if (kind == "register")
            QCOMPARE(o.value("register").toInt(), int(kDiagnosticWord));
        QCOMPARE(m_sim.node(kNode)->listenOnly(), kind == "listen");
    }

    void baudSwitchesEveryNode()
    {
        const ProcessResult r = runCtl(withPort({"baud", "19200"}));
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(m_sim.frames().size(), 1);
        QCOMPARE(m_sim.frames().first().bytes, Build_set_baud("19200"));
        QCOMPARE(m_sim.frames().first().lineBaud, 9600);
        for (const int address : m_sim.addresses())
            QCOMPARE(m_sim.node(address)->baud(), 19200);
    }
};

QTEST_GUILESS_MAIN(TestCtlLine)
#include "test_ctl_line.moc"
