// One simulated node: its register map, the requests it serves and the
// faults it can be told to show.
#include "tools/sim/line_simulator.h"

#include "base/unit_crc.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qlx::sim {

namespace {

constexpr quint8 kIdentify = 0x11;
constexpr quint8 kReadHolding = 0x03;
constexpr quint8 kWriteMultiple = 0x10;
constexpr quint8 kDiagnostics = 0x08;
constexpr quint8 kLineSpeed = 0x13;

constexpr quint8 kIllegalFunction = 0x01;
constexpr quint8 kIllegalAddress = 0x02;
constexpr quint8 kIllegalValue = 0x03;

constexpr int kMaxReadCount = 125;
constexpr int kMaxWriteCount = 123;

quint8 byteAt(const QByteArray &frame, int i) { return static_cast<quint8>(frame.at(i)); }
int wordAt(const QByteArray &frame, int i) { return byteAt(frame, i) << 8 | byteAt(frame, i + 1); }

void appendWord(QByteArray &out, quint16 value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

// Four kinds of measurement, cycled over the channels: span of the scale in
// thousandths, its start, and the decimal point position. A raw code of
// 0..10000 covers the scale, so gain = span * 65536 / 10000 (spans are
// multiples of 625 to keep it whole).
struct ScaleKind {
    qint32 rangeMin;
    qint32 span;
    quint16 pointPos;
};
constexpr std::array<ScaleKind, 4> kScaleKinds{{
    {-50000, 200000, 1},   // temperature, -50.0 .. 150.0
    {0, 10000, 3},         // pressure, 0.000 .. 10.000
    {0, 100000, 2},        // level, 0.00 .. 100.00
    {0, 25000, 2},         // flow, 0.00 .. 25.00
}};
constexpr int kFullScaleRaw = 10000;

qint32 scaledAt(const ScaleKind &kind, int raw)
{
    return kind.rangeMin + static_cast<qint32>(static_cast<qint64>(kind.span) * raw / kFullScaleRaw);
}

// Which setpoint a channel's readings stay beyond.
enum class Alarm { None, Upper, Lower };

// Setup of a channel whose raw code stays within 2350..7500: the setpoints sit
// well outside that band, or, for a channel in alarm, the upper one well below
// it (Upper) or the lower one well above it (Lower).
ChannelSetup scaledChannel(int channel, Alarm alarm)
{
    const ScaleKind &kind = kScaleKinds[static_cast<std::size_t>((channel - 1) % 4)];
    ChannelSetup s;
    s.gain = static_cast<qint32>(static_cast<qint64>(kind.span) * 65536 / kFullScaleRaw);
    s.zero = 0;
    s.point_pos = kind.pointPos;
    s.range_min = kind.rangeMin;
    s.range_max = kind.rangeMin + kind.span;
    s.nu = scaledAt(kind, alarm == Alarm::Upper ? 500 : alarm == Alarm::Lower ? 8000 : 1500);
    s.vu = scaledAt(kind, alarm == Alarm::Upper ? 1800 : alarm == Alarm::Lower ? 9500 : 9000);
    s.gis_nu = kind.span / 100;
    s.gis_vu = kind.span / 100;
    return s;
}

} // namespace

int baudOfSpeedCode(int code)
{
    static constexpr std::array<int, 5> kBauds{1200, 2400, 4800, 9600, 19200};
    return code >= 0 && code < static_cast<int>(kBauds.size()) ? kBauds[static_cast<std::size_t>(code)] : 0;
}

NodeConfig defaultNode(int address)
{
    NodeConfig config;
    config.address = address;
    // Raw codes swing within 2350..7350, clear of the normal setpoints at raw
    // 1500 and 9000 (hysteresis 100) and above the alarm channel's upper
    // setpoint at raw 1800.
    const int alarmChannel = 1 + address % kChannelCount;
    for (int c = 1; c <= kChannelCount; ++c) {
        const auto i = static_cast<std::size_t>(c - 1);
        config.channels[i] = scaledChannel(c, c == alarmChannel ? Alarm::Upper : Alarm::None);
        ChannelMotion &m = config.motion[i];
        m.center = 3500 + 300 * ((address * 7 + c * 13) % 10);
        m.amplitude = 800 + 50 * ((address + 3 * c) % 8);
        m.periodS = 60 + (address * 5 + c * 11) % 121;
        m.phase = 2 * std::numbers::pi * ((address * 31 + c * 17) % 360) / 360.0;
    }
    return config;
}

QList<NodeConfig> demoLine()
{
    QList<NodeConfig> line;
    for (const int address : {1, 2, 3, 5, 8, 13, 21, 34}) {
        NodeConfig config = defaultNode(address);
        for (int c = 1; c <= kChannelCount; ++c) {
            const auto i = static_cast<std::size_t>(c - 1);
            const Alarm alarm = address == 8 && c == 3 ? Alarm::Upper : address == 13 && c == 6 ? Alarm::Lower : Alarm::None;
            config.channels[i] = scaledChannel(c, alarm);
            // Faster and wider swings than the default, still within 2500..7500.
            ChannelMotion &m = config.motion[i];
            m.center = 5000;
            m.amplitude = 1500 + 100 * ((address + c) % 11);
            m.periodS = 15 + (address * 7 + c * 5) % 31;
        }
        if (address == 21)
            config.faults.silentFromS = 180;
        line.append(config);
    }
    return line;
}

Node::Node(LineSimulator *line, const NodeConfig &config)
    : m_line(line),
      m_address(config.address),
      m_baud(config.baud),
      m_identity(config.identity),
      m_runStatus(config.runStatus),
      m_details(config.details.left(kMaxDetailBytes)),
      m_diagnostic(config.diagnostic),
      m_motion(config.motion),
      m_moving(true),
      m_listenOnly(config.faults.listenOnly),
      m_faults(config.faults),
      m_random(config.faults.seed.value_or(0x514C5800u ^ static_cast<quint32>(config.address)))
{
    for (int c = 1; c <= kChannelCount; ++c) {
        setChannel(c, config.channels[static_cast<std::size_t>(c - 1)]);
        updateRaw(c, m_line->elapsedNs());
    }
    m_moving = config.moving;
    m_regs[kModeRegister] = config.mode;
    updateSettingsChanged(m_line->elapsedNs());

    m_answerTimer.setSingleShot(true);
    m_answerTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_answerTimer, &QTimer::timeout, &m_answerTimer, [this] { sendPending(); });
}

