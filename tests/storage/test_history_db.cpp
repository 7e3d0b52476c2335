// The history database through TDM_local on both engines: recording a poll,
// the chart and table row sources over a window across a year boundary, start
// failures, a database lost and regained while recording, a node's rows all or
// none, a lock held by another program, a server that hangs on connect, and
// missing schema objects.
//
// PostgreSQL rows need a server from scripts/pg-test-server.sh: QLX_PG_SOCKET
// (socket folder), QLX_PG_PORT, and for the lost-server case QLX_PG_SCRIPT (the
// script, to stop and start the server). Without them those rows skip.
#include "storage/unit_dm.h"
#include "tests/fixtures/history_db_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace qlx;
using namespace qlx::test;
using namespace std::chrono_literals;

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

// The values of channel k of a poll: code 4 channels carry whole numbers, the
// others values already divided by the caller.
double izmOf(int sensor, int k, int poll) { return k == 4 ? 1000.0 * poll + sensor : sensor + k / 1000.0 + poll / 10.0; }
double nuOf(int k) { return k * 0.25; }
double vuOf(int k) { return 100.0 + k * 0.125; }

QList<PollRow> pollRows(int sensor, int poll)
{
    QList<PollRow> rows;
    for (int k = 1; k <= 12; ++k)
        rows.append({k, nuOf(k), vuOf(k), izmOf(sensor, k, poll)});
    return rows;
}

bool recordPoll(TDM_local &dm, int sensor, const QDateTime &time, int poll)
{
    QString error;
    if (dm.write_node(sensor, time, pollRows(sensor, poll), &error))
        return true;
    qWarning() << "node" << sensor << "not written:" << error;
    return false;
}

// A second connection to the database the link in bdDir names, as another
// program on the machine would hold one.
class OtherProgram {
public:
    OtherProgram(const QString &engine, const QString &bdDir)
        : m_name(QStringLiteral("other%1").arg(++s_count))
    {
        if (engine == QLatin1String("sqlite")) {
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
            m_db.setDatabaseName(QDir(bdDir).filePath(QStringLiteral("data/history.db")));
        } else {
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
            m_db.setHostName(pgSocket());
            m_db.setPort(pgPort());
            m_db.setDatabaseName(QStringLiteral("quorlex_test"));
            m_db.setUserName(QStringLiteral("postgres"));
        }
        if (!m_db.open())
            qWarning() << "second connection:" << m_db.lastError().text();
    }
    ~OtherProgram()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }

    bool exec(const QString &sql)
    {
        QSqlQuery q(m_db);
        if (q.exec(sql))
            return true;
        qWarning() << sql << "->" << q.lastError().text();
        return false;
    }
    bool execAll(const QStringList &statements)
    {
        return std::all_of(statements.begin(), statements.end(), [this](const QString &s) { return exec(s); });
    }
    // Rows of one sensor in Sensors_history.
    int rowsOf(int sensor)
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("select count(*) from Sensors_history where sensor = %1").arg(sensor)) || !q.next())
            return -1;
        return q.value(0).toInt();
    }

private:
    QString m_name;
    QSqlDatabase m_db;
    static inline int s_count = 0;
};

// Runs scripts/pg-test-server.sh with a command on the test server.
bool pgScript(const char *command)
{
    const QString script = qEnvironmentVariable("QLX_PG_SCRIPT");
    QProcess p;
    p.start(script, {QString::fromLatin1(command), pgSocket()});
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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
    void reopenWaitsForTheBackoff();
    void nodeIsAllOrNone_data();
    void nodeIsAllOrNone();
    void heldLockCostsOneShortWait_data();
    void heldLockCostsOneShortWait();
    void hangingServerBlocksOncePerBackoff();
    void missingObjectGetsTheSchema_data();
    void missingObjectGetsTheSchema();

private:
    void engines();
};

