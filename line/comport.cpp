#include "line/comport.h"

#include "base/ini_file.h"
#include "base/logging.h"
#include "base/one_shot.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include <sys/ioctl.h>

namespace qlx {

namespace {

const QString kSection = QStringLiteral("ComPort");

QString canonical(const QString &text, const QStringList &choices, const QString &fallback)
{
    for (const QString &c : choices)
        if (c.compare(text, Qt::CaseInsensitive) == 0)
            return c;
    return fallback;
}

const QStringList kStopBits = {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
const QStringList kDataBits = {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")};
const QStringList kParity = {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even"),
                             QStringLiteral("Mark"), QStringLiteral("Space")};
const QStringList kFlow = {QStringLiteral("Hardware"), QStringLiteral("Software"), QStringLiteral("None"),
                           QStringLiteral("Custom")};

} // namespace

PortError::PortError(const QString &message)
    : std::runtime_error(message.toStdString())
{
}

const QStringList &line_speeds()
{
    static const QStringList speeds = {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                                       QStringLiteral("9600"), QStringLiteral("19200")};
    return speeds;
}

const QStringList &baudRateTexts()
{
    static const QStringList texts = {
        QStringLiteral("Custom"), QStringLiteral("110"),    QStringLiteral("300"),    QStringLiteral("600"),
        QStringLiteral("1200"),   QStringLiteral("2400"),   QStringLiteral("4800"),   QStringLiteral("9600"),
        QStringLiteral("14400"),  QStringLiteral("19200"),  QStringLiteral("38400"),  QStringLiteral("56000"),
        QStringLiteral("57600"),  QStringLiteral("115200"), QStringLiteral("128000"), QStringLiteral("256000")};
    return texts;
}

int PortSettings::baud() const
{
    if (baudRate == QStringLiteral("Custom"))
        return customBaudRate;
    bool ok = false;
    const int b = baudRate.toInt(&ok);
    return ok ? b : 9600;
}

QString PortSettings::speedText() const
{
    return baudRate;
}

double PortSettings::bitsPerCharacter() const
{
    const double data = dataBits.toInt();
    const double par = parity == QStringLiteral("None") ? 0 : 1;
    const double stop = stopBits == QStringLiteral("2") ? 2 : stopBits == QStringLiteral("1.5") ? 1.5 : 1;
    return 1 + data + par + stop;
}

ComPort::ComPort(QObject *parent)
    : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &ComPort::readyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::NoError || !m_port.isOpen())
            return;
        qCWarning(lcPort) << "serial port error" << e << m_port.errorString();
        // A device that fails to read or vanishes (an adapter unplugged, the far end of a
        // terminal gone) stays readable for ever: left open, it would wake the event loop
        // at once again and again. It is closed and reported instead.
        if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError) {
            const QString text = m_port.errorString();
            m_port.close();
            emit openChanged(false);
            emit failed(text);
        }
    });
}

ComPort::~ComPort() = default;

void ComPort::setSettings(const PortSettings &settings)
{
    m_settings = settings;
    if (m_port.isOpen())
        applySettings();
}

QStringList ComPort::loadSettings(const IniFile &ini)
{
    QStringList corrections;
    PortSettings s = m_settings;
    if (ini.hasKey(kSection, QStringLiteral("Port")))
        s.port = ini.readString(kSection, QStringLiteral("Port"));
    if (ini.hasKey(kSection, QStringLiteral("BaudRate"))) {
        s.baudRate = canonical(ini.readString(kSection, QStringLiteral("BaudRate")), baudRateTexts(),
                               QStringLiteral("9600"));
        if (s.baudRate == QStringLiteral("Custom")) {
            const QString text = ini.readString(kSection, QStringLiteral("CustomBaudRate"));
            bool ok = false;
            const qlonglong baud = text.trimmed().toLongLong(&ok);
            if (ok && baud >= kMinCustomBaud && baud <= kMaxCustomBaud) {
                s.customBaudRate = static_cast<int>(baud);
            } else {
                s.baudRate = QStringLiteral("9600");
                s.customBaudRate = 9600;
                corrections << QStringLiteral("Недопустимое значение настройки CustomBaudRate = \"%1\" (%2, раздел [%3]); "
                                              "используется 9600")
                                   .arg(text, QFileInfo(ini.path()).fileName(), kSection);
            }
        }
    }
    if (ini.hasKey(kSection, QStringLiteral("StopBits")))
        s.stopBits = canonical(ini.readString(kSection, QStringLiteral("StopBits")), kStopBits, QStringLiteral("1"));
    if (ini.hasKey(kSection, QStringLiteral("DataBits")))
        s.dataBits = canonical(ini.readString(kSection, QStringLiteral("DataBits")), kDataBits, QStringLiteral("8"));
    if (ini.hasKey(kSection, QStringLiteral("Parity")))
        s.parity = canonical(ini.readString(kSection, QStringLiteral("Parity")), kParity, QStringLiteral("None"));
    if (ini.hasKey(kSection, QStringLiteral("FlowControl")))
        s.flowControl =
            canonical(ini.readString(kSection, QStringLiteral("FlowControl")), kFlow, QStringLiteral("Custom"));
    setSettings(s);
    return corrections;
}