Node::~Node() = default;

quint16 Node::reg(int r) const
{
    Q_ASSERT(r >= 0 && r < kRegisterCount);
    if (r < 0 || r >= kRegisterCount)
        return 0;
    const quint16 value = m_regs[static_cast<std::size_t>(r)];
    return r == kModeRegister && m_faults.progMode ? value | kProgModeBit : value;
}

void Node::setReg(int r, quint16 value)
{
    Q_ASSERT(r >= 0 && r < kRegisterCount);
    if (r >= 0 && r < kRegisterCount)
        m_regs[static_cast<std::size_t>(r)] = value;
}

qint32 Node::reg32(int r) const
{
    return static_cast<qint32>(static_cast<quint32>(reg(r + 1)) << 16 | reg(r));
}

void Node::setReg32(int r, qint32 value)
{
    setReg(r, static_cast<quint16>(static_cast<quint32>(value) & 0xFFFF));
    setReg(r + 1, static_cast<quint16>(static_cast<quint32>(value) >> 16));
}

ChannelSetup Node::channel(int channel) const
{
    ChannelSetup s;
    s.gain = reg32(setupRegister(channel, kGain));
    s.zero = reg(setupRegister(channel, kZero));
    s.point_pos = reg(setupRegister(channel, kPointPos));
    s.range_min = reg32(setupRegister(channel, kRangeMin));
    s.range_max = reg32(setupRegister(channel, kRangeMax));
    s.nu = reg32(setupRegister(channel, kNu));
    s.vu = reg32(setupRegister(channel, kVu));
    s.gis_nu = reg32(setupRegister(channel, kGisNu));
    s.gis_vu = reg32(setupRegister(channel, kGisVu));
    return s;
}