void TestHistoryDb::engines()
{
    engineRows();
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
    QVERIFY(!dm.write_node(1, at("01.01.2026 00:00:00"), pollRows(1, 0), &error));
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
    dm.setReconnectBackoff(0ms); // every node may try: the back-off has its own test
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
    for (const int node : {5, 6}) {
        QString error;
        QVERIFY(!dm.write_node(node, at("01.01.2026 10:00:10"), pollRows(node, 1), &error));
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
    QVERIFY(dm.set_interval(at("01.01.2026 10:00:10"), at("01.01.2026 10:00:20")));
    QCOMPARE(dm.interval_row_count(), qint64(12));
}

void TestHistoryDb::reopenWaitsForTheBackoff()
{
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(QStringLiteral("sqlite"), bd);
    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));
    dm.setReconnectBackoff(3s);

    // The folder vanishes; the reopen fails.
    const QString data = QDir(bd).filePath(QStringLiteral("data"));
    QVERIFY(QDir(data).removeRecursively());
    writeFile(data, "not a folder");
    QVERIFY(!recordPoll(dm, 5, at("01.01.2026 10:00:00"), 1));
    QElapsedTimer sinceFailure;
    sinceFailure.start();
    QVERIFY(!dm.isConnected());

    // Back at once, but within the back-off the next node does not reopen.
    QVERIFY(QFile::remove(data));
    QVERIFY(QDir().mkpath(data));
    QString error;
    QVERIFY(!dm.write_node(6, at("01.01.2026 10:00:10"), pollRows(6, 1), &error));
    QVERIFY(!dm.isConnected());

    // After it, a node reopens the database and is written.
    bool written = false;
    QTRY_VERIFY_WITH_TIMEOUT(written || (written = dm.write_node(7, at("01.01.2026 10:00:20"), pollRows(7, 1))), 15000);
    QVERIFY2(sinceFailure.elapsed() >= 2900, qPrintable(QString::number(sinceFailure.elapsed())));
    QVERIFY(dm.isConnected());
    OtherProgram other(QStringLiteral("sqlite"), bd);
    QCOMPARE(other.rowsOf(7), 12);
}

void TestHistoryDb::nodeIsAllOrNone_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<int>("refused"); // the channel whose insert the database refuses
    for (const char *engine : {"sqlite", "postgresql"}) {
        for (const int channel : {1, 7, 12})
            QTest::addRow("%s, channel %d refused", engine, channel) << QString::fromLatin1(engine) << channel;
    }
}

void TestHistoryDb::nodeIsAllOrNone()
{
    QFETCH(QString, engine);
    QFETCH(int, refused);
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(engine, bd);
    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));

    // The database refuses one row of node 13: a trigger fails its insert.
    OtherProgram other(engine, bd);
    if (engine == QLatin1String("sqlite")) {
        QVERIFY(other.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Sensors_history "
                                          "WHEN NEW.sensor = 13 AND NEW.chanel = %1 "
                                          "BEGIN SELECT RAISE(ABORT, 'refused'); END").arg(refused)));
    } else {
        QVERIFY(other.execAll({QStringLiteral("CREATE OR REPLACE FUNCTION refuse() RETURNS trigger AS $$ BEGIN "
                                              "IF NEW.sensor = 13 AND NEW.chanel = %1 THEN RAISE EXCEPTION 'refused'; "
                                              "END IF; RETURN NEW; END $$ LANGUAGE plpgsql").arg(refused),
                               QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Sensors_history "
                                              "FOR EACH ROW EXECUTE FUNCTION refuse()")}));
    }

    QVERIFY(recordPoll(dm, 12, at("02.02.2026 12:00:00"), 1));
    QString error;
    QVERIFY(!dm.write_node(13, at("02.02.2026 12:00:01"), pollRows(13, 1), &error));
    QVERIFY2(error.contains(QLatin1String("refused")), qPrintable(error));
    QVERIFY(recordPoll(dm, 14, at("02.02.2026 12:00:02"), 1));

    QCOMPARE(other.rowsOf(12), 12);
    QCOMPARE(other.rowsOf(13), 0);
    QCOMPARE(other.rowsOf(14), 12);
}

