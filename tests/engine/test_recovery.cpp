// An unattended station recovers by itself: nodes silent for a while (a line cut)
// come back into polling, a port that vanished is reopened and polling resumes, a
// history database that opens only after start-up is recorded to, and daily logs
// on a full disk neither stop the database nor leave a partial row.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "engine/polling.h"
#include "engine/station.h"

#include <QProcess>
#include <QSignalSpy>

#include <sys/resource.h>

#include <optional>

using namespace qlx;
using namespace qlx::testing;

namespace {

struct CountingView : PollingView {
    QStringList messages;
    QStringList notices;
    QCoro::Task<void> message(const QString &caption, const QString &text) override
    {
        messages << caption + QStringLiteral(" | ") + text;
        co_return;
    }
    void notice(const QString &caption, const QString &text) override { notices << caption + QStringLiteral(" | ") + text; }
    bool recordToDatabase() const override { return true; }
    bool recordToFile() const override { return true; }
    void runStateChanged(bool) override {}
    void createMonitor(const QString &) override {}
    void formatCell(int, int, double, int, int) override {}
    void repaintMonitor() override {}
};

// A recording station polling nodes on the simulated line, passes 50 ms apart,
// silent nodes tested again `retryMs` after they were excluded.
struct RecoveringStation : SimStation {
    CountingView view;
    std::optional<QCoro::Task<void>> runTask;

    bool start(const QList<int> &addresses, int retryMs)
    {
        if (!open(19200, 100))
            return false;
        station().line().setFastSpeed(true);
        putNodes(addresses);
        polling().setView(view);
        polling().setInterval(50);
        polling().setNodeRetryInterval(retryMs);
        runTask.emplace(polling().mnu_refreshClick());
        return polling().running();
    }

    // Every node has more value rows than `before` holds for it.
    bool recordedSince(const QMap<int, int> &before, int timeoutMs)
    {
        return waitUntil(
            [&] {
                for (auto it = before.cbegin(); it != before.cend(); ++it)
                    if (probe().valueRows(it.key()).size() <= it.value())
                        return false;
                return true;
            },
            timeoutMs);
    }

    QMap<int, int> valueRowCounts(const QList<int> &addresses) const
    {
        QMap<int, int> counts;
        for (const int a : addresses)
            counts[a] = int(probe().valueRows(a).size());
        return counts;
    }

    void stopRun()
    {
        polling().stop();
        if (runTask)
            run(std::move(*runTask));
        runTask.reset();
    }

    QString eventText() const { return const_cast<RecoveringStation *>(this)->station().eventLog().lines().join('\n'); }
};

int alertsWith(const QList<QStringList> &rows, const QString &message)
{
    int n = 0;
    for (const QStringList &row : rows)
        n += row.value(3) == message ? 1 : 0;
    return n;
}

// CPU time this process has used, ms.
qint64 cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// A small tmpfs mounted on a folder for the life of the object, where the test may mount one.
struct SmallDisk {
    QString path;
    bool mounted = false;
    QString error;

    SmallDisk(const QString &folder, const QString &size)
        : path(folder)
    {
        QProcess mount;
        mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                              QStringLiteral("size=") + size, QStringLiteral("tmpfs"), folder});
        mounted = mount.waitForFinished(10000) && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0;
        if (!mounted)
            error = QString::fromLocal8Bit(mount.readAllStandardError()).trimmed() + mount.errorString();
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path});
    }

    // Fills the disk with one file until it takes no more byte.
    bool fill()
    {
        QFile filler(path + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {
        }
        while (filler.write("x", 1) == 1) {
        }
        return true;
    }
    bool free() { return QFile::remove(path + QStringLiteral("/filler")); }
};

} // namespace

