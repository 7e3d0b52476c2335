// The transaction layer: one request, at most one answer, one answer wait.
//
// Only one exchange is ever on the line. An exchange requested while another
// one waits for its answer is queued and runs right after it, in the order of
// the requests; each caller gets its own answer.
//
// A request is written whole before its wait begins: the port's write
// finishes when the bytes have left the driver, and raises PortError when they
// do not leave within the write time-out. The answer wait is one `Timer_delay`
// interval from there.
//
// An answer counts only when it carries the request's address and function
// code (or the 5-byte exception form, function | 0x80), has the length the
// request implies and a valid checksum. Bytes ahead of it (noise, a frame of
// another node or for another request) are dropped and counted; the exchange
// goes on waiting within its wait. With FastSpeed on it ends as soon as its
// answer is complete, otherwise at the end of the wait. When no answer came,
// the caller gets what did arrive (at most its cap), so its own checks name
// the fault ("Bad CRC", "Bad nomer", "Bad command"), or nothing ("Time Out").
// A request whose answer length cannot be told (an unknown function code)
// gets whatever arrived within the wait. Broadcasts read nothing.
//
// Before a request goes out the line must have been silent for 3.5
// characters; whatever is still queued in the receiver is thrown away. After
// an exchange that got no answer, the late answer may still be on its way, so
// the line is kept quiet for one more answer wait, plus the time adapters may
// hold received bytes back (kDeliveryAllowanceMs) and the time of the request
// and its answer on the wire, restarted by every byte that arrives meanwhile
// (bytes the driver holds count as arriving). An answer that a node begins up
// to twice the answer wait after the request is therefore never returned to a
// later request: the exchange it belonged to shows "Time Out", and the bytes
// are discarded. Lateness is never judged by when the event loop sees the
// bytes, so an adapter that delivers in batches or a busy loop cannot let a
// late answer through or drop a fresh one. Discarded and dropped bytes are
// counted in the line statistics.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <coroutine>
#include <deque>

namespace qlx {

class ComPort;

// Sends of the request so far in the running `SendReadCom`; 0 at rest.
extern int retry_count;

// How long a serial adapter may hold received bytes before it hands them over
// (USB adapters deliver in batches, 16 ms apart by default), with a margin.
inline constexpr int kDeliveryAllowanceMs = 40;

// The longest frame a node can send: address, function, 252 data bytes, checksum.
inline constexpr int kLongestFrame = 256;

struct LineStatistics {
    quint64 exchanges = 0;      // requests sent by exchanges (broadcasts included)
    quint64 answered = 0;       // exchanges that received at least one byte
    quint64 silent = 0;         // exchanges that received nothing
    quint64 unmatched = 0;      // exchanges that received bytes but not their answer
    quint64 earlyEnds = 0;      // exchanges ended before the full wait (FastSpeed)
    quint64 droppedBytes = 0;   // bytes received ahead of an exchange's answer, not part of it
    quint64 discardedBytes = 0; // bytes thrown away outside an answer: before a request, after an answer
    quint64 quietWaits = 0;     // requests held back until a late answer could no longer come
};

class Transaction : public QObject {
    Q_OBJECT
public:
    explicit Transaction(ComPort &port, QObject *parent = nullptr);
    ~Transaction() override;

    ComPort &port() { return m_port; }

    // The answer wait (`Timer_delay` interval, "TimOut"), milliseconds.
    void setAnswerWait(int ms);
    int answerWait() const { return m_answerWait; }

    // "Сократить время ожидания": end an exchange once its complete answer is in.
    void setFastSpeed(bool on) { m_fastSpeed = on; }
    bool fastSpeed() const { return m_fastSpeed; }

    const LineStatistics &statistics() const { return m_stats; }
    // True while an exchange is on the line or queued.
    bool busy() const { return m_busy; }

    // Writes the request, waits one answer wait, returns what arrived (at most cap bytes).
    // Raises PortError when the port is not open.
    QCoro::Task<QByteArray> Timed_exchange(QByteArray request, int cap);
    // Timed exchange with the cap 10, repeated while the answer fails its checksum,
    // at most six sends; empty when nothing (or nothing valid) came back.
    QCoro::Task<QByteArray> SendReadCom(QByteArray request);
    // Writes a frame that nobody answers (a broadcast) and waits one answer wait.
    QCoro::Task<void> Send_and_wait(QByteArray frame);

    // Length of the complete answer to `request`, judged from its function code and the
    // first bytes of the answer (`head`); -1 while it cannot be told yet or at all.
    static int expected_answer_length(const QByteArray &request, const QByteArray &head);

    // How long the line stays quiet after an exchange that got no answer, when nothing
    // arrives meanwhile, in microseconds.
    qint64 quietMicros(const QByteArray &request, int cap) const;

signals:
    // Every finished exchange with what it received (empty for silence or a broadcast).
    void exchanged(const QByteArray &request, const QByteArray &answer);

private:
    struct TurnAwaiter;
    struct TurnGuard;

    QCoro::Task<QByteArray> exchange(QByteArray request, int cap, bool readAnswer);
    QCoro::Task<void> keepQuiet();
    void release();
    qint64 nowMicros() const { return m_clock.nsecsElapsed() / 1000; }

    ComPort &m_port;
    int m_answerWait = 100;
    bool m_fastSpeed = false;
    QTimer Timer_delay;
    QElapsedTimer m_clock;
    qint64 m_lastActivityMicros = -1'000'000'000; // last bytes seen on the line, or the end of a wait
    bool m_busy = false;
    qint64 m_quietMicros = 0; // non-zero: the last exchange got no answer; quiet this long before the next
    std::deque<std::coroutine_handle<>> m_waiters;
    LineStatistics m_stats;
};

} // namespace qlx
