// The line: the pseudo-terminal (or device) it is served on, the receiver
// that cuts frames out of the byte stream, and the nodes hanging on it.
#include "tools/sim/line_simulator.h"

#include "base/unit_crc.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qlx::sim {

namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kSilenceWithoutWireNs = 1 * kNsPerMs;
constexpr int kMaxFrameBytes = 1024;   // a longer burst is garbage anyway; keep the tail out

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

int baudOfSpeed(speed_t speed)
{
    switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    default: return 0;
    }
}

// 1 start bit + data bits + parity bit if any + 1 or 2 stop bits.
int bitsPerCharOf(const termios &t)
{
    int data = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5: data = 5; break;
    case CS6: data = 6; break;
    case CS7: data = 7; break;
    default: data = 8; break;
    }
    return 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
}

} // namespace

LineSimulator::LineSimulator(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &LineSimulator::onFrameTimer);
    m_deliveryTimer.setSingleShot(true);
    m_deliveryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_deliveryTimer, &QTimer::timeout, this, &LineSimulator::onDeliveryTimer);
}

LineSimulator::~LineSimulator()
{
    m_nodes.clear();
    close();
}

bool LineSimulator::openPty(QString *error)
{
    close();
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        if (error)
            *error = systemError(QStringLiteral("posix_openpt"));
        return false;
    }
    char name[256] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        if (error)
            *error = systemError(QStringLiteral("cannot prepare the pseudo-terminal"));
        ::close(master);
        return false;
    }
    // Our own slave descriptor, never read: while it is open the master does
    // not see a hang-up when the station has not opened the line yet or closes it.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        if (error)
            *error = systemError(QString::fromLocal8Bit(name));
        ::close(master);
        return false;
    }
    // Master and slave share one set of terminal settings. Start raw at
    // 9600 8N1 so that plain terminal tools work too; the station sets its own.
    termios t{};
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(master, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    m_fd = master;
    m_slaveFd = slave;
    m_stationPath = QString::fromLocal8Bit(name);
    m_devicePath = m_stationPath;
    startNotifiers();
    return true;
}

bool LineSimulator::openDevice(const QString &path, QString *error)
{
    close();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = systemError(path);
        return false;
    }
    auto saved = std::make_unique<termios>();
    if (tcgetattr(fd, saved.get()) != 0) {
        if (error)
            *error = systemError(path);
        ::close(fd);
        return false;
    }
    // Raw input and output, but keep the speed and character format the
    // device was given: those are the line's.
    termios t = *saved;
    cfmakeraw(&t);
    t.c_cflag = saved->c_cflag | CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);

    m_fd = fd;
    m_savedTermios = std::move(saved);
    m_stationPath.clear();
    m_devicePath = path;
    startNotifiers();
    return true;
}

void LineSimulator::startNotifiers()
{
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &LineSimulator::onReadable);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &LineSimulator::onWritable);
    m_readNotifier->setEnabled(m_receiving);
}

void LineSimulator::setReceiving(bool on)
{
    m_receiving = on;
    if (m_readNotifier)
        m_readNotifier->setEnabled(on);
}

void LineSimulator::close()
{
    if (!m_linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(m_linkPath);
        char target[512] = {};
        const ssize_t n = readlink(link.constData(), target, sizeof target - 1);
        if (n > 0 && QString::fromLocal8Bit(target, n) == m_stationPath)
            unlink(link.constData());
        m_linkPath.clear();
    }
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_frameTimer.stop();
    m_deliveryTimer.stop();
    m_rx.clear();
    m_tx.clear();
    m_held.clear();
    if (m_fd >= 0) {
        if (m_savedTermios)
            tcsetattr(m_fd, TCSANOW, m_savedTermios.get());
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_slaveFd >= 0) {
        ::close(m_slaveFd);
        m_slaveFd = -1;
    }
    m_savedTermios.reset();
    m_stationPath.clear();
    m_devicePath.clear();
}

bool LineSimulator::makeLink(const QString &linkPath, QString *error)
{
    if (m_stationPath.isEmpty()) {
        if (error)
            *error = QStringLiteral("no pseudo-terminal to link to");
        return false;
    }
    const QByteArray link = QFile::encodeName(linkPath);
    struct stat st {};
    if (lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
        return false;
    }
    // Make the new link beside the old one and rename it over: the path never
    // goes missing and a stale link from an earlier run is replaced.
    const QByteArray temporary = link + ".new" + QByteArray::number(getpid());
    unlink(temporary.constData());
    if (symlink(QFile::encodeName(m_stationPath).constData(), temporary.constData()) != 0
        || rename(temporary.constData(), link.constData()) != 0) {
        if (error)
            *error = systemError(linkPath);
        unlink(temporary.constData());
        return false;
    }
    if (!m_linkPath.isEmpty() && m_linkPath != linkPath)
        unlink(QFile::encodeName(m_linkPath).constData());
    m_linkPath = linkPath;
    return true;
}

Node *LineSimulator::addNode(const NodeConfig &config)
{
    auto &slot = m_nodes[config.address];
    slot.reset();
    slot = std::make_unique<Node>(this, config);
    return slot.get();
}

Node *LineSimulator::node(int address) const
{
    const auto it = m_nodes.find(address);
    return it == m_nodes.end() ? nullptr : it->second.get();
}

void LineSimulator::removeNode(int address)
{
    m_nodes.erase(address);
}

QList<int> LineSimulator::addresses() const
{
    QList<int> out;
    for (const auto &[address, node] : m_nodes)
        out.append(address);
    return out;
}