class TestRecovery : public QObject {
    Q_OBJECT
private slots:
    void lineCutExcludesThenReadmitsEveryNode()
    {
        RecoveringStation l;
        const QList<int> addresses{5, 17, 40};
        QVERIFY(l.start(addresses, 300));
        QVERIFY(l.recordedSince({{5, 1}, {17, 1}, {40, 1}}, 60000));

        // An archiving script takes the alerts log away first: its next row makes it anew.
        QVERIFY(QFile::remove(l.probe().logFiles(QStringLiteral("alerts_")).constLast()));

        // The line is cut: every node goes silent and is excluded; the run goes on
        // testing them, and says once that no node answers, without waiting for anyone.
        for (const int a : addresses)
            l.sim.node(a)->faults().silent = true;
        QVERIFY(waitUntil([&] { return l.polling().excludedAddresses().size() == 3; }, 60000));
        QVERIFY(waitUntil([&] { return !l.view.notices.isEmpty(); }, 60000));
        QVERIFY(l.polling().running());
        QVERIFY2(l.view.messages.isEmpty(), qPrintable(l.view.messages.join('\n')));
        QVERIFY(l.view.notices.first().contains(QStringLiteral("Ни один узел не отвечает")));
        // Tested again while out: the identify probes go on.
        const int probesAtCut = l.framesTo(5, 0x11);
        QVERIFY(waitUntil([&] { return l.framesTo(5, 0x11) > probesAtCut; }, 60000));

        // The line is back: each node answers its next test, is ticked again, read in full,
        // and recorded again.
        const QMap<int, int> atRestore = l.valueRowCounts(addresses);
        const int fullReadsOf5 = l.framesTo(5, 0x03);
        for (const int a : addresses)
            l.sim.node(a)->faults().silent = false;
        QVERIFY(l.recordedSince(atRestore, 60000));
        QVERIFY(l.station().nodeList().isChecked(0) && l.station().nodeList().isChecked(1)
                && l.station().nodeList().isChecked(2));
        QVERIFY2(l.framesTo(5, 0x03) - fullReadsOf5 >= 121, "the first read after the return is a full one");
        l.stopRun();

        const RowProbe probe = l.probe();
        QFile alerts(probe.logFiles(QStringLiteral("alerts_")).constLast());
        QVERIFY(alerts.open(QIODevice::ReadOnly));
        QVERIFY(from_cp1251(alerts.readLine()).startsWith(QStringLiteral("Узел\tДата\tВремя\tСообщение")));
        for (const int a : addresses) {
            const QList<QStringList> rows = probe.alertRows(a);
            QCOMPARE(alertsWith(rows, kAlertNoAnswer), 1);
            QCOMPARE(alertsWith(rows, kAlertAnswersAgain), 1);
            QVERIFY(l.eventText().contains(QStringLiteral("Узел %1 снова отвечает и возвращен в список опроса").arg(a)));
        }
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }

    void withoutRetriesTheLastExclusionEndsTheRun()
    {
        RecoveringStation l;
        QVERIFY(l.start({5}, 0));
        QVERIFY(l.recordedSince({{5, 0}}, 60000));
        l.sim.node(5)->faults().silent = true;
        QVERIFY(waitUntil([&] { return !l.polling().running(); }, 60000));
        l.stopRun();
        QCOMPARE(l.view.messages,
                 QStringList{QStringLiteral("Нет данных для обновления | Не выбрано ни одного узла для обновления.\n\r"
                                            "Автоматическое обновление будет отключено.")});
        QVERIFY(l.polling().excludedAddresses().isEmpty());
    }

    void lostPortIsReopenedAndPollingResumes()
    {
        RecoveringStation l;
        const QList<int> addresses{5, 17};
        QVERIFY(l.start(addresses, 300));
        l.stopRun();
        // The station opens the line through a link, as through a USB adapter's device name.
        const QString link = l.dir.filePath(QStringLiteral("line"));
        QVERIFY(l.sim.makeLink(link));
        l.station().comPort().close();
        PortSettings settings = l.station().comPort().settings();
        settings.port = link;
        l.station().comPort().setSettings(settings);
        l.station().comPort().open();
        l.station().setPortRetryInterval(200);
        l.runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(l.recordedSince({{5, 0}, {17, 0}}, 60000));

        // The adapter is pulled out: the port closes, the station says so and waits.
        QSignalSpy lost(&l.station(), &Station::portLost);
        l.sim.close();
        QVERIFY(waitUntil([&] { return !lost.isEmpty(); }, 30000));
        QVERIFY(!l.station().comPort().isOpen());
        QVERIFY(l.station().reopeningPort());
        // No busy loop while it is gone: over a second of waiting, little CPU time.
        const qint64 cpuBefore = cpuMs();
        QElapsedTimer wall;
        wall.start();
        QVERIFY(!waitUntil([&] { return l.station().comPort().isOpen(); }, 1500));
        const double share = double(cpuMs() - cpuBefore) / double(wall.elapsed());
        QVERIFY2(share < 0.2, qPrintable(QStringLiteral("CPU share while the port is gone: %1").arg(share)));
        QVERIFY(l.polling().running());

        // Plugged in again: the station reopens it by itself and polling records again.
        const QMap<int, int> atRestore = l.valueRowCounts(addresses);
        QVERIFY(l.sim.openPty());
        QVERIFY(l.sim.makeLink(link));
        QVERIFY(waitUntil([&] { return l.station().comPort().isOpen(); }, 30000));
        QVERIFY(!l.station().reopeningPort());
        QVERIFY(l.recordedSince(atRestore, 60000));
        l.stopRun();

        const RowProbe probe = l.probe();
        const QList<QStringList> lineAlerts = probe.alertRows(0);
        QCOMPARE(lineAlerts.size(), 2);
        QVERIFY(lineAlerts.at(0).value(3).startsWith(QStringLiteral("COM порт %1 потерян").arg(link)));
        QCOMPARE(lineAlerts.at(1).value(3), QStringLiteral("COM порт %1 снова открыт").arg(link));
        QVERIFY(l.eventText().contains(QStringLiteral("COM порт %1 снова открыт").arg(link)));
        // A port error blames no node.
        QVERIFY(probe.alertRows(5).isEmpty() && probe.alertRows(17).isEmpty());
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }

