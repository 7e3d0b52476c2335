// A station end (port + transaction layer) wired to an in-process simulated
// line on a real pseudo-terminal.
#pragma once

#include "core/comport.h"
#include "core/node_table.h"
#include "protocol/transaction.h"
#include "tools/sim/line_simulator.h"

#include <QElapsedTimer>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <QEventLoop>

#include <exception>
#include <memory>
#include <optional>

namespace qlx::testing {

// Opens the simulator's pty and puts default nodes at these addresses on it.
inline bool openWithNodes(sim::LineSimulator &sim, const QList<int> &addresses, int baud)
{
    if (!sim.openPty())
        return false;
    for (const int a : addresses) {
        sim::NodeConfig config = sim::defaultNode(a);
        config.baud = baud;
        sim.addNode(config);
    }
    return true;
}

struct SimLine {
    sim::LineSimulator sim;
    ComPort port;
    std::unique_ptr<Transaction> line;

    // Opens the pty, the station's port at `baud`, and sets the answer wait.
    bool open(int answerWaitMs = 100, int baud = 9600)
    {
        QString error;
        if (!sim.openPty(&error)) {
            qWarning() << "simulator:" << error;
            return false;
        }
        PortSettings s;
        s.port = sim.stationPath();
        s.baudRate = QString::number(baud);
        port.setSettings(s);
        try {
            port.open();
        } catch (const PortError &e) {
            qWarning() << e.what();
            return false;
        }
        line = std::make_unique<Transaction>(port);
        line->setAnswerWait(answerWaitMs);
        return true;
    }

    // A node with frozen raw codes, so that what it answers is known beforehand.
    sim::Node *addStillNode(int address)
    {
        sim::NodeConfig config = sim::defaultNode(address);
        config.moving = false;
        return sim.addNode(config);
    }

    // Frames the simulator received that begin with the given bytes.
    int framesStartingWith(const QByteArray &head) const
    {
        int n = 0;
        for (const auto &f : sim.frames())
            n += f.bytes.startsWith(head) ? 1 : 0;
        return n;
    }
};

namespace detail {

struct Outcome {
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    void finish()
    {
        done = true;
        loop.quit();
    }
};

template <typename T>
QCoro::Task<void> capture(QCoro::Task<T> task, std::optional<T> *out, Outcome *outcome)
{
    try {
        out->emplace(co_await task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finish();
}

inline QCoro::Task<void> captureVoid(QCoro::Task<void> task, Outcome *outcome)
{
    try {
        co_await task;
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finish();
}

} // namespace detail

// Runs a coroutine to completion on the test's event loop; its exception is rethrown here.
template <typename T>
T run(QCoro::Task<T> &&task)
{
    detail::Outcome outcome;
    std::optional<T> result;
    auto captured = detail::capture<T>(std::move(task), &result, &outcome);
    if (!outcome.done)
        outcome.loop.exec();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    return std::move(*result);
}

inline void run(QCoro::Task<void> &&task)
{
    detail::Outcome outcome;
    auto captured = detail::captureVoid(std::move(task), &outcome);
    if (!outcome.done)
        outcome.loop.exec();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
}

} // namespace qlx::testing