bool ComPort::storeSettings(IniFile &ini) const
{
    bool ok = ini.writeString(kSection, QStringLiteral("Port"), m_settings.port);
    ok = ini.writeString(kSection, QStringLiteral("BaudRate"), m_settings.baudRate) && ok;
    if (m_settings.baudRate == QStringLiteral("Custom"))
        ok = ini.writeInteger(kSection, QStringLiteral("CustomBaudRate"), m_settings.customBaudRate) && ok;
    ok = ini.writeString(kSection, QStringLiteral("StopBits"), m_settings.stopBits) && ok;
    ok = ini.writeString(kSection, QStringLiteral("DataBits"), m_settings.dataBits) && ok;
    ok = ini.writeString(kSection, QStringLiteral("Parity"), m_settings.parity) && ok;
    ok = ini.writeString(kSection, QStringLiteral("FlowControl"), m_settings.flowControl) && ok;
    return ok;
}

void ComPort::applySettings()
{
    const PortSettings &s = m_settings;
    m_port.setBaudRate(s.baud());
    m_port.setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits.toInt()));
    if (s.stopBits == QStringLiteral("2"))
        m_port.setStopBits(QSerialPort::TwoStop);
    else if (s.stopBits == QStringLiteral("1.5"))
        m_port.setStopBits(QSerialPort::OneAndHalfStop);
    else
        m_port.setStopBits(QSerialPort::OneStop);
    static const QHash<QString, QSerialPort::Parity> parity = {
        {QStringLiteral("None"), QSerialPort::NoParity},   {QStringLiteral("Odd"), QSerialPort::OddParity},
        {QStringLiteral("Even"), QSerialPort::EvenParity}, {QStringLiteral("Mark"), QSerialPort::MarkParity},
        {QStringLiteral("Space"), QSerialPort::SpaceParity}};
    m_port.setParity(parity.value(s.parity, QSerialPort::NoParity));
    // "Custom" flow control means the modem lines are left to the program: no handshake.
    if (s.flowControl == QStringLiteral("Hardware"))
        m_port.setFlowControl(QSerialPort::HardwareControl);
    else if (s.flowControl == QStringLiteral("Software"))
        m_port.setFlowControl(QSerialPort::SoftwareControl);
    else
        m_port.setFlowControl(QSerialPort::NoFlowControl);
}

void ComPort::open()
{
    if (m_port.isOpen())
        return;
    m_port.setPortName(m_settings.port);
    applySettings();
    if (!m_port.open(QIODevice::ReadWrite))
        throw PortError(QStringLiteral("%1: %2").arg(m_settings.port, m_port.errorString()));
    // Settings made before open are applied by open(); set them again for drivers that need it.
    applySettings();
    m_port.clear(QSerialPort::AllDirections);
    emit openChanged(true);
}

void ComPort::close()
{
    if (!m_port.isOpen())
        return;
    m_port.clear(QSerialPort::AllDirections);
    m_port.close();
    emit openChanged(false);
}

bool ComPort::isOpen() const
{
    return m_port.isOpen();
}

void ComPort::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        throw PortError(QStringLiteral("%1: порт не открыт").arg(m_settings.port));
    // The port hands the bytes to the driver from the event loop, when the driver can take
    // them; a driver that cannot take them now leaves them with the port, not an error.
    if (m_port.write(bytes) != bytes.size())
        throw PortError(QStringLiteral("%1: %2").arg(m_settings.port, m_port.errorString()));
}