    void databaseThatOpensLaterIsRecordedTo()
    {
        SimStation l;
        QVERIFY(l.makeEngine());
        // The link names a database in a folder that is not there yet (a server not up).
        QVERIFY(write_sqlite_link(l.folder().bdDir(), QStringLiteral("later/history.db")));
        QVERIFY(l.engine().openDailyLogs());
        QVERIFY(!l.engine().openDatabase());
        l.station().settings().setRecordInDb(true);
        QSignalSpy opened(&l.engine(), &StationEngine::databaseOpened);
        l.engine().setRecoveryIntervals(200, 200);
        l.engine().startRecovery();
        QVERIFY(l.eventLogHas(QStringLiteral("База данных истории не открыта")));

        QVERIFY(l.openLine(19200, 100));
        l.station().line().setFastSpeed(true);
        l.putNodes({5});
        l.polling().setInterval(50);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(waitUntil([&] { return l.probe().valueRows(5).size() >= 2; }, 60000));
        QCOMPARE(l.probe().historyCount(), 0);

        QVERIFY(QDir().mkpath(l.folder().bdDir() + QStringLiteral("/later")));
        QVERIFY(waitUntil([&] { return !opened.isEmpty(); }, 30000));
        QVERIFY(waitUntil([&] { return l.probe().historyCount() >= 24; }, 60000));
        l.polling().stop();
        run(std::move(*runTask));
        QVERIFY(l.station().settings().recordInDb());
        QVERIFY(l.eventLogHas(QStringLiteral("База данных истории открыта; запись в БД начата")));
        const QString unserved = unservedValues(l.probe(), l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }

    void fullDiskStopsOnlyTheFileLogs()
    {
        SimStation l;
        QVERIFY(l.makeEngine());
        SmallDisk disk(l.folder().logsDir(), QStringLiteral("256k"));
        if (!disk.mounted)
            QSKIP(qPrintable(QStringLiteral("cannot mount a small disk for the logs here: ") + disk.error));
        QVERIFY(l.openRecording());
        CountingView view;
        QVERIFY(l.openLine(19200, 100));
        l.station().line().setFastSpeed(true);
        l.putNodes({5, 17});
        l.polling().setView(view);
        l.polling().setInterval(50);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(waitUntil([&] { return l.probe().valueRows(17).size() >= 1; }, 60000));

        // The disk fills (the value log's last page still takes rows until it is full too):
        // the value rows stop, the history rows go on, the failure is said once.
        QVERIFY(disk.fill());
        const RowProbe probe = l.probe();
        QVERIFY(waitUntil([&] { return l.station().logFailing(DailyLog::Values); }, 60000));
        const int valuesAtFull = int(probe.valueRows().size());
        const int historyAtFull = probe.historyCount();
        QVERIFY(waitUntil([&] { return probe.historyCount() >= historyAtFull + 4 * 12; }, 60000));
        QCOMPARE(probe.valueRows().size(), valuesAtFull);
        QVERIFY(l.station().logFailing(DailyLog::Values));
        QCOMPARE(l.station().eventLog().lines().filter(QStringLiteral("Ошибка записи в файл")).size(), 1);
        for (const QString &file : probe.logFiles(QStringLiteral("log_"))) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(f.readAll().endsWith("\r\n"), qPrintable(file + QStringLiteral(" ends in a partial row")));
        }

        // Space again: the next rows are written, and that is said.
        QVERIFY(disk.free());
        const int valuesAtFree = int(probe.valueRows().size());
        QVERIFY(waitUntil([&] { return probe.valueRows().size() >= valuesAtFree + 4; }, 60000));
        l.polling().stop();
        run(std::move(*runTask));
        QVERIFY(!l.station().logFailing(DailyLog::Values));
        QVERIFY(l.station().eventLog().lines().join('\n').contains(QStringLiteral("Запись в журнал значений возобновлена")));
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }
};

QTEST_GUILESS_MAIN(TestRecovery)
#include "test_recovery.moc"
