// The history database through TDM_local on both engines: recording a poll,
// the chart and table row sources over a window across a year boundary, start
// failures, and a database lost and regained while recording.
//
// PostgreSQL rows need a server from scripts/pg-test-server.sh: QLX_PG_SOCKET
// (socket folder), QLX_PG_PORT, and for the lost-server case QLX_PG_SCRIPT (the
// script, to stop and start the server). Without them those rows skip.
#include "storage/unit_dm.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace qlx;

namespace {

QString pgSocket() { return qEnvironmentVariable("QLX_PG_SOCKET"); }
int pgPort() { return qEnvironmentVariableIntValue("QLX_PG_PORT"); }

bool pgAvailable()
{
    return !pgSocket().isEmpty()
        && QFile::exists(QDir(pgSocket()).filePath(QStringLiteral(".s.PGSQL.%1").arg(pgPort())));
}

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Removes every history object so each PostgreSQL row starts from an empty database.
bool resetPostgres()
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("reset"));
        db.setHostName(pgSocket());
        db.setPort(pgPort());
        db.setDatabaseName(QStringLiteral("quorlex_test"));
        db.setUserName(QStringLiteral("postgres"));
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("DROP VIEW IF EXISTS sens_num, query_sensors_history, sensors_history1"))
                && q.exec(QStringLiteral("DROP TABLE IF EXISTS Sensors_history, \"interval\""));
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reset"));
    return ok;
}

// Writes the link for the engine into bdDir. The PostgreSQL link is written
// as UTF-16LE with a BOM and comment lines, as data-link editors save it.
void writeLink(const QString &engine, const QString &bdDir)
{
    if (engine == QLatin1String("sqlite")) {
        QVERIFY(write_sqlite_link(bdDir, QStringLiteral("data/history.db")));
        QVERIFY(QDir(bdDir).mkpath(QStringLiteral("data")));
        return;
    }
    if (!pgAvailable())
        QSKIP("no PostgreSQL test server (QLX_PG_SOCKET / QLX_PG_PORT)");
    QVERIFY(resetPostgres());
    const QString text = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                                        "provider=PostgreSQL; DATA SOURCE=\"%1\";Port=%2;Initial Catalog='quorlex_test';"
                                        "User ID=postgres;Password=\r\n").arg(pgSocket()).arg(pgPort());
    QByteArray bytes("\xFF\xFE", 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    writeFile(QDir(bdDir).filePath(QStringLiteral("connect_mdb.udl")), bytes);
}

// The values of channel k of a poll: code 4 channels carry whole numbers, the
// others values already divided by the caller.
double izmOf(int sensor, int k, int poll) { return k == 4 ? 1000.0 * poll + sensor : sensor + k / 1000.0 + poll / 10.0; }
double nuOf(int k) { return k * 0.25; }
double vuOf(int k) { return 100.0 + k * 0.125; }

bool recordPoll(TDM_local &dm, int sensor, const QDateTime &time, int poll)
{
    dm.begin_node();
    bool ok = true;
    for (int k = 1; k <= 12; ++k) {
        QString error;
        if (!dm.insert_poll(sensor, k, nuOf(k), vuOf(k), izmOf(sensor, k, poll), time, &error)) {
            qWarning() << "insert failed:" << error;
            ok = false;
        }
    }
    return ok;
}

} // namespace

class TestHistoryDb : public QObject {
    Q_OBJECT

private slots:
    void recordAndRead_data();
    void recordAndRead();
    void openFails_data();
    void openFails();
    void lostAndRegained_data();
    void lostAndRegained();

private:
    void engines();
};

void TestHistoryDb::engines()
{
    QTest::addColumn<QString>("engine");
    QTest::newRow("SQLite") << QStringLiteral("sqlite");
    QTest::newRow("PostgreSQL") << QStringLiteral("postgresql");
}

void TestHistoryDb::recordAndRead_data() { engines(); }

