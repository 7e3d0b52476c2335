// Automatic polling against the simulated line, with the history database and the daily logs.
#include "base/node_table.h"
#include "base/progress.h"
#include "engine/polling.h"
#include "engine/station.h"
#include "base/unit_procedure.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"
#include "line/unit_protocol.h"
#include "tests/fixtures/sim_fixture.h"

#include <QDir>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace qlx;
using namespace qlx::testing;

namespace {

struct FakeView : PollingView {
    QStringList messages;
    QStringList monitors;
    QList<bool> states;
    int cells = 0;
    bool db = true;
    bool file = true;
    QCoro::Task<void> message(const QString &caption, const QString &text) override
    {
        messages << caption + QStringLiteral(" | ") + text;
        co_return;
    }
    bool recordToDatabase() const override { return db; }
    bool recordToFile() const override { return file; }
    void runStateChanged(bool running) override { states << running; }
    void createMonitor(const QString &caption) override { monitors << caption; }
    void formatCell(int, int, double, int, int) override { ++cells; }
    void repaintMonitor() override {}
};

struct PollLine {
    QTemporaryDir dir;
    sim::LineSimulator sim;
    Station station;
    TDM_local dm;
    std::unique_ptr<DailyLogs> logs;
    FakeView view;
    std::unique_ptr<Polling> polling;

    bool open(const QList<int> &addresses)
    {
        QDir(dir.path()).mkpath(QStringLiteral("logs"));
        QDir(dir.path()).mkpath(QStringLiteral("bd"));
        logs = std::make_unique<DailyLogs>(dir.filePath(QStringLiteral("logs")));
        if (!logs->open_daily_logs() || !write_sqlite_link(dir.filePath(QStringLiteral("bd"))) ||
            !dm.open_history_database(dir.filePath(QStringLiteral("bd"))) || !sim.openPty())
            return false;
        reset_node_table_state();
        for (const int a : addresses) {
            sim::NodeConfig config = sim::defaultNode(a);
            config.baud = 19200;
            config.moving = false;
            sim.addNode(config);
            found_count += 1;
            arr_nodes[found_count].address = a;
            station.nodeList().append(node_item_text(found_count, a));
            station.nodeList().setChecked(found_count - 1, true);
        }
        PortSettings s;
        s.port = sim.stationPath();
        s.baudRate = QStringLiteral("19200");
        station.comPort().setSettings(s);
        station.comPort().open();
        station.line().setAnswerWait(25);
        polling = std::make_unique<Polling>(station, dm, *logs, view);
        return true;
    }

    int framesTo(int address, quint8 function) const
    {
        int n = 0;
        for (const auto &f : sim.frames())
            n += (quint8(f.bytes[0]) == address && quint8(f.bytes[1]) == function) ? 1 : 0;
        return n;
    }

    int historyRows()
    {
        int n = -1;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
            db.setDatabaseName(dir.filePath(QStringLiteral("bd/history.db")));
            if (db.open()) {
                QSqlQuery q(QStringLiteral("select count(*) from Sensors_history"), db);
                n = q.next() ? q.value(0).toInt() : -1;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("count"));
        return n;
    }

    // Value-log rows of one bus address.
    int valueRows(int address) const
    {
        QFile f(logs->valueLogPath());
        f.open(QIODevice::ReadOnly);
        int n = 0;
        for (const QByteArray &row : f.readAll().split('\n'))
            n += row.startsWith(QByteArray::number(address) + '\t') ? 1 : 0;
        return n;
    }

    int lines(const QString &path) const
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return int(f.readAll().count('\n'));
    }
};

} // namespace

class TestPolling : public QObject {
    Q_OBJECT
private slots:
    void nothingTicked()
    {
        PollLine l;
        QVERIFY(l.open({5}));
        l.station.nodeList().setChecked(0, false);
        run(l.polling->mnu_refreshClick());
        QVERIFY(!l.polling->running());
        QCOMPARE(l.view.messages,
                 QStringList{QStringLiteral("Нет данных для обновления | Не выбрано ни одного узла для обновления")});
        QVERIFY(l.station.eventLog().lines().last().endsWith(QStringLiteral(" Не выбрано ни одного узла для обновления")));
        QVERIFY(l.sim.frames().isEmpty());
    }

    void fullPassThenShortPassesAndExclusion()
    {
        PollLine l;
        QVERIFY(l.open({5, 17}));
        l.polling->setInterval(200);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling->mnu_refreshClick());
        QVERIFY(l.polling->running());
        QCOMPARE(l.view.monitors, QStringList{QStringLiteral("Монитор состояний - авт. обновление с интервалом 0 сек.")});

        // First pass: identify, then the full read of each ticked node.
        QTRY_VERIFY_WITH_TIMEOUT(l.framesTo(17, 0x03) >= 121, 30000);
        QCOMPARE(l.framesTo(5, 0x03), 121);
        // Then short reads: 13 register reads a pass.
        QTRY_VERIFY_WITH_TIMEOUT(l.framesTo(17, 0x03) >= 121 + 13, 30000);
        QCOMPARE((l.framesTo(5, 0x03) - 121) % 13, 0);
        QTRY_VERIFY_WITH_TIMEOUT(l.historyRows() >= 2 * 12 * 2, 30000);
        QCOMPARE(l.historyRows() % 12, 0);
        QVERIFY(l.view.cells >= 2 * 12 * 2);