void Node::setChannel(int channel, const ChannelSetup &s)
{
    setReg32(setupRegister(channel, kGain), s.gain);
    setReg(setupRegister(channel, kZero), s.zero);
    setReg(setupRegister(channel, kPointPos), s.point_pos);
    setReg32(setupRegister(channel, kRangeMin), s.range_min);
    setReg32(setupRegister(channel, kRangeMax), s.range_max);
    setReg32(setupRegister(channel, kNu), s.nu);
    setReg32(setupRegister(channel, kVu), s.vu);
    setReg32(setupRegister(channel, kGisNu), s.gis_nu);
    setReg32(setupRegister(channel, kGisVu), s.gis_vu);
}

void Node::setRaw(int channel, quint16 raw)
{
    ChannelMotion &m = m_motion.at(static_cast<std::size_t>(channel - 1));
    m.center = raw;
    m.amplitude = 0;
    setReg(kRawRegister + channel - 1, raw);
}

ChannelMotion Node::motion(int channel) const
{
    return m_motion.at(static_cast<std::size_t>(channel - 1));
}

void Node::setMotion(int channel, const ChannelMotion &motion)
{
    m_motion.at(static_cast<std::size_t>(channel - 1)) = motion;
    updateRaw(channel, m_line->elapsedNs());
}

double Node::value(int c) const
{
    const ChannelSetup s = channel(c);
    return (s.gain / 65536.0 * (raw(c) - s.zero) + s.range_min) / 1000.0;
}

void Node::setMoving(bool moving)
{
    m_moving = moving;
}

void Node::setDisplay(int quantity, int channel)
{
    quint16 &mode = m_regs[kModeRegister];
    mode = static_cast<quint16>((mode & 0xF800) | (quantity & 0x07) << 8 | (channel & 0xFF));
}

void Node::setSettingsChanged(bool on)
{
    quint16 &mode = m_regs[kModeRegister];
    mode = on ? mode | kSettingsChangedBit : mode & ~kSettingsChangedBit;
}

bool Node::silentAt(qint64 elapsedNs) const
{
    return m_faults.silent
        || (m_faults.silentFromS && elapsedNs >= *m_faults.silentFromS * 1e9)
        || (m_faults.silentAfterFrames && m_answered >= *m_faults.silentAfterFrames);
}

void Node::updateRaw(int channel, qint64 nowNs)
{
    if (!m_moving)
        return;
    const ChannelMotion &m = m_motion.at(static_cast<std::size_t>(channel - 1));
    double raw = m.center;
    if (m.amplitude != 0 && m.periodS > 0)
        raw += m.amplitude * std::sin(2 * std::numbers::pi * (nowNs / 1e9) / m.periodS + m.phase);
    setReg(kRawRegister + channel - 1, static_cast<quint16>(std::clamp(std::lround(raw), 0L, 65535L)));
}

// The settings-changed bit goes up every N seconds, counted from the moment
// the period was first seen; a read of the mode register takes it down.
void Node::updateSettingsChanged(qint64 nowNs)
{
    const double every = m_faults.settingsChangedEveryS;
    if (every <= 0) {
        m_settingsEveryS = 0;
        return;
    }
    if (every != m_settingsEveryS) {
        m_settingsEveryS = every;
        m_settingsBaseNs = nowNs;
        m_settingsEpoch = 0;
        return;
    }
    const auto epoch = static_cast<qint64>(std::floor((nowNs - m_settingsBaseNs) / 1e9 / every));
    if (epoch > m_settingsEpoch) {
        m_settingsEpoch = epoch;
        setSettingsChanged(true);
    }
}

