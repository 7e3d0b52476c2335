// Runs the built quorlex-ctl (or another program) as a separate process while
// this thread's event loop keeps serving an in-process simulated line.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

namespace qlx::ctltest {

// Only a program that hangs runs into this; every run ends far sooner.
inline constexpr int kProcessLimitMs = 120000;

struct ProcessResult {
    bool finished = false; // ended by itself, without crashing
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QStringList outLines() const { return lines(out); }
    QStringList errLines() const { return lines(err); }

private:
    static QStringList lines(const QByteArray &bytes)
    {
        return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

inline ProcessResult runProgram(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    QSignalSpy finished(&process, &QProcess::finished);
    process.start();
    ProcessResult r;
    if (!process.waitForStarted())
        return r;
    // The spy's wait runs the event loop, so the simulator answers meanwhile.
    const bool ended = finished.wait(kProcessLimitMs) || !finished.isEmpty();
    if (!ended) {
        process.kill();
        finished.wait(10000);
    }
    r.finished = ended && process.exitStatus() == QProcess::NormalExit;
    r.exitCode = process.exitCode();
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

inline ProcessResult runCtl(const QStringList &args)
{
    return runProgram(QStringLiteral(QLX_CTL_PATH), args);
}

} // namespace qlx::ctltest