void TestHistoryDb::recordAndRead()
{
    QFETCH(QString, engine);
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(engine, bd);

    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));

    // Polls around a year boundary; the window is [t1, t3], the outer two lie outside.
    const QDateTime before = at("31.12.2025 23:59:58");
    const QDateTime t1 = at("31.12.2025 23:59:59");
    const QDateTime t2 = at("01.01.2026 00:00:00");
    const QDateTime t3 = at("01.01.2026 00:00:10");
    const QDateTime after = at("01.01.2026 00:00:11");
    QVERIFY(recordPoll(dm, 17, before, 0));
    QVERIFY(recordPoll(dm, 17, t1, 1));
    QVERIFY(recordPoll(dm, 17, t2, 2));
    QVERIFY(recordPoll(dm, 3, t3, 3));
    QVERIFY(recordPoll(dm, 200, after, 4));

    // Chart: one channel since a moment, in chronological order of the stored times.
    auto chart = dm.chart_rows(17, 4, t1);
    QVERIFY2(chart, qPrintable(dm.last_error()));
    std::sort(chart->begin(), chart->end(), [](auto &a, auto &b) { return a.rec_time < b.rec_time; });
    QCOMPARE(chart->size(), 2);
    QCOMPARE(chart->at(0).rec_time, t1);
    QCOMPARE(chart->at(0).izm, 1017.0);
    QCOMPARE(chart->at(1).rec_time, t2);
    QCOMPARE(chart->at(1).izm, 2017.0);
    auto sinceNewYear = dm.chart_rows(17, 5, t2);
    QVERIFY(sinceNewYear);
    QCOMPARE(sinceNewYear->size(), 1);
    QCOMPARE(sinceNewYear->at(0).rec_time, t2);

    const auto mm = dm.max_min(17, 5, t1);
    QVERIFY2(mm, qPrintable(dm.last_error()));
    QCOMPARE(mm->min_izm.toDouble(), izmOf(17, 5, 1));
    QCOMPARE(mm->max_izm.toDouble(), izmOf(17, 5, 2));
    QCOMPARE(mm->min_nu.toDouble(), nuOf(5));
    QCOMPARE(mm->max_vu.toDouble(), vuOf(5));
    const auto none = dm.max_min(99, 1, t1);
    QVERIFY(none);
    QVERIFY(none->max_nu.isNull());

    const auto sensors = dm.sensors();
    QVERIFY2(sensors, qPrintable(dm.last_error()));
    QList<int> sorted = *sensors;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, (QList<int>{3, 17, 200}));

    // Table: the window includes both ends.
    QVERIFY2(dm.set_interval(t1, t3), qPrintable(dm.last_error()));
    QCOMPARE(dm.interval_row_count(), qint64(36));
    const auto rows = dm.interval_rows();
    QVERIFY2(rows, qPrintable(dm.last_error()));
    QCOMPARE(rows->size(), 36);
    QList<HistoryRow> firstPoll;
    for (const HistoryRow &row : *rows) {
        QVERIFY(row.rec_time >= t1 && row.rec_time <= t3);
        if (row.rec_time == t1)
            firstPoll.append(row);
    }
    // One poll: twelve rows, one time, the bus address, channels 1..12, values as given.
    QCOMPARE(firstPoll.size(), 12);
    std::sort(firstPoll.begin(), firstPoll.end(), [](auto &a, auto &b) { return a.chanel < b.chanel; });
    for (int k = 1; k <= 12; ++k) {
        const HistoryRow &row = firstPoll.at(k - 1);
        QCOMPARE(row.sensor, 17);
        QCOMPARE(row.chanel, k);
        QCOMPARE(row.izm, izmOf(17, k, 1));
        QCOMPARE(row.nu, nuOf(k));
        QCOMPARE(row.vu, vuOf(k));
    }

    auto cross = dm.cross_table();
    QVERIFY2(cross, qPrintable(dm.last_error()));
    std::sort(cross->begin(), cross->end(), [](auto &a, auto &b) { return a.rec_time < b.rec_time; });
    QCOMPARE(cross->size(), 3);
    const std::pair<QDateTime, int> polls[] = {{t1, 17}, {t2, 17}, {t3, 3}};
    for (int i = 0; i < 3; ++i) {
        const CrossRow &row = cross->at(i);
        QCOMPARE(row.rec_time, polls[i].first);
        QCOMPARE(row.sensor, polls[i].second);
        for (int k = 1; k <= 12; ++k)
            QCOMPARE(row.izm[std::size_t(k - 1)].toDouble(), izmOf(polls[i].second, k, i + 1));
    }
}