bool Node::takeFrame(const QByteArray &frame, int lineBaud, double charNs, qint64 frameEndNs)
{
    if (lineBaud != m_baud || silentAt(frameEndNs) || busy())
        return false;
    const int address = byteAt(frame, 0);
    const quint8 function = byteAt(frame, 1);
    if (address != 0 && address != m_address)
        return false;

    const bool restart = function == kDiagnostics && frame.size() == 8 && wordAt(frame, 2) == 0x0001;
    if (m_listenOnly) {
        // Only a restart of communications gets through, and it is not answered.
        if (!restart)
            return false;
        m_listenOnly = false;
        return true;
    }

    if (address == 0) {
        // Broadcasts are never answered; the only one acted on sets the line speed.
        if (function == kLineSpeed && frame.size() == 5) {
            if (const int baud = baudOfSpeedCode(byteAt(frame, 2)))
                m_baud = baud;
        }
        return true;
    }

    updateSettingsChanged(frameEndNs);
    const QByteArray body = respond(frame, frameEndNs);
    if (body.isEmpty())
        return true;

    const AnswerFault fault = drawFault(function);
    if (fault == AnswerFault::Silence)
        return true;
    const QByteArray answer = withFaults(body, function, fault);
    ++m_answered;
    if (function == kReadHolding && frame.size() == 8 && answer.contains(append_crc(body))) {
        // The raw codes this intact answer carries are what the station reads; bytes around
        // the frame (noise ahead, extra bytes after) leave it intact.
        const int first = wordAt(frame, 2);
        const int count = wordAt(frame, 4);
        for (int r = qMax(first, kRawRegister); r < qMin(first + count, kRawRegister + kChannelCount); ++r) {
            const int channel = r - kRawRegister + 1;
            m_line->noteServed({m_address, channel, value(channel), frameEndNs / 1000000});
        }
    }
    double delayNs = (m_line->latencyMs() + m_faults.lateMs + (fault == AnswerFault::Late ? m_faults.randomLateMs : 0)) * 1e6;
    if (m_line->wireTime())
        delayNs += answer.size() * charNs;
    m_pending = answer;
    m_pendingDueNs = frameEndNs + std::llround(delayNs);
    m_line->armAt(m_answerTimer, m_pendingDueNs);
    return true;
}

QByteArray Node::respond(const QByteArray &frame, qint64 nowNs)
{
    const quint8 function = byteAt(frame, 1);
    if (m_faults.exception != 0)
        return exceptionAnswer(function, static_cast<quint8>(m_faults.exception));

    switch (function) {
    case kIdentify: {
        if (frame.size() != 4)
            return exceptionAnswer(function, kIllegalValue);
        QByteArray body;
        body.append(static_cast<char>(m_address));
        body.append(static_cast<char>(kIdentify));
        body.append(static_cast<char>(2 + m_details.size()));
        body.append(static_cast<char>(m_identity));
        body.append(static_cast<char>(m_runStatus));
        body.append(m_details);
        return body;
    }
    case kReadHolding:
        return readRegisters(frame, nowNs);
    case kWriteMultiple:
        return writeRegisters(frame);
    case kDiagnostics:
        return diagnostics(frame);
    default:
        // The line-speed function is served only as a broadcast.
        return exceptionAnswer(function, kIllegalFunction);
    }
}

QByteArray Node::readRegisters(const QByteArray &frame, qint64 nowNs)
{
    if (frame.size() != 8)
        return exceptionAnswer(kReadHolding, kIllegalValue);
    const int first = wordAt(frame, 2);
    const int count = wordAt(frame, 4);
    if (count < 1 || count > kMaxReadCount)
        return exceptionAnswer(kReadHolding, kIllegalValue);
    if (first + count > kRegisterCount)
        return exceptionAnswer(kReadHolding, kIllegalAddress);

    QByteArray body;
    body.append(static_cast<char>(m_address));
    body.append(static_cast<char>(kReadHolding));
    body.append(static_cast<char>(2 * count));
    for (int r = first; r < first + count; ++r) {
        if (r >= kRawRegister && r < kRawRegister + kChannelCount)
            updateRaw(r - kRawRegister + 1, nowNs);
        appendWord(body, reg(r));
    }
    if (first + count > kModeRegister)
        setSettingsChanged(false);
    return body;
}