        // Node 17 goes silent: excluded after one failed presence test, its row says so.
        l.sim.node(17)->faults().silent = true;
        QTRY_VERIFY_WITH_TIMEOUT(!l.station.nodeList().isChecked(1), 30000);
        QCOMPARE(arr_cells(1, 2).text, QStringLiteral("Откл."));
        QCOMPARE(arr_cells(14, 2).text, QStringLiteral("Откл."));
        QCOMPARE(arr_cells(0, 2).text, QStringLiteral("17"));
        QVERIFY(l.station.statusPanel(1).endsWith(QStringLiteral(" - Узел 17 исключен из списка опроса")));
        QCOMPARE(l.lines(l.logs->alertsLogPath()), 2); // header and one entry
        QVERIFY(l.polling->running());

        // The last ticked node silent too: the pass ends the run with the message.
        l.sim.node(5)->faults().silent = true;
        QTRY_VERIFY_WITH_TIMEOUT(!l.polling->running(), 30000);
        run(std::move(*runTask));
        QCOMPARE(l.view.messages.last(),
                 QStringLiteral("Нет данных для обновления | Не выбрано ни одного узла для обновления.\n\r"
                                "Автоматическое обновление будет отключено."));
        QVERIFY(!l.polling->runActive());
        // One value row per answering node per pass, below the header.
        QCOMPARE(l.lines(l.logs->valueLogPath()) - 1, l.historyRows() / 12);
    }

    // Off and on again before the run has seen the cleared mark: the run goes on,
    // and the second switch-on starts no run of its own.
    void switchedOnAgainWhileFinishingKeepsOneRun()
    {
        PollLine l;
        QVERIFY(l.open({5}));
        l.polling->setInterval(0);
        QSignalSpy passes(l.polling.get(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling->mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 2, 30000);

        run(l.polling->mnu_refreshClick()); // off
        QCoro::Task<void> again = l.polling->mnu_refreshClick(); // on, at once
        QVERIFY(again.isReady());
        QVERIFY(l.polling->running());
        QVERIFY(!runTask->isReady());
        const int before = int(passes.count());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= before + 2, 30000);
        // The monitor is asked for again (the operator may have closed it), not a run.
        QCOMPARE(l.view.monitors.size(), 2);
        QCOMPARE(l.view.monitors.at(1), l.view.monitors.at(0));

        run(l.polling->mnu_refreshClick()); // off for good
        run(std::move(*runTask));
        QVERIFY(!l.polling->runActive());
    }

    // A negative interval is no wait at all: the passes follow each other.
    void negativeIntervalNeverHangs()
    {
        PollLine l;
        QVERIFY(l.open({5}));
        l.polling->setInterval(-5000);
        QSignalSpy passes(l.polling.get(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling->mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 4, 30000);
        QCOMPARE(passes.at(0).at(0).toString(), QStringLiteral("F"));
        QCOMPARE(passes.at(3).at(0).toString(), QStringLiteral("NF"));
        run(l.polling->mnu_refreshClick());
        run(std::move(*runTask));
    }

    // The main window closes while node 17 is read: the read stops before its next
    // channel, the run stops, and the half-read node leaves no row behind.
    void readStoppedByClosingIsNotRecorded()
    {
        PollLine l;
        QVERIFY(l.open({5, 17}));
        l.polling->setInterval(0);
        QSignalSpy passes(l.polling.get(), &Polling::passFinished);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling->mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(passes.count() >= 2, 30000);

        int rowsOf17 = -1;
        connect(&VrProgressBar(), &ProgressValue::changed, this, [&](int position, int) {
            // Channel 3 is next and the last request went to the node being read.
            if (rowsOf17 >= 0 || position != 3 || quint8(l.sim.frames().last().bytes[0]) != 17)
                return;
            rowsOf17 = l.valueRows(17);
            abort_read = 1;
            l.polling->stop();
        });
        run(std::move(*runTask));
        disconnect(&VrProgressBar(), nullptr, this, nullptr);
        QVERIFY(rowsOf17 > 0);
        QCOMPARE(l.valueRows(17), rowsOf17);
        QCOMPARE(abort_read, 0);
        QCOMPARE(l.lines(l.logs->valueLogPath()) - 1, l.historyRows() / 12);
        QCOMPARE(l.historyRows() % 12, 0);
    }

    void errorEndsTheRunVisibly()
    {
        PollLine l;
        QVERIFY(l.open({5}));
        l.polling->setInterval(0);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling->mnu_refreshClick());
        QTRY_VERIFY_WITH_TIMEOUT(l.framesTo(5, 0x03) >= 121, 30000);
        l.station.comPort().close(); // the port is lost
        run(std::move(*runTask));
        QVERIFY(!l.polling->running());
        QCOMPARE(l.view.states.last(), false);
        QVERIFY(l.station.eventLog().lines().last().contains(QStringLiteral(" - Автоматическое обновление остановлено: ")));
        QCOMPARE(l.station.statusPanel(1), l.station.eventLog().lines().last());
    }
};

QTEST_GUILESS_MAIN(TestPolling)
#include "test_polling.moc"
