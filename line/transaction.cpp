#include "line/transaction.h"

#include "line/comport.h"
#include "base/logging.h"
#include "base/one_shot.h"
#include "base/unit_procedure.h"
#include "base/unit_crc.h"

#include <algorithm>
#include <cmath>

namespace qlx {

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

QCoro::Task<void> Transaction::keepSilence()
{
    // 3.5 characters of silence end a frame; one millisecond more covers the timer's granularity.
    const qint64 gap = static_cast<qint64>(std::ceil(3.5 * m_port.characterMicros())) + 1000;
    const qint64 giveUpAt = nowMicros() + qint64(m_answerWait) * 1000 + gap;
    for (;;) {
        const qint64 now = nowMicros();
        const qint64 left = m_lastActivityMicros + gap - now;
        if (left <= 0 || now >= giveUpAt)
            co_return;
        co_await service_events(static_cast<int>((left + 999) / 1000));
    }
}

QCoro::Task<QByteArray> Transaction::exchange(QByteArray request, int cap, bool readAnswer)
{
    co_await TurnAwaiter{this};
    TurnGuard turn{this};

    co_await keepSilence();
    if (const qint64 stale = m_port.discardInput(); stale > 0) {
        m_stats.discardedBytes += static_cast<quint64>(stale);
        qCDebug(lcLine) << "discarded" << stale << "stale bytes before" << bytes_to_hex(request);
    }

    m_port.write(request); // raises PortError on a closed port
    ++m_stats.exchanges;
    const qint64 sentAt = nowMicros();
    m_lastActivityMicros = sentAt + static_cast<qint64>(request.size() * m_port.characterMicros());

    // After an exchange that got no complete answer, that answer may still be on its way.
    // Bytes that begin to arrive before the node can even have heard the whole request
    // (its wire time plus the 3.5 characters that end it) are that late answer: they
    // are dropped, with the rest of their frame, instead of being taken for this answer.
    const double charMicros = m_port.characterMicros();
    const qint64 gap = static_cast<qint64>(std::ceil(3.5 * charMicros));
    const qint64 staleUntil =
        m_lastIncomplete ? sentAt + static_cast<qint64>(request.size() * charMicros) + gap : sentAt;
    qint64 lastStaleAt = -1;
    const bool early = m_fastSpeed && readAnswer && cap > 0;

    // The wait ends at the first of the tick and the complete answer, inside that signal.
    OneShot<> wake(OneShot<>::Resume::Directly);
    // The connections go with the wait's frame; they end with the wait itself.
    const QMetaObject::Connection onTick =
        connect(&Timer_delay, &QTimer::timeout, wake.context(), [&wake] { wake.fire(); });
    const QMetaObject::Connection onData = connect(&m_port, &ComPort::readyRead, wake.context(), [&] {
        const qint64 now = nowMicros();
        if (now < staleUntil || (lastStaleAt >= 0 && now - lastStaleAt < gap)) {
            m_stats.discardedBytes += static_cast<quint64>(m_port.discardInput());
            lastStaleAt = now;
            return;
        }
        if (!early)
            return;
        const QByteArray head = m_port.device().peek(3);
        const int expected = expected_answer_length(request, head);
        if (expected > 0 && m_port.device().bytesAvailable() >= std::min(expected, cap))
            wake.fire();
    });
    Timer_delay.start();
    co_await wake.wait();
    disconnect(onTick);
    disconnect(onData);
    if (Timer_delay.isActive()) {
        Timer_delay.stop();
        ++m_stats.earlyEnds;
    }

    QByteArray answer;
    if (readAnswer) {
        // Bytes the driver already holds but the event loop has not handed over yet (a busy
        // loop can run the wait's tick first) arrived within the wait: let them in.
        for (int turn = 0; turn < 2 && m_port.queuedBytes() > m_port.device().bytesAvailable(); ++turn)
            co_await service_events(0);
        answer = m_port.read(cap);
        const int expected = expected_answer_length(request, answer);
        m_lastIncomplete = answer.isEmpty() || (expected > 0 && answer.size() < std::min(expected, cap));
        if (!answer.isEmpty())
            ++m_stats.answered;
        else
            ++m_stats.silent;
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
