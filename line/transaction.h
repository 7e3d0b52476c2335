// The transaction layer: one request, at most one answer, one answer wait.
//
// Only one exchange is ever on the line. An exchange requested while another
// one waits for its answer is queued and runs right after it, in the order of
// the requests; each caller gets its own answer.
//
// Before a request is sent the layer keeps 3.5 characters of silence after the
// last frame on the line and throws away whatever is still queued in the
// receiver (a late answer to an earlier request), so an exchange never returns
// bytes that arrived before its own request went out. After an exchange that got
// no complete answer it also drops a frame that begins before the node could have
// heard the new request: the late answer to the earlier one. Discarded bytes are
// counted in the line statistics.
//
// The answer wait is one `Timer_delay` interval. With FastSpeed on, an
// exchange ends as soon as the complete answer has arrived (its length is known
// from the request), and never later than the full wait.
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

struct LineStatistics {
    quint64 exchanges = 0;      // requests sent by exchanges (broadcasts included)
    quint64 answered = 0;       // exchanges that received at least one byte
    quint64 silent = 0;         // exchanges that received nothing
    quint64 earlyEnds = 0;      // exchanges ended before the full wait (FastSpeed)
    quint64 discardedBytes = 0; // stale bytes thrown away before a request
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

signals:
    // Every finished exchange with what it received (empty for silence or a broadcast).
    void exchanged(const QByteArray &request, const QByteArray &answer);

private:
    struct TurnAwaiter;
    struct TurnGuard;

    QCoro::Task<QByteArray> exchange(QByteArray request, int cap, bool readAnswer);
    QCoro::Task<void> keepSilence();
    void release();
    qint64 nowMicros() const { return m_clock.nsecsElapsed() / 1000; }

    ComPort &m_port;
    int m_answerWait = 100;
    bool m_fastSpeed = false;
    QTimer Timer_delay;
    QElapsedTimer m_clock;
    qint64 m_lastActivityMicros = -1'000'000'000; // end of the last frame seen on the line
    bool m_busy = false;
    bool m_lastIncomplete = false; // the last exchange got no complete answer
    std::deque<std::coroutine_handle<>> m_waiters;
    LineStatistics m_stats;
};

} // namespace qlx