void TestHistoryDb::openFails_data()
{
    QTest::addColumn<QByteArray>("link");  // empty: no link file at all
    QTest::newRow("no link file") << QByteArray();
    QTest::newRow("unknown provider") << QByteArray("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x.mdb\n");
    QTest::newRow("comments only") << QByteArray("[oledb]\n; Everything after this line is an OLE DB initstring\n");
    QTest::newRow("database folder missing") << QByteArray("Provider=SQLite;Data Source=no/such/folder/h.db\n");
    QTest::newRow("unreachable server")
        << QByteArray("Provider=PostgreSQL;Data Source=/nonexistent-socket-folder;Port=54399;"
                      "Initial Catalog=quorlex_test;User ID=postgres\n");
}

void TestHistoryDb::openFails()
{
    QFETCH(QByteArray, link);
    QTemporaryDir home;
    const QString bd = home.path();
    if (!link.isEmpty())
        writeFile(QDir(bd).filePath(QStringLiteral("connect_mdb.udl")), link);
    TDM_local dm;
    QVERIFY(!dm.open_history_database(bd));
    QVERIFY(!dm.isOpen());
    QVERIFY(!dm.last_error().isEmpty());
    QString error;
    dm.begin_node();
    QVERIFY(!dm.insert_poll(1, 1, 0, 0, 0, at("01.01.2026 00:00:00"), &error));
    QVERIFY(!error.isEmpty());
}

void TestHistoryDb::lostAndRegained_data() { engines(); }

void TestHistoryDb::lostAndRegained()
{
    QFETCH(QString, engine);
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(engine, bd);
    const QString script = qEnvironmentVariable("QLX_PG_SCRIPT");
    if (engine == QLatin1String("postgresql") && script.isEmpty())
        QSKIP("QLX_PG_SCRIPT not set: cannot stop the server");

    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));
    QVERIFY(recordPoll(dm, 5, at("01.01.2026 10:00:00"), 1));

    // Lose the database: the SQLite folder vanishes (a regular file stands in
    // its place, so even root cannot recreate it); the server stops.
    const QString data = QDir(bd).filePath(QStringLiteral("data"));
    auto runScript = [&](const char *command) {
        QProcess p;
        p.start(script, {QString::fromLatin1(command), pgSocket()});
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    if (engine == QLatin1String("sqlite")) {
        QVERIFY(QDir(data).removeRecursively());
        writeFile(data, "not a folder");
    } else {
        QVERIFY(runScript("pause"));
    }
    dm.begin_node();
    for (int k = 1; k <= 12; ++k) {
        QString error;
        QVERIFY(!dm.insert_poll(5, k, 0, 0, k, at("01.01.2026 10:00:10"), &error));
        QVERIFY(!error.isEmpty());
    }

    // Regain it: the next node's insert reopens the connection and succeeds.
    if (engine == QLatin1String("sqlite")) {
        QVERIFY(QFile::remove(data));
        QVERIFY(QDir().mkpath(data));
    } else {
        QVERIFY(runScript("resume"));
    }
    QVERIFY(recordPoll(dm, 6, at("01.01.2026 10:00:20"), 2));
    QVERIFY(dm.isOpen());
    QVERIFY(dm.set_interval(at("01.01.2026 10:00:20"), at("01.01.2026 10:00:20")));
    QCOMPARE(dm.interval_row_count(), qint64(12));
}

QTEST_GUILESS_MAIN(TestHistoryDb)
#include "test_history_db.moc"
