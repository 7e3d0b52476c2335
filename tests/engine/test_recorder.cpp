// Recording a node reading into the history database, and what a failing database leaves.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "engine/recorder.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

using namespace qlx;
using namespace qlx::testing;
using namespace std::chrono_literals;

namespace {

const QDateTime kNow(QDate(2026, 12, 10), QTime(4, 5, 6));

// A recording station (no line) whose database lies in bd/data/, so that folder can
// vanish; node slot 1 holds a read of node 7.
struct Rig : SimStation {
    QString data() const { return QDir(folder().bdDir()).filePath(QStringLiteral("data")); }

    bool open()
    {
        if (!openRecording(QStringLiteral("data/history.db")))
            return false;
        arr_nodes[1].address = 7;
        for (int c = 1; c <= kChannels; ++c) {
            arr_nodes[1].setup[c].nu = 1500 * c;
            arr_nodes[1].setup[c].vu = 2500 * c;
            arr_nodes[1].channels[c] = Tarr_channel{1234, 1 + (c - 1) % 4, 0, 0};
        }
        arr_nodes[1].channels[12] = Tarr_channel{}; // never read
        return true;
    }

    QCoro::Task<void> record(std::function<bool()> recording)
    {
        return record_history(station(), engine().database(), logs(), 1, std::move(recording));
    }

    // Runs one statement on the history database through a connection of its own.
    bool execOnDatabase(const QString &sql) const
    {
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("rig"));
            db.setDatabaseName(probe().databasePath());
            ok = db.open() && QSqlQuery(db).exec(sql);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("rig"));
        return ok;
    }

    // Rows as "sensor chanel nu vu izm rec_time", read by a second connection.
    QStringList rows() const
    {
        QStringList out;
        for (const RecordedRow &row : probe().history())
            out << row.text();
        return out;
    }
};

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT
private slots:
    void init() { set_clock([] { return kNow; }); }
    void cleanup() { set_clock({}); }

    void onePollGivesTwelveRows()
    {
        Rig r;
        QVERIFY(r.open());
        run(r.record([] { return true; }));
        const QStringList rows = r.rows();
        QCOMPARE(rows.size(), 12);
        // point 1..4: 1234 / 1000, / 100, / 10, whole; setpoints of the channel's own block.
        QCOMPARE(rows.at(0), QStringLiteral("7 1 1.5 2.5 1.234 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(1), QStringLiteral("7 2 3 5 12.34 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(2), QStringLiteral("7 3 4.5 7.5 123.4 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(3), QStringLiteral("7 4 6 10 1234 2026-12-10 04:05:06"));
        QCOMPARE(rows.at(11), QStringLiteral("7 12 18 30 0 2026-12-10 04:05:06"));
        QVERIFY(r.station().eventLog().lines().isEmpty());
    }

    // The record-to-database item is asked once per node, after the turn of the
    // event loop that comes before the node's rows.
    void recordingItemDecidesPerNode_data()
    {
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("untickedDuringTurn");
        QTest::addColumn<int>("rows");
        QTest::newRow("ticked") << true << false << 12;
        QTest::newRow("unticked") << false << false << 0;
        QTest::newRow("unticked while the interface runs") << true << true << 0;
    }

    void recordingItemDecidesPerNode()
    {
        QFETCH(bool, ticked);
        QFETCH(bool, untickedDuringTurn);
        QFETCH(int, rows);
        Rig r;
        QVERIFY(r.open());
        bool item = ticked;
        if (untickedDuringTurn)
            QTimer::singleShot(0, [&item] { item = false; });
        run(r.record([&item] { return item; }));
        QCOMPARE(r.rows().size(), rows);
        QVERIFY(r.station().eventLog().lines().isEmpty());
    }

    // A row the database refuses takes the node's other rows with it, and every
    // channel is reported.
    void refusedRowLeavesNoneOfTheNode()
    {
        Rig r;
        QVERIFY(r.open());
        QVERIFY(r.execOnDatabase(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Sensors_history "
                                                "WHEN NEW.chanel = 7 BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        run(r.record([] { return true; }));
        QCOMPARE(r.rows().size(), 0);
        const QStringList log = r.station().eventLog().lines();
        QCOMPARE(log.size(), 12);
        for (int c = 1; c <= 12; ++c)
            QCOMPARE(log.at(c - 1), QStringLiteral("10.12.2026 04:05.06 - Узел 7Ошибка записи в базу данных, канал - %1").arg(c));
        QCOMPARE(r.probe().alertRows(7).size(), 12);

        // The next node's rows go in once the database takes them again.
        QVERIFY(r.execOnDatabase(QStringLiteral("DROP TRIGGER refuse")));
        run(r.record([] { return true; }));
        QCOMPARE(r.rows().size(), 12);
        QCOMPARE(r.station().eventLog().lines().size(), 12);
    }

    void lostDatabaseIsReportedPerChannelThenRegained()
    {
        Rig r;
        QVERIFY(r.open());
        r.engine().database().setReconnectBackoff(0ms); // the back-off is a storage test's
        // The database folder vanishes (a file stands in its place, which stops root too).
        QVERIFY(QDir(r.data()).removeRecursively());
        QFile stand(r.data());
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.close();
        run(r.record([] { return true; }));
        const QStringList log = r.station().eventLog().lines();
        QCOMPARE(log.size(), 12);
        QCOMPARE(log.first(), QStringLiteral("10.12.2026 04:05.06 - Узел 7Ошибка записи в базу данных, канал - 1"));
        QCOMPARE(log.last(), QStringLiteral("10.12.2026 04:05.06 - Узел 7Ошибка записи в базу данных, канал - 12"));
        QCOMPARE(r.station().statusPanel(1), log.last());
        // Twelve alerts rows below the header (code page 1251, CR LF).
        const QList<QStringList> alerts = r.probe().alertRows();
        QCOMPARE(alerts.size(), 12);
        QCOMPARE(alerts.first(), (QStringList{QStringLiteral("7"), QStringLiteral("10.12.2026"),
                                              QStringLiteral("04:05.06"), QStringLiteral("Ошибка записи данных в БД")}));

        // The folder is back: the next poll reopens the database once and records.
        QVERIFY(QFile::remove(r.data()));
        QVERIFY(QDir().mkpath(r.data()));
        run(r.record([] { return true; }));
        QCOMPARE(r.rows().size(), 12);
        QCOMPARE(r.station().eventLog().lines().size(), 12);
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "test_recorder.moc"
