// A one-shot event a coroutine waits for: `co_await shot.wait()` finishes once
// `fire()` has been called, with the value given to it.
//
// It fires once; later calls of `fire()` change nothing. A coroutine that waits
// after the shot has fired goes on at once, without suspending. Only one
// coroutine waits on a shot.
//
// How the waiting coroutine resumes is chosen at construction:
// - `Resume::Directly`: inside `fire()`, as its last step (the transaction layer
//   ends an answer wait this way, within the timer's or the port's signal).
//   Nothing of the shot is touched after the resumption, so the resumed
//   coroutine may destroy it.
// - `Resume::FromEventLoop`: `fire()` posts the resumption to the event loop,
//   so the caller never continues inside the code that fired (a dialog's click
//   handler, its destructor). The posted call belongs to a context object the
//   shot owns: a shot destroyed first takes its pending resumption with it.
//   The same context object serves the connections that fire the shot.
//
// The shot is neither copied nor moved: the awaiter, and whatever connection
// fires the shot, point at it. Keep it where the waiting coroutine keeps its
// locals, and make `context()` the context of every connection that fires it,
// so the connections go with it.
#pragma once

#include <QMetaObject>
#include <QObject>

#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace qlx {

template <typename T = void>
class OneShot {
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

public:
    enum class Resume { Directly, FromEventLoop };

    explicit OneShot(Resume resume) : m_resume(resume) {}
    OneShot(const OneShot &) = delete;
    OneShot &operator=(const OneShot &) = delete;

    bool fired() const { return m_value.has_value(); }

    // Owned by the shot: the context of the posted resumption, and the one to
    // give the connections that fire the shot.
    QObject *context() { return &m_context; }

    class Awaiter {
    public:
        explicit Awaiter(OneShot *shot) : m_shot(shot) {}
        bool await_ready() const noexcept { return m_shot->fired(); }
        void await_suspend(std::coroutine_handle<> handle) noexcept { m_shot->m_waiter = handle; }
        T await_resume() const
        {
            if constexpr (!std::is_void_v<T>)
                return *m_shot->m_value;
        }

    private:
        OneShot *m_shot;
    };
    Awaiter wait() { return Awaiter(this); }

    void fire()
        requires std::is_void_v<T>
    {
        settle(std::monostate{});
    }
    void fire(Stored value)
        requires(!std::is_void_v<T>)
    {
        settle(std::move(value));
    }

private:
    void settle(Stored value)
    {
        if (m_value)
            return;
        m_value.emplace(std::move(value));
        const std::coroutine_handle<> waiter = std::exchange(m_waiter, {});
        if (!waiter)
            return; // nobody waits yet: the wait finishes at once
        if (m_resume == Resume::FromEventLoop)
            QMetaObject::invokeMethod(&m_context, [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        else
            waiter.resume(); // nothing of *this is touched after this point
    }

    const Resume m_resume;
    QObject m_context;
    std::optional<Stored> m_value;
    std::coroutine_handle<> m_waiter;
};

} // namespace qlx