void TestHistoryDb::heldLockCostsOneShortWait_data() { engines(); }

void TestHistoryDb::heldLockCostsOneShortWait()
{
    QFETCH(QString, engine);
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(engine, bd);
    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));
    QVERIFY(recordPoll(dm, 30, at("03.03.2026 08:00:00"), 1));

    // Another program takes the write lock and keeps it.
    OtherProgram other(engine, bd);
    QVERIFY(engine == QLatin1String("sqlite")
                ? other.exec(QStringLiteral("BEGIN IMMEDIATE"))
                : other.execAll({QStringLiteral("BEGIN"),
                                 QStringLiteral("LOCK TABLE Sensors_history IN ACCESS EXCLUSIVE MODE")}));

    // Each node waits about the lock wait, then fails; generous slack for a slow machine.
    for (const int node : {31, 32}) {
        QElapsedTimer timer;
        timer.start();
        QString error;
        QVERIFY(!dm.write_node(node, at("03.03.2026 08:00:10"), pollRows(node, 1), &error));
        QVERIFY2(timer.elapsed() < kHistoryLockWaitMs + 1500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!error.isEmpty());
    }
    QVERIFY(other.exec(QStringLiteral("COMMIT")));

    // Released: the next node is written in full, the refused ones are not there.
    QVERIFY(recordPoll(dm, 33, at("03.03.2026 08:00:20"), 1));
    QCOMPARE(other.rowsOf(31), 0);
    QCOMPARE(other.rowsOf(32), 0);
    QCOMPARE(other.rowsOf(33), 12);
}

void TestHistoryDb::hangingServerBlocksOncePerBackoff()
{
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(QStringLiteral("postgresql"), bd);
    if (qEnvironmentVariable("QLX_PG_SCRIPT").isEmpty())
        QSKIP("QLX_PG_SCRIPT not set: cannot stop the server");
    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));
    QVERIFY(recordPoll(dm, 40, at("04.04.2026 09:00:00"), 1));

    // The server stops; in its place something takes connections and never
    // answers, as a hung server or a host that swallows packets does.
    QVERIFY(pgScript("pause"));
    struct Resume {
        ~Resume() { pgScript("resume"); }
    } resume;
    const QString socketPath = QDir(pgSocket()).filePath(QStringLiteral(".s.PGSQL.%1").arg(pgPort()));
    auto hanging = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(socketPath);
    QVERIFY2(hanging->listen(socketPath), qPrintable(hanging->errorString()));
    int attempts = 0;
    const auto countAttempts = [&] {
        while (hanging->hasPendingConnections() || hanging->waitForNewConnection(0)) {
            while (QLocalSocket *c = hanging->nextPendingConnection()) {
                ++attempts;
                delete c;
            }
        }
        return attempts;
    };

    // Five nodes of a pass: the first one tries to reconnect, bounded by the
    // connect timeout (libpq rounds 1 s up to 2 s); the others fail at once.
    qint64 longest = 0;
    for (int node = 41; node <= 45; ++node) {
        QElapsedTimer one;
        one.start();
        QString error;
        QVERIFY(!dm.write_node(node, at("04.04.2026 09:00:10"), pollRows(node, 1), &error));
        QVERIFY(!error.isEmpty());
        longest = std::max(longest, one.elapsed());
    }
    qInfo() << "longest node with the server hanging:" << longest << "ms";
    QVERIFY2(longest < 3000, qPrintable(QString::number(longest)));
    QCOMPARE(countAttempts(), 1);

    // When the back-off is over the next node tries again, once.
    dm.setReconnectBackoff(0ms);
    QVERIFY(!dm.write_node(46, at("04.04.2026 09:00:20"), pollRows(46, 1)));
    QCOMPARE(countAttempts(), 2);

    // The server is back: the next node reconnects and is written.
    hanging.reset();
    QLocalServer::removeServer(socketPath);
    QVERIFY(pgScript("resume"));
    QVERIFY(recordPoll(dm, 47, at("04.04.2026 09:00:30"), 1));
    OtherProgram other(QStringLiteral("postgresql"), bd);
    QCOMPARE(other.rowsOf(47), 12);
    QCOMPARE(other.rowsOf(41), 0);
}