QCoro::Task<void> ComPort::send(QByteArray bytes)
{
    m_port.clearError();
    write(bytes);
    const int limitMs = writeTimeoutMs(bytes.size());
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (!m_port.isOpen())
            throw PortError(QStringLiteral("%1: порт закрыт во время записи").arg(m_settings.port));
        if (m_port.error() == QSerialPort::WriteError) {
            const QString why = m_port.errorString();
            m_port.clearError();
            m_port.clear(QSerialPort::Output);
            throw PortError(QStringLiteral("%1: %2").arg(m_settings.port, why));
        }
        const qint64 held = m_port.bytesToWrite();
        const qint64 pending = pendingOutput();
        if (pending == 0)
            co_return;
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0) {
            // Nothing pending may go out later, in the middle of another exchange.
            m_port.clear(QSerialPort::Output);
            qCWarning(lcPort) << "write time-out:" << pending << "of" << bytes.size() << "bytes still pending after"
                              << limitMs << "ms";
            throw PortError(
                QStringLiteral("%1: запись не завершилась за %2 мс (линия занята?)").arg(m_settings.port).arg(limitMs));
        }
        // Bytes the port still holds go to the driver when it takes them (bytesWritten); bytes in
        // the driver's queue leave at the line speed, so look again when they should have left.
        int ms = static_cast<int>(left);
        if (held == 0)
            ms = std::min(ms, std::max(1, static_cast<int>(std::ceil(pending * characterMicros() / 1000.0))));
        OneShot<> wake(OneShot<>::Resume::FromEventLoop);
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, wake.context(), [&wake] { wake.fire(); });
        connect(&m_port, &QSerialPort::bytesWritten, wake.context(), [&wake] { wake.fire(); });
        connect(&m_port, &QSerialPort::errorOccurred, wake.context(), [&wake] { wake.fire(); });
        connect(this, &ComPort::openChanged, wake.context(), [&wake] { wake.fire(); });
        timer.start(ms);
        co_await wake.wait();
    }
}

qint64 ComPort::pendingOutput() const
{
    if (!m_port.isOpen())
        return 0;
    int driver = 0;
    if (::ioctl(m_port.handle(), TIOCOUTQ, &driver) != 0)
        driver = 0;
    return m_port.bytesToWrite() + driver;
}

QByteArray ComPort::read(int n)
{
    if (!m_port.isOpen() || n <= 0)
        return {};
    return m_port.read(n);
}

qint64 ComPort::queuedBytes() const
{
    if (!m_port.isOpen())
        return 0;
    int driver = 0;
    if (::ioctl(m_port.handle(), FIONREAD, &driver) != 0)
        driver = 0;
    return m_port.bytesAvailable() + driver;
}

qint64 ComPort::discardInput()
{
    if (!m_port.isOpen())
        return 0;
    const qint64 n = queuedBytes();
    if (n > 0)
        m_port.clear(QSerialPort::Input);
    return n;
}

void ComPort::setSpeed(int baud)
{
    // A custom speed stays custom while the port runs at it, so the settings file keeps "Custom".
    const bool sameCustom = m_settings.baudRate == QStringLiteral("Custom") && m_settings.customBaudRate == baud;
    if (!sameCustom) {
        const bool custom = !baudRateTexts().contains(QString::number(baud));
        m_settings.baudRate = custom ? QStringLiteral("Custom") : QString::number(baud);
        if (custom)
            m_settings.customBaudRate = baud;
    }
    if (m_port.isOpen() && !m_port.setBaudRate(baud))
        throw PortError(QStringLiteral("%1: %2").arg(m_settings.port, m_port.errorString()));
}

void ComPort::setDtr(bool on)
{
    if (!m_port.isOpen())
        throw PortError(QStringLiteral("%1: порт не открыт").arg(m_settings.port));
    if (!m_port.setDataTerminalReady(on)) {
        const QString why = m_port.errorString();
        m_port.clearError();
        throw PortError(QStringLiteral("%1: линия DTR недоступна (%2)").arg(m_settings.port, why));
    }
}

void ComPort::setRts(bool on)
{
    if (!m_port.isOpen())
        throw PortError(QStringLiteral("%1: порт не открыт").arg(m_settings.port));
    if (!m_port.setRequestToSend(on)) {
        const QString why = m_port.errorString();
        m_port.clearError();
        throw PortError(QStringLiteral("%1: линия RTS недоступна (%2)").arg(m_settings.port, why));
    }
}

double ComPort::characterMicros() const
{
    const int baud = m_settings.baud() > 0 ? m_settings.baud() : 9600;
    return m_settings.bitsPerCharacter() * 1e6 / baud;
}

} // namespace qlx
