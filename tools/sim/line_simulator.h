// A simulated RS-485 line of sensor controllers ("nodes") served on a
// pseudo-terminal.
//
// The station opens the pty's slave path with QSerialPort and talks to the
// simulated nodes exactly as to a real line: the simulator reads the station's
// speed and character format from the terminal settings, cuts frames at
// 3.5 character times of silence, drops damaged frames, and answers after the
// time a real node and the wire would take.
//
// Everything runs on the thread that owns the LineSimulator, on its event loop
// (a QSocketNotifier on the line's file descriptor and precise QTimers); tests
// use it in-process beside the station code under test.
//
// Between the line and the station it can put a USB adapter's latency timer
// (`setDeliveryDelayMs`): bytes for the station are then handed over in
// batches, a batch when the timer expires after its first bytes, as an FTDI
// adapter does every 16 ms by default. It can also stop taking bytes off the
// line (`setReceiving(false)`), as a port whose CTS is held low: once the
// pty's buffer is full, the station's writes stall.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <optional>

class QSocketNotifier;
struct termios;

namespace qlx::sim {

inline constexpr int kChannelCount = 12;
inline constexpr int kRegisterCount = 205;
inline constexpr int kSetupRegisters = 192;     // 0..191 hold the twelve 16-register setup blocks
inline constexpr int kRawRegister = 192;        // 192 + (channel - 1): raw measurement code
inline constexpr int kModeRegister = 204;
inline constexpr int kMaxDetailBytes = 6;

// Register offsets inside the setup block of a channel (block starts at 16 * (channel - 1)).
enum SetupOffset : int {
    kGain = 0,        // signed 32, 1/65536 units, low word first
    kZero = 2,        // unsigned 16, raw code at the start of the scale
    kPointPos = 3,    // 0..3
    kRangeMin = 4,    // signed 32, thousandths
    kRangeMax = 6,
    kNu = 8,          // lower setpoint
    kVu = 10,         // upper setpoint
    kGisNu = 12,      // hysteresis of the lower setpoint
    kGisVu = 14,      // hysteresis of the upper setpoint
};

// Bits of the high byte of the mode register, as seen in the 16-bit register.
inline constexpr quint16 kModeBit7 = 0x8000;
inline constexpr quint16 kProgModeBit = 0x4000;
inline constexpr quint16 kSettingsChangedBit = 0x2000;

constexpr int setupRegister(int channel, int offset) { return 16 * (channel - 1) + offset; }

struct ChannelSetup {
    qint32 gain = 65536;
    quint16 zero = 0;
    quint16 point_pos = 1;
    qint32 range_min = 0;
    qint32 range_max = 100000;
    qint32 nu = 0;
    qint32 vu = 100000;
    qint32 gis_nu = 0;
    qint32 gis_vu = 0;
    bool operator==(const ChannelSetup &) const = default;
};

// How the raw code of a channel moves: center + amplitude * sin(2 pi t / period + phase),
// t being the time since the simulator was created. Amplitude 0 keeps it at center.
struct ChannelMotion {
    double center = 5000;
    double amplitude = 0;
    double periodS = 120;
    double phase = 0;   // radians
};

struct NodeFaults {
    bool silent = false;                       // never answers, hears nothing
    std::optional<double> silentFromS;         // silent from this many seconds after the simulator started
    std::optional<int> silentAfterFrames;      // silent once it has answered this many frames
    double badCrc = 0;                         // probability 0..1 that an answer carries a wrong CRC
    std::optional<quint32> seed;               // seed of that draw; default derived from the address
    double lateMs = 0;                         // added to the answer latency
    std::optional<int> foreignAddress;         // answers carry this address instead of its own
    bool extraByte = false;                    // one byte (0x00) after the CRC of every answer
    QByteArray leading;                        // sent right ahead of every answer, in the same burst
    int exception = 0;                         // non-zero: every addressed request gets this exception code
    double settingsChangedEveryS = 0;          // non-zero: raise the settings-changed bit this often
    bool progMode = false;                     // programming-mode bit set in the mode register
    bool listenOnly = false;                   // starts in listen-only mode
    bool shortAnswer = false;                  // register reads answer one register fewer, checksum valid
    // Each answer gets, with this probability, one fault drawn evenly from: a wrong
    // checksum, `randomLateMs` late, no answer, another address (checksum valid),
    // two bytes after the checksum, and for a register read one register fewer.
    double randomFaults = 0;
    double randomLateMs = 0;
    // The answer faults (bad_crc, short_answer, random faults) touch only answers of this function code.
    std::optional<int> faultFunction;
};

// One fault a node put into one answer (the kinds of NodeFaults::randomFaults).
enum class AnswerFault { None, BadCrc, Late, Silence, ForeignAddress, ExtraBytes, Short };

struct NodeConfig {
    int address = 1;
    int baud = 9600;
    quint8 identity = 0x21;        // high digit device type, low digit device number
    quint8 runStatus = 0xFF;
    QByteArray details = "QLX12";   // at most 6 bytes
    std::array<ChannelSetup, kChannelCount> channels{};
    std::array<ChannelMotion, kChannelCount> motion{};
    bool moving = true;
    quint16 mode = 0x8001;         // mode_bit7 set, displayed channel 1
    quint16 diagnostic = 0;        // answered to diagnostics sub-function 0002
    NodeFaults faults;
};

// A node with twelve plausibly scaled channels whose raw codes swing slowly
// (periods of one to three minutes), deterministic in the address; exactly one
// channel stays above its upper setpoint.
NodeConfig defaultNode(int address);

// The line started by `quorlex-sim --demo`: eight lively nodes, channel 3 of
// node 8 above its upper setpoint and channel 6 of node 13 below its lower one,
// node 21 silent from three minutes on.
QList<NodeConfig> demoLine();

// Baud rate of a line-speed broadcast code (0 = 1200 ... 4 = 19200); 0 for an unknown code.
int baudOfSpeedCode(int code);

class LineSimulator;

// A node on the line; made by LineSimulator::addNode and owned by the simulator.
// Everything set here takes effect for the next frame the node hears.
class Node {
public:
    Node(LineSimulator *line, const NodeConfig &config);
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    int address() const { return m_address; }

