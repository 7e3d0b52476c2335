// The one owner of detached coroutines: the commands a window or the
// application starts and does not wait for (a scan, a dialog's question, a
// speed change).
//
// The owner keeps every task it started until the task finishes, so the task's
// frame outlives the command that started it. An exception that escapes a task
// is reported through the error handler given at construction; by default that
// is the application's general error message over the owner's window. The
// error is always logged (category "quorlex.tasks").
//
// The owner never destroys a task that is still suspended: its frame may be
// known to others by a raw coroutine handle (the transaction layer queues its
// callers so), and destroying it would leave that handle dangling. When the
// owner goes away with its window, such a task is handed to a process-wide
// keeper that lets it finish and drops it then; its error, if any, is logged
// only, since the handler belonged to the window. A task that touches its
// window after a `co_await` checks a QPointer to the window first.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <list>

#include <qcoro/qcorotask.h>

class QWidget;

namespace qlx {

class TaskOwner : public QObject {
    Q_OBJECT
public:
    // Receives the text of an exception that escaped a task.
    using ErrorHandler = std::function<void(const QString &what)>;

    // Reports an escaping exception with `report_general_error(window, what)`.
    explicit TaskOwner(QWidget *window, QObject *parent = nullptr);
    // Reports an escaping exception through `onError`.
    explicit TaskOwner(ErrorHandler onError, QObject *parent = nullptr);
    // Tasks still suspended go to the process-wide keeper; none is destroyed.
    ~TaskOwner() override;

    // Keeps `task` (already started, as QCoro tasks are) until it finishes. A
    // task that already finished is reported at once.
    void start(QCoro::Task<void> task);

    // Tasks started here and not finished yet.
    int runningTasks() const;

    // Tasks whose owner went away while they were suspended and that still run.
    static int orphanedTasks();

signals:
    // A task of this owner finished; its error, if any, was reported before.
    // Emitted from the event loop, once the task has been dropped.
    void taskFinished();

private:
    static QCoro::Task<void> watch(QCoro::Task<void> task, QPointer<TaskOwner> owner);
    void report(const QString &what);
    void dropFinished();

    ErrorHandler m_onError;
    std::list<QCoro::Task<void>> m_tasks;
};

} // namespace qlx