void TestHistoryDb::missingObjectGetsTheSchema_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<bool>("sensNumTable"); // the site's own sens_num is a table, not a view
    for (const char *engine : {"sqlite", "postgresql"}) {
        for (const char *object : {"sensors_history1", "query_sensors_history", "sens_num", "interval"})
            QTest::addRow("%s without %s", engine, object) << QString::fromLatin1(engine) << QString::fromLatin1(object) << false;
        QTest::addRow("%s without query_sensors_history, sens_num a table", engine)
            << QString::fromLatin1(engine) << QStringLiteral("query_sensors_history") << true;
    }
}

void TestHistoryDb::missingObjectGetsTheSchema()
{
    QFETCH(QString, engine);
    QFETCH(QString, missing);
    QFETCH(bool, sensNumTable);
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QVERIFY(QDir().mkpath(bd));
    writeLink(engine, bd);
    const bool pg = engine == QLatin1String("postgresql");
    {
        TDM_local first;
        QVERIFY2(first.open_history_database(bd), qPrintable(first.last_error()));
        QVERIFY(recordPoll(first, 50, at("05.05.2026 10:00:00"), 1));
    }
    {
        // The site dropped one object and made sens_num its own (unless that is the one dropped).
        OtherProgram other(engine, bd);
        if (missing == QLatin1String("interval"))
            QVERIFY(other.exec(pg ? QStringLiteral("DROP TABLE \"interval\" CASCADE") : QStringLiteral("DROP TABLE interval")));
        else
            QVERIFY(other.exec(QStringLiteral("DROP VIEW %1%2").arg(missing, pg ? QStringLiteral(" CASCADE") : QString())));
        if (sensNumTable)
            QVERIFY(other.execAll({QStringLiteral("DROP VIEW IF EXISTS sens_num"),
                                   QStringLiteral("CREATE TABLE sens_num (Sensor integer)"),
                                   QStringLiteral("INSERT INTO sens_num VALUES (42)")}));
        else if (missing != QLatin1String("sens_num"))
            QVERIFY(other.execAll({QStringLiteral("DROP VIEW IF EXISTS sens_num"),
                                   QStringLiteral("CREATE VIEW sens_num AS SELECT 42 AS Sensor")}));
    }

    TDM_local dm;
    QVERIFY2(dm.open_history_database(bd), qPrintable(dm.last_error()));
    QVERIFY(recordPoll(dm, 51, at("05.05.2026 10:00:10"), 1));
    QVERIFY2(dm.set_interval(at("05.05.2026 10:00:00"), at("05.05.2026 10:00:10")), qPrintable(dm.last_error()));
    QCOMPARE(dm.interval_row_count(), qint64(24));
    const auto rows = dm.interval_rows();
    QVERIFY2(rows, qPrintable(dm.last_error()));
    QCOMPARE(rows->size(), 24);
    const auto cross = dm.cross_table();
    QVERIFY2(cross, qPrintable(dm.last_error()));
    QCOMPARE(cross->size(), 2);
    const auto sensors = dm.sensors();
    QVERIFY2(sensors, qPrintable(dm.last_error()));
    // A row source the site already had is kept as it is.
    if (missing == QLatin1String("sens_num"))
        QCOMPARE(*sensors, (QList<int>{50, 51}));
    else
        QCOMPARE(*sensors, (QList<int>{42}));
}

QTEST_GUILESS_MAIN(TestHistoryDb)
#include "test_history_db.moc"