    // Register contents as last served. Raw codes of moving channels are
    // brought up to date when a read request arrives, so right after an
    // answer these equal what was answered.
    quint16 reg(int r) const;
    void setReg(int r, quint16 value);
    qint32 reg32(int r) const;            // r holds the low word, r + 1 the high word
    void setReg32(int r, qint32 value);

    ChannelSetup channel(int channel) const;
    void setChannel(int channel, const ChannelSetup &setup);
    quint16 raw(int channel) const { return reg(kRawRegister + channel - 1); }
    // Fixes the raw code of one channel; it no longer moves.
    void setRaw(int channel, quint16 raw);
    ChannelMotion motion(int channel) const;
    void setMotion(int channel, const ChannelMotion &motion);
    // Engineering value of a channel from the registers: (gain / 65536 * (raw - zero) + range_min) / 1000.
    double value(int channel) const;

    bool moving() const { return m_moving; }
    void setMoving(bool moving);   // false freezes every raw code at its last value

    quint16 mode() const { return reg(kModeRegister); }   // with the programming-mode bit of the faults
    void setMode(quint16 mode) { setReg(kModeRegister, mode); }
    void setDisplay(int quantity, int channel);
    void setSettingsChanged(bool on);

    NodeFaults &faults() { return m_faults; }
    const NodeFaults &faults() const { return m_faults; }

    int baud() const { return m_baud; }
    void setBaud(int baud) { m_baud = baud; }
    bool listenOnly() const { return m_listenOnly; }
    void setListenOnly(bool on) { m_listenOnly = on; }
    quint8 identity() const { return m_identity; }
    quint8 runStatus() const { return m_runStatus; }
    QByteArray details() const { return m_details; }
    quint16 diagnostic() const { return m_diagnostic; }

    int framesAnswered() const { return m_answered; }
    bool busy() const { return m_pending.has_value(); }
    bool silentAt(qint64 elapsedNs) const;

private:
    friend class LineSimulator;

    // A complete frame at the line speed it arrived at; true when this node took it in.
    bool takeFrame(const QByteArray &frame, int lineBaud, double charNs, qint64 frameEndNs);
    QByteArray respond(const QByteArray &frame, qint64 nowNs);
    QByteArray readRegisters(const QByteArray &frame, qint64 nowNs);
    QByteArray writeRegisters(const QByteArray &frame);
    QByteArray diagnostics(const QByteArray &frame);
    QByteArray exceptionAnswer(quint8 function, quint8 code) const;
    QByteArray withFaults(QByteArray body, quint8 function, AnswerFault fault);
    AnswerFault drawFault(quint8 function);
    void updateRaw(int channel, qint64 nowNs);
    void updateSettingsChanged(qint64 nowNs);
    void sendPending();

    LineSimulator *m_line;
    int m_address;
    int m_baud;
    quint8 m_identity;
    quint8 m_runStatus;
    QByteArray m_details;
    quint16 m_diagnostic;
    std::array<quint16, kRegisterCount> m_regs{};
    std::array<ChannelMotion, kChannelCount> m_motion{};
    bool m_moving;
    bool m_listenOnly;
    NodeFaults m_faults;
    QRandomGenerator m_random;
    int m_answered = 0;
    double m_settingsEveryS = 0;      // period the epoch below was counted with
    qint64 m_settingsBaseNs = 0;
    qint64 m_settingsEpoch = 0;
    std::optional<QByteArray> m_pending;
    qint64 m_pendingDueNs = 0;
    QTimer m_answerTimer;
};

struct FrameRecord {
    QByteArray bytes;
    int lineBaud = 0;      // speed from the terminal settings when the frame's first bytes arrived
    qint64 atMs = 0;       // arrival of its first bytes, ms since the simulator was created
    bool heard = false;    // intact and taken in by at least one node
};

// A channel value a node answered a raw-code read with, intact: the ground
// truth of what the station polled.
struct ServedValue {
    int address = 0;
    int channel = 0;
    double value = 0;      // engineering value, as Node::value gives it
    qint64 atMs = 0;       // end of the request, ms since the simulator was created
};

class LineSimulator : public QObject {
    Q_OBJECT
public:
    explicit LineSimulator(QObject *parent = nullptr);
    ~LineSimulator() override;

