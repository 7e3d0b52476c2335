#include "line/transaction.h"

#include "line/comport.h"
#include "base/logging.h"
#include "base/one_shot.h"
#include "base/unit_procedure.h"
#include "base/unit_crc.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace qlx {

namespace {

// How long past its quiet a line that keeps receiving bytes may hold a request back.
constexpr qint64 kBabbleLimitMicros = 2'000'000;

} // namespace

int retry_count = 0;

struct Transaction::TurnAwaiter {
    Transaction *line;
    bool await_ready() const noexcept
    {
        if (line->m_busy)
            return false;
        line->m_busy = true;
        return true;
    }
    void await_suspend(std::coroutine_handle<> h) { line->m_waiters.push_back(h); }
    void await_resume() const noexcept {}
};

struct Transaction::TurnGuard {
    Transaction *line;
    ~TurnGuard() { line->release(); }
};

Transaction::Transaction(ComPort &port, QObject *parent)
    : QObject(parent),
      m_port(port)
{
    Timer_delay.setTimerType(Qt::PreciseTimer);
    Timer_delay.setSingleShot(true); // its tick only ends the wait
    Timer_delay.setInterval(m_answerWait);
    m_clock.start();
    connect(&m_port, &ComPort::readyRead, this, [this] { m_lastActivityMicros = nowMicros(); });
}

Transaction::~Transaction() = default;

void Transaction::setAnswerWait(int ms)
{
    m_answerWait = std::max(ms, 0);
    Timer_delay.setInterval(m_answerWait);
}

void Transaction::release()
{
    if (m_waiters.empty()) {
        m_busy = false;
        return;
    }
    // The turn passes straight to the next caller; it resumes from the event loop,
    // never inside the frame of the exchange that just ended.
    const std::coroutine_handle<> next = m_waiters.front();
    m_waiters.pop_front();
    QMetaObject::invokeMethod(this, [next] { next.resume(); }, Qt::QueuedConnection);
}

int Transaction::expected_answer_length(const QByteArray &request, const QByteArray &head)
{
    if (request.size() < 2)
        return -1;
    const auto function = static_cast<quint8>(request[1]);
    if (head.size() >= 2 && static_cast<quint8>(head[1]) == (function | 0x80))
        return 5; // exception answer: address, function | 0x80, code, CRC
    switch (function) {
    case 0x03:
        if (request.size() < 6)
            return -1;
        return 5 + 2 * ((static_cast<quint8>(request[4]) << 8) | static_cast<quint8>(request[5]));
    case 0x08:
    case 0x10:
        return 8;
    case 0x11:
        return head.size() >= 3 ? static_cast<quint8>(head[2]) + 5 : -1;
    default:
        return -1;
    }
}

qint64 Transaction::quietMicros(const QByteArray &request, int cap) const
{
    // The node may begin its answer up to one more answer wait after this one ended; the
    // adapter may hold it back a while; the request may still have been on the wire when
    // the driver reported it sent (a UART's FIFO), and the answer takes its own wire time.
    // No frame on the line is longer than 256 bytes, whatever a hand-made request asks for.
    const int answerBytes = std::min(kLongestFrame, std::max(cap, expected_answer_length(request, {})));
    const double wireMicros = (request.size() + answerBytes + 3.5) * m_port.characterMicros();
    return (qint64(m_answerWait) + kDeliveryAllowanceMs) * 1000 + static_cast<qint64>(std::ceil(wireMicros));
}

QCoro::Task<void> Transaction::keepQuiet()
{
    // 3.5 characters of silence end a frame; one millisecond more covers the timer's granularity.
    const qint64 gap = static_cast<qint64>(std::ceil(3.5 * m_port.characterMicros())) + 1000;
    const bool lateAnswerPossible = m_quietMicros > 0;
    const qint64 quiet = std::max(m_quietMicros, gap);
    m_quietMicros = 0;
    // A line that never falls silent (a babbling node) does not stop the station for good:
    // past this point the request goes out anyway.
    const qint64 giveUpAt =
        nowMicros() + quiet + (lateAnswerPossible ? kBabbleLimitMicros : qint64(m_answerWait) * 1000);
    bool heldBack = false;
    for (;;) {
        // Bytes the driver holds and the event loop has not seen yet are arriving now.
        const qint64 unseen = m_port.queuedBytes() - m_port.device().bytesAvailable();
        if (const qint64 stale = m_port.discardInput(); stale > 0) {
            m_stats.discardedBytes += static_cast<quint64>(stale);
            qCDebug(lcLine) << "discarded" << stale << "stale bytes";
        }
        const qint64 now = nowMicros();
        if (unseen > 0)
            m_lastActivityMicros = now;
        const qint64 left = m_lastActivityMicros + quiet - now;
        if (left <= 0)
            break;
        if (now >= giveUpAt) {
            qCWarning(lcLine) << "the line does not fall silent; sending anyway";
            break;
        }
        heldBack = heldBack || lateAnswerPossible;
        co_await service_events(static_cast<int>((std::min(left, giveUpAt - now) + 999) / 1000));
    }
    if (heldBack)
        ++m_stats.quietWaits;
}

