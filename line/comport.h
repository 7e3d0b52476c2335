// The station's one serial port (`ComPort`): its settings, the settings file
// ini/Com_setup_modbus.ini (section "ComPort"), and the few operations the
// line needs. Errors are raised as PortError to the caller.
//
// A request is sent with `send`: it finishes once every byte has left the
// driver's queue, and raises PortError when that has not happened within the
// write time-out (100 ms per byte plus 1000 ms), as when hardware flow control
// holds the line with CTS low. Nothing here blocks: the wait runs on the
// event loop.
#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <qcoro/qcorotask.h>

#include <stdexcept>

namespace qlx {

class IniFile;

class PortError : public std::runtime_error {
public:
    explicit PortError(const QString &message);
    QString message() const { return QString::fromStdString(what()); }
};

struct PortSettings {
    QString port = QStringLiteral("ttyS0");
    QString baudRate = QStringLiteral("9600"); // as written in the "BaudRate" key, or "Custom"
    int customBaudRate = 9600;
    QString stopBits = QStringLiteral("2");    // "1", "1.5", "2"
    QString dataBits = QStringLiteral("8");    // "5".."8"
    QString parity = QStringLiteral("None");   // "None", "Odd", "Even", "Mark", "Space"
    QString flowControl = QStringLiteral("None"); // "Hardware", "Software", "None", "Custom"

    // The speed in baud these settings select.
    int baud() const;
    // The speed as the line speed text: the "BaudRate" text, "Custom" for a custom speed
    // (which has no speed code, so its broadcast carries none).
    QString speedText() const;
    // Bits one character takes on the wire: start bit, data bits, parity bit, stop bits.
    double bitsPerCharacter() const;
    bool operator==(const PortSettings &) const = default;
};

// The five line speeds the controllers know, slowest first: the speed menu's
// items and the codes 0..4 of the line-speed broadcast.
const QStringList &line_speeds();

// Canonical spellings of the "BaudRate" key.
const QStringList &baudRateTexts();

class ComPort : public QObject {
    Q_OBJECT
public:
    explicit ComPort(QObject *parent = nullptr);
    ~ComPort() override;

    const PortSettings &settings() const { return m_settings; }
    // Applies at once to an open port where the platform allows it.
    void setSettings(const PortSettings &settings);

    // Reads the "ComPort" section; a missing file or key leaves the current value. A
    // custom speed no port runs at (outside 50..4000000 baud) becomes 9600; the texts
    // returned say what was replaced, for the event log.
    QStringList loadSettings(const IniFile &ini);
    static constexpr int kMinCustomBaud = 50;
    static constexpr int kMaxCustomBaud = 4000000;
    bool storeSettings(IniFile &ini) const;

    // Opens with every setting applied; raises PortError when it cannot. Opening an open port does nothing.
    void open();
    // Closes, abandoning pending input and output. Closing a closed port does nothing.
    void close();
    bool isOpen() const;

    // Hands the bytes to the port without waiting for them to leave; raises PortError when
    // the port is closed or refuses them.
    void write(const QByteArray &bytes);
    // Writes the bytes and finishes when all of them have left the driver's queue. Raises
    // PortError when the port is closed, fails or closes meanwhile, or when the write
    // time-out passes first; the bytes still pending are then thrown away.
    QCoro::Task<void> send(QByteArray bytes);
    // The write time-out of `bytes` bytes: 100 ms per byte plus 1000 ms.
    static int writeTimeoutMs(qsizetype bytes) { return 1000 + 100 * static_cast<int>(bytes); }
    // Bytes written and not yet sent: those the port holds and those in the driver's queue.
    qint64 pendingOutput() const;
    // Between 0 and n bytes that have already arrived; never waits.
    QByteArray read(int n);
    // Bytes already received and not yet read (those the driver holds included).
    qint64 queuedBytes() const;
    // Throws away every byte received and not yet read; returns how many there were.
    qint64 discardInput();

    // Changes the speed; takes effect at once on an open port.
    void setSpeed(int baud);
    // Drive the modem-control lines; PortError when the device cannot (a pseudo-terminal has none).
    void setDtr(bool on);
    void setRts(bool on);

    // Duration of one character on the wire at the present settings, in microseconds.
    double characterMicros() const;

    QSerialPort &device() { return m_port; }

signals:
    void readyRead();
    void openChanged(bool open);
    // The device failed while open (unplugged, read error); the text names the error.
    void failed(const QString &error);

private:
    void applySettings();

    QSerialPort m_port;
    PortSettings m_settings;
};

} // namespace qlx