    // Creates a pty pair and serves its master; the station opens stationPath().
    bool openPty(QString *error = nullptr);
    // Serves an existing terminal device (a real port, or one end of a pty pair
    // made elsewhere); its speed and format come from that device's settings.
    bool openDevice(const QString &path, QString *error = nullptr);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString stationPath() const { return m_stationPath; }   // empty when serving a device
    QString devicePath() const { return m_devicePath; }

    // A symlink at linkPath to stationPath(); an existing symlink there is
    // replaced, anything else is left alone and reported. Removed on close.
    bool makeLink(const QString &linkPath, QString *error = nullptr);
    QString linkPath() const { return m_linkPath; }

    void setLatencyMs(double ms) { m_latencyMs = ms; }
    double latencyMs() const { return m_latencyMs; }
    void setWireTime(bool on) { m_wireTime = on; }
    bool wireTime() const { return m_wireTime; }
    // Latency timer of the adapter at the station's end: bytes for the station are held and
    // handed over together this long after the first of them; 0 hands them over at once.
    void setDeliveryDelayMs(double ms) { m_deliveryDelayMs = ms; }
    double deliveryDelayMs() const { return m_deliveryDelayMs; }
    // false: the simulator takes no bytes off the line (what the station writes stays in the
    // pty, about 14 KB of it, then its writes stall); true takes them again, all of them.
    void setReceiving(bool on);
    bool receiving() const { return m_receiving; }

    Node *addNode(const NodeConfig &config);   // replaces a node of the same address
    Node *node(int address) const;
    void removeNode(int address);
    QList<int> addresses() const;

    // Applies a JSON scenario (see README.md); nothing changes when it is invalid.
    bool loadScenario(const QString &file, QString *error = nullptr);
    bool applyScenario(const QByteArray &json, QString *error = nullptr);

    const QList<FrameRecord> &frames() const { return m_frames; }
    void clearFrames() { m_frames.clear(); }
    const QList<ServedValue> &servedValues() const { return m_served; }
    // At most this many frame and served-value records are kept, the oldest
    // dropped first; 0 keeps them all. A simulator that serves for days sets one.
    void setRecordLimit(int records) { m_recordLimit = records; }

    int lineBaud() const;          // current speed from the terminal settings, 0 when unknown
    int bitsPerChar() const;       // start + data + parity + stop bits from the terminal settings
    double charTimeMs() const;     // one character at the current settings
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    qint64 elapsedNs() const { return m_clock.nsecsElapsed(); }

signals:
    void frameReceived(const QByteArray &frame, int lineBaud);
    // A node put an answer on the line (its bytes may still wait for the latency timer).
    void answerSent(const QByteArray &answer);
    // Bytes handed over to the station's end, a batch at a time.
    void delivered(const QByteArray &bytes);

private:
    friend class Node;

    void startNotifiers();
    void onReadable();
    void onWritable();
    void onFrameTimer();
    void armAt(QTimer &timer, qint64 dueNs);
    void transmit(const QByteArray &bytes);
    void deliver(const QByteArray &bytes);
    void onDeliveryTimer();
    void sendAnswer(const QByteArray &answer);
    void noteServed(const ServedValue &served);
    bool readLineSettings(int *baud, int *bits) const;

    QElapsedTimer m_clock;
    int m_fd = -1;               // master of our pty, or the served device
    int m_slaveFd = -1;          // kept open so the master never sees a hang-up
    std::unique_ptr<::termios> m_savedTermios;   // a served device's settings, restored on close
    QString m_stationPath;
    QString m_devicePath;
    QString m_linkPath;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QByteArray m_tx;

    double m_latencyMs = 2.0;
    bool m_wireTime = true;
    double m_deliveryDelayMs = 0;
    bool m_receiving = true;

    // Bytes held by the latency timer, and when they are handed over.
    QByteArray m_held;
    qint64 m_deliveryDueNs = 0;
    QTimer m_deliveryTimer;

    // Receiver of the line: bytes of the frame in progress and the wire model.
    QByteArray m_rx;
    int m_rxBaud = 0;
    double m_rxCharNs = 0;
    bool m_rxMixed = false;      // speed or format changed within the frame
    qint64 m_rxFirstNs = 0;
    qint64 m_wireEndNs = 0;
    qint64 m_frameEndNs = 0;
    QTimer m_frameTimer;

    std::map<int, std::unique_ptr<Node>> m_nodes;
    QList<FrameRecord> m_frames;
    QList<ServedValue> m_served;
    int m_recordLimit = 0;
};

} // namespace qlx::sim
