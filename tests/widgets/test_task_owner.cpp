// The owner of detached coroutines: an escaping exception reaches its handler
// (by default the general error message), and a task still suspended when its
// owner goes away is neither destroyed nor reported to the dead owner: it
// finishes later from the process-wide keeper.
#include "base/one_shot.h"
#include "widgets/dialog_seam.h"
#include "widgets/task_owner.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <coroutine>
#include <deque>
#include <memory>
#include <stdexcept>

using namespace qlx;

namespace {

// A queue of callers kept as raw coroutine handles, as the transaction layer
// keeps those waiting their turn on the line: a destroyed frame would dangle here.
class Turnstile {
public:
    auto turn()
    {
        struct Awaiter {
            Turnstile *gate;
            bool await_ready() const noexcept { return false; }
            void await_suspend(std::coroutine_handle<> h) { gate->m_waiting.push_back(h); }
            void await_resume() const noexcept {}
        };
        return Awaiter{this};
    }
    int waiting() const { return int(m_waiting.size()); }
    void letOneThrough()
    {
        const std::coroutine_handle<> next = m_waiting.front();
        m_waiting.pop_front();
        next.resume();
    }

private:
    std::deque<std::coroutine_handle<>> m_waiting;
};

QCoro::Task<void> failAfter(OneShot<> &shot, const char *what)
{
    co_await shot.wait();
    throw std::runtime_error(what);
}

QCoro::Task<void> failAtOnce()
{
    throw std::runtime_error("failed before any wait");
    co_return;
}

QCoro::Task<void> takeTurn(Turnstile &gate, bool &done, bool fail)
{
    co_await gate.turn();
    done = true;
    if (fail)
        throw std::runtime_error("failed after its owner");
}

} // namespace

class TestTaskOwner : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        DialogSeam::setHandler({});
        QTRY_COMPARE(TaskOwner::orphanedTasks(), 0);
    }

    void exceptionReachesTheHandler()
    {
        QStringList errors;
        TaskOwner owner([&errors](const QString &what) { errors.append(what); });
        QSignalSpy finished(&owner, &TaskOwner::taskFinished);
        OneShot<> go(OneShot<>::Resume::Directly);
        owner.start(failAfter(go, "broken line"));
        QCOMPARE(owner.runningTasks(), 1);
        QVERIFY(errors.isEmpty());

        go.fire();
        QCOMPARE(errors, QStringList{QStringLiteral("broken line")});
        QCOMPARE(owner.runningTasks(), 0);
        QVERIFY(finished.wait());
        QCOMPARE(finished.count(), 1);
    }

    void exceptionBeforeTheFirstWait()
    {
        QStringList errors;
        TaskOwner owner([&errors](const QString &what) { errors.append(what); });
        QSignalSpy finished(&owner, &TaskOwner::taskFinished);
        owner.start(failAtOnce());
        QCOMPARE(errors, QStringList{QStringLiteral("failed before any wait")});
        QCOMPARE(owner.runningTasks(), 0);
        QVERIFY(finished.wait());
    }

    void defaultHandlerIsTheGeneralErrorMessage()
    {
        QList<DialogRequest> requests;
        DialogSeam::setHandler([&requests](const DialogRequest &r) {
            requests.append(r);
            return int(QMessageBox::Ok);
        });
        QWidget window;
        TaskOwner owner(&window);
        OneShot<> go(OneShot<>::Resume::Directly);
        owner.start(failAfter(go, "no answer"));
        go.fire();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().kind, DialogRequest::Kind::Message);
        QCOMPARE(requests.first().caption, QApplication::applicationName());
        QCOMPARE(requests.first().text, QStringLiteral("no answer"));
        QCOMPARE(requests.first().icon, QMessageBox::Critical);
    }

    void suspendedTaskOutlivesItsOwner_data()
    {
        QTest::addColumn<bool>("fail");
        QTest::newRow("finishes") << false;
        QTest::newRow("fails") << true;
    }
    void suspendedTaskOutlivesItsOwner()
    {
        QFETCH(bool, fail);
        Turnstile gate;
        bool done = false;
        QStringList errors;
        auto owner = std::make_unique<TaskOwner>([&errors](const QString &what) { errors.append(what); });
        owner->start(takeTurn(gate, done, fail));
        QCOMPARE(owner->runningTasks(), 1);
        QCOMPARE(gate.waiting(), 1);

        owner.reset(); // the window closes while the task waits its turn
        QCOMPARE(TaskOwner::orphanedTasks(), 1);
        QVERIFY(!done);

        gate.letOneThrough(); // the frame is still there to resume
        QVERIFY(done);
        QVERIFY(errors.isEmpty()); // the handler went with its owner; the error is logged only
        QTRY_COMPARE(TaskOwner::orphanedTasks(), 0);
    }

    void finishedTasksAreDropped()
    {
        TaskOwner owner([](const QString &) { QFAIL("no task fails here"); });
        QSignalSpy finished(&owner, &TaskOwner::taskFinished);
        Turnstile gate;
        bool first = false;
        bool second = false;
        owner.start(takeTurn(gate, first, false));
        owner.start(takeTurn(gate, second, false));
        QCOMPARE(owner.runningTasks(), 2);
        gate.letOneThrough();
        QVERIFY(first && !second);
        QCOMPARE(owner.runningTasks(), 1);
        gate.letOneThrough();
        QCOMPARE(owner.runningTasks(), 0);
        QTRY_COMPARE(finished.count(), 2);
    }
};

QTEST_MAIN(TestTaskOwner)
#include "test_task_owner.moc"