namespace {

struct Span {
    int at = 0;
    int length = 0;
};

// The first frame in `bytes` that answers `request`: its address, its function code or
// the exception form of it, the length the request implies, a valid checksum.
std::optional<Span> find_answer(const QByteArray &request, const QByteArray &bytes)
{
    if (request.size() < 2)
        return std::nullopt;
    const auto function = static_cast<quint8>(request[1]);
    for (int i = 0; i + 1 < bytes.size(); ++i) {
        const auto f = static_cast<quint8>(bytes[i + 1]);
        if (bytes[i] != request[0] || (f != function && f != (function | 0x80)))
            continue;
        const QByteArray from = bytes.mid(i);
        const int length = Transaction::expected_answer_length(request, from);
        if (length >= 4 && from.size() >= length && crc_ok(from.left(length)))
            return Span{i, length};
    }
    return std::nullopt;
}

} // namespace

QCoro::Task<QByteArray> Transaction::exchange(QByteArray request, int cap, bool readAnswer)
{
    co_await TurnAwaiter{this};
    TurnGuard turn{this};

    co_await keepQuiet();
    try {
        co_await m_port.send(request); // raises PortError on a closed port or a stalled write
    } catch (const PortError &) {
        if (m_port.isOpen()) {
            // Part of the request may have gone out, and its answer may still come.
            m_quietMicros = quietMicros(request, cap);
            m_lastActivityMicros = nowMicros();
        }
        throw;
    }
    ++m_stats.exchanges;
    const qint64 sentAt = nowMicros();
    m_lastActivityMicros = std::max(m_lastActivityMicros, sentAt);

    QByteArray received;
    std::optional<Span> found;
    const bool early = m_fastSpeed && readAnswer;

    // The wait ends at the first of the tick and (with FastSpeed) the complete answer,
    // inside that signal.
    OneShot<> wake(OneShot<>::Resume::Directly);
    const auto take = [&] {
        received += m_port.device().readAll();
        if (!found)
            found = find_answer(request, received);
        if (found && early)
            wake.fire();
    };
    // The connections go with the wait's frame; they end with the wait itself.
    const QMetaObject::Connection onTick =
        connect(&Timer_delay, &QTimer::timeout, wake.context(), [&wake] { wake.fire(); });
    QMetaObject::Connection onData;
    if (readAnswer)
        onData = connect(&m_port, &ComPort::readyRead, wake.context(), take);
    Timer_delay.start();
    if (readAnswer)
        take(); // a fast node's answer may be in already
    co_await wake.wait();
    disconnect(onTick);
    disconnect(onData);
    if (Timer_delay.isActive()) {
        Timer_delay.stop();
        ++m_stats.earlyEnds;
    }

    QByteArray answer;
    if (readAnswer) {
        if (!found) {
            // Bytes the driver already holds but the event loop has not handed over yet (a busy
            // loop can run the wait's tick first) arrived within the wait: let them in.
            for (int turn = 0; turn < 2 && m_port.queuedBytes() > m_port.device().bytesAvailable(); ++turn)
                co_await service_events(0);
            take();
        }
        if (found) {
            answer = received.mid(found->at, found->length).left(cap);
            m_stats.droppedBytes += static_cast<quint64>(found->at);
            m_stats.discardedBytes += static_cast<quint64>(received.size() - found->at - answer.size());
            if (found->at > 0)
                qCDebug(lcLine) << "dropped" << bytes_to_hex(received.left(found->at)) << "ahead of the answer";
            ++m_stats.answered;
        } else {
            // Not its answer, or nothing: the caller's checks name what came. The answer
            // may still be on its way; the next request waits until it cannot come.
            answer = received.left(cap);
            m_stats.discardedBytes += static_cast<quint64>(received.size() - answer.size());
            m_quietMicros = quietMicros(request, cap);
            m_lastActivityMicros = std::max(m_lastActivityMicros, nowMicros());
            if (received.isEmpty()) {
                ++m_stats.silent;
            } else {
                ++m_stats.answered;
                ++m_stats.unmatched;
            }
        }
    }
    qCDebug(lcLine) << bytes_to_hex(request) << "->" << bytes_to_hex(answer) << "after"
                    << (nowMicros() - sentAt) / 1000.0 << "ms";
    emit exchanged(request, answer);
    co_return answer;
}

QCoro::Task<QByteArray> Transaction::Timed_exchange(QByteArray request, int cap)
{
    co_return co_await exchange(std::move(request), cap, true);
}

QCoro::Task<void> Transaction::Send_and_wait(QByteArray frame)
{
    co_await exchange(std::move(frame), 0, false);
}

QCoro::Task<QByteArray> Transaction::SendReadCom(QByteArray request)
{
    struct Reset {
        ~Reset() { retry_count = 0; }
    } reset;
    for (int send = 1;; ++send) {
        retry_count = send;
        const QByteArray answer = co_await Timed_exchange(request, 10);
        if (answer.isEmpty())
            co_return QByteArray();
        if (crc_ok(answer))
            co_return answer;
        if (send > 5)
            co_return QByteArray();
    }
}

} // namespace qlx