QByteArray Node::writeRegisters(const QByteArray &frame)
{
    if (frame.size() < 9)
        return exceptionAnswer(kWriteMultiple, kIllegalValue);
    const int first = wordAt(frame, 2);
    const int count = wordAt(frame, 4);
    const int byteCount = byteAt(frame, 6);
    if (count < 1 || count > kMaxWriteCount || byteCount != 2 * count || frame.size() != 9 + byteCount)
        return exceptionAnswer(kWriteMultiple, kIllegalValue);
    if (first + count > kSetupRegisters)
        return exceptionAnswer(kWriteMultiple, kIllegalAddress);

    for (int i = 0; i < count; ++i)
        setReg(first + i, static_cast<quint16>(wordAt(frame, 7 + 2 * i)));
    return frame.left(6);
}

QByteArray Node::diagnostics(const QByteArray &frame)
{
    if (frame.size() != 8)
        return exceptionAnswer(kDiagnostics, kIllegalValue);
    switch (wordAt(frame, 2)) {
    case 0x0000:   // echo
    case 0x0001:   // restart communications
        return frame.left(6);
    case 0x0002: {
        QByteArray body = frame.left(4);
        appendWord(body, m_diagnostic);
        return body;
    }
    case 0x0004:   // force listen-only: silent from now on
        m_listenOnly = true;
        return {};
    default:
        return exceptionAnswer(kDiagnostics, kIllegalFunction);
    }
}

QByteArray Node::exceptionAnswer(quint8 function, quint8 code) const
{
    QByteArray body;
    body.append(static_cast<char>(m_address));
    body.append(static_cast<char>(function | 0x80));
    body.append(static_cast<char>(code));
    return body;
}

AnswerFault Node::drawFault(quint8 function)
{
    if (m_faults.randomFaults <= 0 || (m_faults.faultFunction && *m_faults.faultFunction != function))
        return AnswerFault::None;
    if (m_random.generateDouble() >= m_faults.randomFaults)
        return AnswerFault::None;
    static constexpr AnswerFault kinds[] = {AnswerFault::BadCrc,         AnswerFault::Late,
                                            AnswerFault::Silence,        AnswerFault::ForeignAddress,
                                            AnswerFault::ExtraBytes,     AnswerFault::Short};
    return kinds[m_random.bounded(int(std::size(kinds)))];
}

QByteArray Node::withFaults(QByteArray body, quint8 function, AnswerFault fault)
{
    const bool answerFaults = !m_faults.faultFunction || *m_faults.faultFunction == function;
    const bool isRead = function == kReadHolding && body.size() >= 5 && quint8(body.at(1)) == kReadHolding;
    if ((answerFaults && m_faults.shortAnswer && isRead) || (fault == AnswerFault::Short && isRead)) {
        // One register fewer, the byte count saying so: a frame valid in itself.
        body.chop(2);
        body[2] = static_cast<char>(quint8(body.at(2)) - 2);
    } else if (fault == AnswerFault::Short) {
        fault = AnswerFault::BadCrc;
    }
    if (m_faults.foreignAddress)
        body[0] = static_cast<char>(*m_faults.foreignAddress);
    if (fault == AnswerFault::ForeignAddress)
        body[0] = static_cast<char>(m_address % 255 + 1);
    QByteArray answer = append_crc(body);
    const bool corrupt = fault == AnswerFault::BadCrc
        || (answerFaults
            && (m_faults.badCrc >= 1 || (m_faults.badCrc > 0 && m_random.generateDouble() < m_faults.badCrc)));
    if (corrupt) {
        answer[answer.size() - 2] = static_cast<char>(answer.at(answer.size() - 2) ^ 0xFF);
        answer[answer.size() - 1] = static_cast<char>(answer.at(answer.size() - 1) ^ 0xFF);
    }
    if (m_faults.extraByte)
        answer.append('\0');
    if (fault == AnswerFault::ExtraBytes)
        answer.append("\x5A\xA5", 2);
    return m_faults.leading + answer;
}

void Node::sendPending()
{
    if (!m_pending)
        return;
    if (m_line->elapsedNs() < m_pendingDueNs) {
        m_line->armAt(m_answerTimer, m_pendingDueNs);
        return;
    }
    const QByteArray answer = *m_pending;
    m_pending.reset();
    m_line->sendAnswer(answer);
}

} // namespace qlx::sim
