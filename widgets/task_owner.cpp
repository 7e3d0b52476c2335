#include "widgets/task_owner.h"

#include "widgets/dialog_seam.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QWidget>

#include <exception>
#include <optional>

namespace qlx {

namespace {

Q_LOGGING_CATEGORY(lcTasks, "quorlex.tasks", QtWarningMsg)

bool finished(const QCoro::Task<void> &task)
{
    return task.isReady();
}

// The process-wide keeper of tasks whose owner went away while they were
// suspended. Never freed: a frame still suspended when the program ends is left
// alone rather than unwound against objects already gone.
std::list<QCoro::Task<void>> &orphans()
{
    static auto *tasks = new std::list<QCoro::Task<void>>;
    return *tasks;
}

// Drops the finished orphans from the event loop, never inside the frame that just ended.
void dropFinishedOrphansLater()
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { orphans().remove_if(finished); }, Qt::QueuedConnection);
}

} // namespace

TaskOwner::TaskOwner(QWidget *window, QObject *parent)
    : TaskOwner(
          [window = QPointer<QWidget>(window)](const QString &what) { report_general_error(window.data(), what); },
          parent)
{
}

TaskOwner::TaskOwner(ErrorHandler onError, QObject *parent)
    : QObject(parent),
      m_onError(std::move(onError))
{
}

TaskOwner::~TaskOwner()
{
    orphans().remove_if(finished);
    m_tasks.remove_if(finished);
    orphans().splice(orphans().end(), m_tasks);
}

void TaskOwner::start(QCoro::Task<void> task)
{
    m_tasks.remove_if(finished);
    QCoro::Task<void> watched = watch(std::move(task), QPointer<TaskOwner>(this));
    if (!watched.isReady())
        m_tasks.push_back(std::move(watched));
}

QCoro::Task<void> TaskOwner::watch(QCoro::Task<void> task, QPointer<TaskOwner> owner)
{
    std::optional<QString> failure;
    try {
        co_await task;
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    } catch (...) {
        failure = QStringLiteral("unknown exception");
    }
    if (failure) {
        if (owner)
            owner->report(*failure);
        else
            qCCritical(lcTasks) << "a task failed after its owner was gone:" << *failure;
    }
    if (owner)
        QMetaObject::invokeMethod(owner.data(), &TaskOwner::dropFinished, Qt::QueuedConnection);
    else
        dropFinishedOrphansLater();
}

void TaskOwner::report(const QString &what)
{
    qCCritical(lcTasks) << "a task failed:" << what;
    if (m_onError)
        m_onError(what);
}

void TaskOwner::dropFinished()
{
    m_tasks.remove_if(finished);
    emit taskFinished();
}

int TaskOwner::runningTasks() const
{
    int n = 0;
    for (const QCoro::Task<void> &task : m_tasks)
        n += task.isReady() ? 0 : 1;
    return n;
}

int TaskOwner::orphanedTasks()
{
    int n = 0;
    for (const QCoro::Task<void> &task : orphans())
        n += task.isReady() ? 0 : 1;
    return n;
}

} // namespace qlx