bool LineSimulator::readLineSettings(int *baud, int *bits) const
{
    termios t{};
    if (m_fd < 0 || tcgetattr(m_fd, &t) != 0)
        return false;
    *baud = baudOfSpeed(cfgetospeed(&t));
    *bits = bitsPerCharOf(t);
    return true;
}

int LineSimulator::lineBaud() const
{
    int baud = 0;
    int bits = 0;
    return readLineSettings(&baud, &bits) ? baud : 0;
}

int LineSimulator::bitsPerChar() const
{
    int baud = 0;
    int bits = 0;
    return readLineSettings(&baud, &bits) ? bits : 0;
}

double LineSimulator::charTimeMs() const
{
    int baud = 0;
    int bits = 0;
    return readLineSettings(&baud, &bits) && baud > 0 ? 1000.0 * bits / baud : 0.0;
}

void LineSimulator::armAt(QTimer &timer, qint64 dueNs)
{
    const qint64 remaining = dueNs - elapsedNs();
    const qint64 ms = remaining <= 0 ? 0 : (remaining + kNsPerMs - 1) / kNsPerMs;
    timer.start(static_cast<int>(ms));
}

void LineSimulator::onReadable()
{
    QByteArray chunk;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            chunk.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // The device went away: stop listening rather than spin on it.
            qWarning("quorlex-sim: reading %s failed: %s", qPrintable(m_devicePath),
                     n == 0 ? "end of file" : std::strerror(errno));
            m_readNotifier->setEnabled(false);
        }
        break;
    }
    if (chunk.isEmpty())
        return;

    const qint64 now = elapsedNs();
    int baud = 0;
    int bits = 0;
    readLineSettings(&baud, &bits);
    const double charNs = baud > 0 ? 1e9 * bits / baud : 0.0;

    if (m_rx.isEmpty()) {
        m_rxBaud = baud;
        m_rxCharNs = charNs;
        m_rxMixed = false;
        m_rxFirstNs = now;
    } else if (baud != m_rxBaud || charNs != m_rxCharNs) {
        m_rxMixed = true;
    }
    m_rx.append(chunk.left(kMaxFrameBytes - m_rx.size()));

    // The pty hands bytes over at once; a real wire takes n character times
    // for them, after whatever it was still sending.
    if (m_wireTime && charNs > 0) {
        m_wireEndNs = std::max(now, m_wireEndNs) + std::llround(chunk.size() * charNs);
        m_frameEndNs = m_wireEndNs + std::llround(3.5 * charNs);
    } else {
        m_wireEndNs = now;
        m_frameEndNs = now + kSilenceWithoutWireNs;
    }
    armAt(m_frameTimer, m_frameEndNs);
}

void LineSimulator::onFrameTimer()
{
    if (elapsedNs() < m_frameEndNs) {
        armAt(m_frameTimer, m_frameEndNs);
        return;
    }
    const QByteArray frame = m_rx;
    m_rx.clear();
    if (frame.isEmpty())
        return;

    // Garbage, a damaged or too short frame, or one whose speed changed on the
    // way is dropped by every node without a word.
    const bool intact = !m_rxMixed && frame.size() >= 4 && crc_ok(frame);
    bool heard = false;
    if (intact) {
        for (auto &[address, node] : m_nodes) {
            if (node->takeFrame(frame, m_rxBaud, m_rxCharNs, m_frameEndNs))
                heard = true;
        }
    }
    m_frames.append(FrameRecord{frame, m_rxBaud, m_rxFirstNs / kNsPerMs, heard});
    if (m_recordLimit > 0 && m_frames.size() > m_recordLimit)
        m_frames.remove(0, m_frames.size() - m_recordLimit);
    emit frameReceived(frame, m_rxBaud);
}

void LineSimulator::noteServed(const ServedValue &served)
{
    m_served.append(served);
    if (m_recordLimit > 0 && m_served.size() > m_recordLimit)
        m_served.remove(0, m_served.size() - m_recordLimit);
}

void LineSimulator::sendAnswer(const QByteArray &answer)
{
    emit answerSent(answer);
    transmit(answer);
}

void LineSimulator::transmit(const QByteArray &bytes)
{
    if (m_fd < 0)
        return;
    if (m_held.isEmpty()) {
        if (m_deliveryDelayMs <= 0) {
            deliver(bytes);
            return;
        }
        // The first bytes of a batch start the adapter's latency timer.
        m_deliveryDueNs = elapsedNs() + std::llround(m_deliveryDelayMs * kNsPerMs);
        armAt(m_deliveryTimer, m_deliveryDueNs);
    }
    m_held.append(bytes);
}

void LineSimulator::onDeliveryTimer()
{
    if (elapsedNs() < m_deliveryDueNs) {
        armAt(m_deliveryTimer, m_deliveryDueNs);
        return;
    }
    if (!m_held.isEmpty())
        deliver(std::exchange(m_held, {}));
}

void LineSimulator::deliver(const QByteArray &bytes)
{
    m_tx.append(bytes);
    onWritable();
    emit delivered(bytes);
}

void LineSimulator::onWritable()
{
    while (!m_tx.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_tx.constData(), static_cast<size_t>(m_tx.size()));
        if (n > 0) {
            m_tx.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            qWarning("quorlex-sim: writing %s failed: %s", qPrintable(m_devicePath), std::strerror(errno));
            m_tx.clear();
        }
        break;
    }
    // Whatever the line could not take now goes out when it has room again.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_tx.isEmpty());
}

} // namespace qlx::sim
