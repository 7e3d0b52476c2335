// A standard Modbus RTU master (mbpoll) and quorlex-ctl read the same simulated
// node: the registers mbpoll gets are the ones quorlex-ctl decodes.
#include "tests/ctl/ctl_fixture.h"

#include "tools/sim/line_simulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace qlx;
using namespace qlx::ctltest;

namespace {

constexpr int kNode = 17;

// The 16-bit words quorlex-ctl's JSON stands for, by register number; 32-bit
// values are split with the low half in the first register.
QMap<int, quint16> registersFromJson(const QJsonObject &o)
{
    QMap<int, quint16> regs;
    auto put32 = [&regs](int r, qint64 v) {
        const auto u = static_cast<quint32>(static_cast<qint32>(v));
        regs[r] = static_cast<quint16>(u & 0xFFFF);
        regs[r + 1] = static_cast<quint16>(u >> 16);
    };
    const QJsonArray channels = o.value("channels").toArray();
    for (int c = 1; c <= channels.size(); ++c) {
        const QJsonObject s = channels.at(c - 1).toObject().value("setup").toObject();
        const int b = 16 * (c - 1);
        put32(b + 0, s.value("gain").toInteger());
        regs[b + 2] = static_cast<quint16>(s.value("zero").toInt());
        regs[b + 3] = static_cast<quint16>(s.value("point_pos").toInt());
        put32(b + 4, s.value("range_min").toInteger());
        put32(b + 6, s.value("range_max").toInteger());
        put32(b + 8, s.value("nu").toInteger());
        put32(b + 10, s.value("vu").toInteger());
        put32(b + 12, s.value("gis_nu").toInteger());
        put32(b + 14, s.value("gis_vu").toInteger());
        regs[192 + c - 1] = static_cast<quint16>(s.value("raw").toInt());
    }
    const QJsonObject st = o.value("state").toObject();
    regs[204] = static_cast<quint16>((st.value("mode_bit7").toInt() << 15) | (st.value("prog_mode").toInt() << 14) |
                                     (st.value("settings_changed").toInt() << 13) |
                                     (st.value("display_quantity").toInt() << 8) |
                                     st.value("display_channel").toInt());
    return regs;
}

// "[12]: 	0x1A2B" lines of mbpoll's hex display.
QMap<int, quint16> registersFromMbpoll(const QByteArray &out)
{
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+0x([0-9A-Fa-f]{4})\\s*$"),
                                         QRegularExpression::MultilineOption);
    QMap<int, quint16> regs;
    auto it = line.globalMatch(QString::fromUtf8(out));
    while (it.hasNext()) {
        const auto m = it.next();
        regs[m.captured(1).toInt()] = static_cast<quint16>(m.captured(2).toUInt(nullptr, 16));
    }
    return regs;
}

} // namespace

class TestCtlMbpoll : public QObject {
    Q_OBJECT

    sim::LineSimulator m_sim;
    QString m_mbpoll;

private slots:
    void initTestCase()
    {
        m_mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
        if (m_mbpoll.isEmpty())
            QSKIP("mbpoll is not installed");
        QString error;
        QVERIFY2(m_sim.openPty(&error), qPrintable(error));
        sim::NodeConfig config = sim::defaultNode(kNode);
        config.moving = false;
        sim::Node *node = m_sim.addNode(config);
        node->setMode(0x8305);
        node->setReg32(sim::setupRegister(2, sim::kNu), -123456);
    }

    void mbpollReadsWhatCtlDecodes()
    {
        const ProcessResult ctl = runCtl(
            {"--port", m_sim.stationPath(), "--fast", "--wait", "1000", "--json", "read", QString::number(kNode)});
        QVERIFY(ctl.finished);
        QCOMPARE(ctl.exitCode, 0);
        const QJsonObject o = QJsonDocument::fromJson(ctl.out).object();
        QCOMPARE(o.value("result").toString(), QString());
        const QMap<int, quint16> decoded = registersFromJson(o);
        QCOMPARE(decoded.size(), 205);

        // At most 125 registers a request: setup blocks in two reads, then raw codes and mode.
        QMap<int, quint16> polled;
        for (const auto &[first, count] : {std::pair{0, 96}, std::pair{96, 96}, std::pair{192, 13}}) {
            const ProcessResult r = runProgram(
                m_mbpoll, {"-m", "rtu", "-a", QString::number(kNode), "-b", "9600", "-d", "8", "-s", "2", "-P", "none",
                           "-0", "-r", QString::number(first), "-c", QString::number(count), "-t", "4:hex", "-1",
                           "-o", "2", m_sim.stationPath()});
            QVERIFY(r.finished);
            QVERIFY2(r.exitCode == 0, r.out.constData());
            const QMap<int, quint16> part = registersFromMbpoll(r.out);
            QCOMPARE(part.size(), count);
            polled.insert(part);
        }
        for (auto it = decoded.cbegin(); it != decoded.cend(); ++it)
            if (polled.value(it.key()) != it.value())
                QFAIL(qPrintable(QStringLiteral("register %1: mbpoll 0x%2, quorlex-ctl 0x%3")
                                     .arg(it.key())
                                     .arg(polled.value(it.key()), 4, 16, QLatin1Char('0'))
                                     .arg(it.value(), 4, 16, QLatin1Char('0'))));
    }
};

QTEST_GUILESS_MAIN(TestCtlMbpoll)
#include "test_ctl_mbpoll.moc"
