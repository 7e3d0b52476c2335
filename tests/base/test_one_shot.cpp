// The one-shot event a coroutine waits for: fired before or after the wait,
// resumed inside fire() or from the event loop, fired once only.
#include "base/one_shot.h"

#include <QTest>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

using namespace qlx;

namespace {

template <typename T>
QCoro::Task<void> waitInto(OneShot<T> &shot, std::optional<T> &into)
{
    into = co_await shot.wait();
}

QCoro::Task<void> waitFlag(OneShot<> &shot, bool &done)
{
    co_await shot.wait();
    done = true;
}

// Waits, then destroys the shot it was resumed by.
QCoro::Task<void> waitAndDrop(std::unique_ptr<OneShot<int>> &shot, std::optional<int> &into)
{
    into = co_await shot->wait();
    shot.reset();
}

} // namespace

class TestOneShot : public QObject {
    Q_OBJECT
private slots:
    void firedBeforeTheWaitFinishesAtOnce_data()
    {
        QTest::addColumn<bool>("posted");
        QTest::newRow("directly") << false;
        QTest::newRow("from the event loop") << true;
    }
    void firedBeforeTheWaitFinishesAtOnce()
    {
        QFETCH(bool, posted);
        OneShot<int> shot(posted ? OneShot<int>::Resume::FromEventLoop : OneShot<int>::Resume::Directly);
        shot.fire(7);
        std::optional<int> got;
        QCoro::Task<void> task = waitInto(shot, got);
        QVERIFY(task.isReady()); // never suspended
        QCOMPARE(got, std::optional<int>(7));
    }

    void directResumptionInsideFire()
    {
        OneShot<QString> shot(OneShot<QString>::Resume::Directly);
        std::optional<QString> got;
        QCoro::Task<void> task = waitInto(shot, got);
        QVERIFY(!task.isReady());
        QVERIFY(!shot.fired());
        shot.fire(QStringLiteral("first"));
        QVERIFY(task.isReady()); // resumed before fire() returned
        QCOMPARE(got, std::optional<QString>(QStringLiteral("first")));
        shot.fire(QStringLiteral("second")); // once only
        QCOMPARE(got, std::optional<QString>(QStringLiteral("first")));
    }

    void voidShot()
    {
        OneShot<> shot(OneShot<>::Resume::Directly);
        bool done = false;
        QCoro::Task<void> task = waitFlag(shot, done);
        QVERIFY(!done);
        shot.fire();
        QVERIFY(done);
        shot.fire();
        QVERIFY(task.isReady());
    }

    void postedResumptionFromTheEventLoop()
    {
        OneShot<int> shot(OneShot<int>::Resume::FromEventLoop);
        QVERIFY(shot.context());
        std::optional<int> got;
        QCoro::Task<void> task = waitInto(shot, got);
        shot.fire(3);
        shot.fire(4);
        // The firing code runs to its end before the waiter goes on.
        QVERIFY(!got.has_value());
        QVERIFY(!task.isReady());
        QTRY_VERIFY(task.isReady());
        QCOMPARE(got, std::optional<int>(3));
    }

    void resumedCoroutineMayDestroyTheShot_data()
    {
        QTest::addColumn<bool>("posted");
        QTest::newRow("directly") << false;
        QTest::newRow("from the event loop") << true;
    }
    void resumedCoroutineMayDestroyTheShot()
    {
        QFETCH(bool, posted);
        auto shot = std::make_unique<OneShot<int>>(posted ? OneShot<int>::Resume::FromEventLoop
                                                          : OneShot<int>::Resume::Directly);
        std::optional<int> got;
        QCoro::Task<void> task = waitAndDrop(shot, got);
        shot->fire(11);
        QTRY_VERIFY(task.isReady());
        QVERIFY(!shot);
        QCOMPARE(got, std::optional<int>(11));
    }
};

QTEST_GUILESS_MAIN(TestOneShot)
#include "test_one_shot.moc"
