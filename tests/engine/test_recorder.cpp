// Recording a node reading into the history database, and what a failing database leaves.
#include "base/node_table.h"
#include "engine/recorder.h"
#include "engine/station.h"
#include "base/unit_procedure.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"
#include "tests/fixtures/sim_fixture.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace qlx;
using namespace qlx::testing;

namespace {

const QDateTime kNow(QDate(2026, 12, 10), QTime(4, 5, 6));

struct Rig {
    QTemporaryDir dir;
    Station station;
    TDM_local dm;
    std::unique_ptr<DailyLogs> logs;
    QString bd() const { return dir.filePath(QStringLiteral("bd")); }
    QString data() const { return dir.filePath(QStringLiteral("bd/data")); }

    bool open()
    {
        QDir(dir.path()).mkpath(QStringLiteral("bd/data"));
        QDir(dir.path()).mkpath(QStringLiteral("logs"));
        logs = std::make_unique<DailyLogs>(dir.filePath(QStringLiteral("logs")));
        return write_sqlite_link(bd(), QStringLiteral("data/history.db")) && dm.open_history_database(bd()) &&
               logs->open_daily_logs();
    }

    // Rows as "sensor chanel nu vu izm rec_time", read by a second connection.
    QStringList rows() const
    {
        QStringList out;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
            db.setDatabaseName(dir.filePath(QStringLiteral("bd/data/history.db")));
            if (db.open()) {
                QSqlQuery q(QStringLiteral("select sensor, chanel, nu, vu, izm, rec_time from Sensors_history "
                                           "order by chanel"),
                            db);
                while (q.next())
                    out << QStringLiteral("%1 %2 %3 %4 %5 %6")
                               .arg(q.value(0).toInt())
                               .arg(q.value(1).toInt())
                               .arg(q.value(2).toDouble())
                               .arg(q.value(3).toDouble())
                               .arg(q.value(4).toDouble())
                               .arg(q.value(5).toString());
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("reader"));
        return out;
    }
};

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        reset_node_table_state();
        set_clock([] { return kNow; });
        arr_nodes[1].address = 7;
        for (int c = 1; c <= kChannels; ++c) {
            arr_nodes[1].setup[c].nu = 1500 * c;
            arr_nodes[1].setup[c].vu = 2500 * c;
            arr_nodes[1].channels[c] = Tarr_channel{1234, 1 + (c - 1) % 4, 0, 0};
        }
        arr_nodes[1].channels[12] = Tarr_channel{}; // never read
    }
    void cleanup() { set_clock({}); }

    void onePollGivesTwelveRows()
    {
        Rig r;
        QVERIFY(r.open());
        run(record_history(r.station, r.dm, *r.logs, 1, [] { return true; }));
        const QStringList rows = r.rows();
        QCOMPARE(rows.size(), 12);
        // point 1..4: 1234 / 1000, / 100, / 10, whole; setpoints of the channel's own block.
        QCOMPARE(rows.at(0), QStringLiteral("7 1 1.5 2.5 1.234 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(1), QStringLiteral("7 2 3 5 12.34 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(2), QStringLiteral("7 3 4.5 7.5 123.4 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(3), QStringLiteral("7 4 6 10 1234 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(11), QStringLiteral("7 12 18 30 0 2026-12-10 04:05:06"));
        QVERIFY(r.station.eventLog().lines().isEmpty());
    }

    void recordingSwitchedOffStopsAtOnce()
    {
        Rig r;
        QVERIFY(r.open());
        int asked = 0;
        run(record_history(r.station, r.dm, *r.logs, 1, [&] { return ++asked <= 5; }));
        QCOMPARE(r.rows().size(), 5);
    }

    void lostDatabaseIsReportedPerChannelThenRegained()
    {
        Rig r;
        QVERIFY(r.open());
        // The database folder vanishes (a file stands in its place, which stops root too).
        QVERIFY(QDir(r.data()).removeRecursively());
        QFile stand(r.data());
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.close();
        run(record_history(r.station, r.dm, *r.logs, 1, [] { return true; }));
        const QStringList log = r.station.eventLog().lines();
        QCOMPARE(log.size(), 12);
        QCOMPARE(log.first(), QStringLiteral("10.12.2026 04:05.06 - Узел 7Ошибка записи в базу данных, канал - 1"));
        QCOMPARE(log.last(), QStringLiteral("10.12.2026 04:05.06 - Узел 7Ошибка записи в базу данных, канал - 12"));
        QCOMPARE(r.station.statusPanel(1), log.last());
        QFile alerts(r.logs->alertsLogPath());
        QVERIFY(alerts.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = alerts.readAll().split('\n');
        QCOMPARE(lines.size() - 2, 12); // header, twelve entries, the empty tail
        QCOMPARE(lines.at(1), to_cp1251(QStringLiteral("7\t10.12.2026\t04:05.06\tОшибка записи данных в БД\r")));

        // The folder is back: the next poll reopens the database once and records.
        QVERIFY(QFile::remove(r.data()));
        QVERIFY(QDir().mkpath(r.data()));
        run(record_history(r.station, r.dm, *r.logs, 1, [] { return true; }));
        QCOMPARE(r.rows().size(), 12);
        QCOMPARE(r.station.eventLog().lines().size(), 12);
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "test_recorder.moc"
