// Times the history database work of the station beside the same work done by
// the engine's own command-line client (sqlite3, psql), as a ratio:
//   - one polling pass of 255 nodes: 3060 rows, each a separate execution of
//     the prepared insert, no transaction;
//   - the chart query of one channel over the last 10 minutes (ADOQuery_max_min
//     then ADOQuery_history) on a table of --rows rows (default 10 million).
// The client times include starting the client process.
//
//   quorlex-bench-history [--rows N]
// PostgreSQL runs when QLX_PG_SOCKET (socket folder) is set, with QLX_PG_PORT,
// on the database quorlex_test (scripts/pg-test-server.sh start DIR).
#include "storage/unit_dm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace qlx;

namespace {

constexpr int kNodes = 255;
constexpr int kRepeats = 5;

struct Result {
    QString engine, work;
    double ours = 0, client = 0;
};

struct Engine {
    QString name;
    QString bdDir;
    QString sqliteFile;                  // SQLite
    QString pgSocket; int pgPort = 0;    // PostgreSQL
    bool sqlite() const { return !sqliteFile.isEmpty(); }
};

// Runs the engine's client on a script; milliseconds, or -1 on failure.
double runClient(const Engine &e, const QString &script)
{
    QProcess p;
    QElapsedTimer timer;
    timer.start();
    if (e.sqlite()) {
        p.setStandardInputFile(script);
        p.start(QStringLiteral("sqlite3"), {e.sqliteFile});
    } else {
        p.start(QStringLiteral("psql"), {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-h"), e.pgSocket,
                                         QStringLiteral("-p"), QString::number(e.pgPort), QStringLiteral("-U"),
                                         QStringLiteral("postgres"), QStringLiteral("-d"), QStringLiteral("quorlex_test"),
                                         QStringLiteral("-f"), script});
    }
    p.setStandardOutputFile(QProcess::nullDevice());
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "client failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return timer.nsecsElapsed() / 1e6;
}

bool writeScript(const QString &path, const QString &text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(text.toUtf8());
    return true;
}

QString literal(const QString &text, bool sqlite)
{
    return sqlite ? QStringLiteral("'%1'").arg(text) : QStringLiteral("timestamp '%1'").arg(text);
}

bool exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
    return false;
}

bool benchEngine(const Engine &e, qint64 rows, const QString &work, QList<Result> &results)
{
    TDM_local dm;
    if (!dm.open_history_database(e.bdDir)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(e.name), qPrintable(dm.last_error()));
        return false;
    }
    QSqlDatabase &db = dm.ADOCon();
    const bool sqlite = e.sqlite();
    if (!exec(db, sqlite ? QStringLiteral("DELETE FROM Sensors_history") : QStringLiteral("TRUNCATE Sensors_history")))
        return false;

    // One polling pass through the prepared insert.
    const QDateTime passTime = QDateTime::currentDateTime().addSecs(-3600 * 24 * 365);
    // The first pass grows fresh files; the second one is timed.
    QElapsedTimer timer;
    for (int pass = 0; pass < 2; ++pass) {
        timer.start();
        for (int node = 1; node <= kNodes; ++node) {
            dm.begin_node();
            for (int k = 1; k <= 12; ++k) {
                QString error;
                if (!dm.insert_poll(node, k, 1.5, 99.5, node + k / 10.0, passTime, &error)) {
                    std::fprintf(stderr, "insert: %s\n", qPrintable(error));
                    return false;
                }
            }
        }
    }
    const double oursPass = timer.nsecsElapsed() / 1e6;
    QString script;
    const QString t = literal(history_time_text(passTime.addSecs(1)), sqlite);
    for (int node = 1; node <= kNodes; ++node)
        for (int k = 1; k <= 12; ++k)
            script += QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                                     "values (%1, %2, 1.5, 99.5, %3, %4);\n").arg(node).arg(k).arg(node + k / 10.0).arg(t);
    const QString scriptPath = QDir(work).filePath(QStringLiteral("pass.sql"));
    if (!writeScript(scriptPath, script))
        return false;
    const double clientPass = runClient(e, scriptPath);
    results.append({e.name, QStringLiteral("poll pass, 3060 inserts"), oursPass, clientPass});

    // A table of `rows` rows: 255 nodes x 12 channels per poll, one poll every 10 s up to now.
    const QDateTime now = QDateTime::currentDateTime();
    const QString ref = history_time_text(now);
    const QString fill = sqlite
        ? QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                         "with recursive g(i) as (select 0 union all select i + 1 from g where i + 1 < %1) "
                         "select i %% 255 + 1, (i / 255) %% 12 + 1, 1.5, 99.5, (i %% 1000) / 10.0, "
                         "datetime('%2', '-' || ((i / 3060) * 10) || ' seconds') from g")
              .arg(rows).arg(ref)
        : QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                         "select i %% 255 + 1, (i / 255) %% 12 + 1, 1.5, 99.5, (i %% 1000) / 10.0, "
                         "timestamp '%2' - ((i / 3060) * 10) * interval '1 second' from generate_series(0, %1 - 1) i")
              .arg(rows).arg(ref);
    QString fillSql = fill;
    fillSql.replace(QStringLiteral("%%"), QStringLiteral("%"));
    std::fprintf(stderr, "%s: filling %lld rows...\n", qPrintable(e.name), static_cast<long long>(rows));
    if (!exec(db, sqlite ? QStringLiteral("DELETE FROM Sensors_history") : QStringLiteral("TRUNCATE Sensors_history"))
        || !exec(db, fillSql) || !exec(db, sqlite ? QStringLiteral("ANALYZE") : QStringLiteral("ANALYZE Sensors_history")))
        return false;

    // The chart query of one channel over the last 10 minutes; best of several runs.
    const QDateTime time1 = now.addSecs(-600);
    double oursChart = 1e300;
    qsizetype chartRows = 0;
    for (int r = 0; r < kRepeats; ++r) {
        timer.restart();
        const auto mm = dm.max_min(100, 7, time1);
        const auto chart = dm.chart_rows(100, 7, time1);
        oursChart = std::min(oursChart, timer.nsecsElapsed() / 1e6);
        if (!mm || !chart) {
            std::fprintf(stderr, "chart: %s\n", qPrintable(dm.last_error()));
            return false;
        }
        chartRows = chart->size();
    }
    const HistoryStatements &s = dm.statements();
    QString chartScript = s.ADOQuery_max_min + QStringLiteral(";\n") + s.ADOQuery_history_chart + QStringLiteral(";\n");
    chartScript.replace(QStringLiteral(":sensor"), QStringLiteral("100"));
    chartScript.replace(QStringLiteral(":chanel"), QStringLiteral("7"));
    chartScript.replace(QStringLiteral(":time1"), literal(history_time_text(time1), sqlite));
    const QString chartPath = QDir(work).filePath(QStringLiteral("chart.sql"));
    if (!writeScript(chartPath, chartScript))
        return false;
    double clientChart = 1e300;
    for (int r = 0; r < kRepeats; ++r)
        clientChart = std::min(clientChart, runClient(e, chartPath));
    results.append({e.name, QStringLiteral("chart 10 min (%1 rows of %2)").arg(chartRows).arg(rows), oursChart, clientChart});
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("History database benchmark"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rows"), QStringLiteral("Rows in the table for the chart query."),
                      QStringLiteral("N"), QStringLiteral("10000000")});
    parser.process(app);
    const qint64 rows = std::max<qint64>(3060, parser.value(QStringLiteral("rows")).toLongLong());

    QTemporaryDir work;
    QList<Engine> engines;
    {
        const QString bd = QDir(work.path()).filePath(QStringLiteral("sqlite"));
        QDir().mkpath(bd);
        write_sqlite_link(bd, QStringLiteral("history.db"));
        engines.append({QStringLiteral("SQLite"), bd, QDir(bd).filePath(QStringLiteral("history.db")), {}, 0});
    }
    const QString socket = qEnvironmentVariable("QLX_PG_SOCKET");
    if (!socket.isEmpty()) {
        const int port = qEnvironmentVariableIsSet("QLX_PG_PORT") ? qEnvironmentVariableIntValue("QLX_PG_PORT") : 54329;
        const QString bd = QDir(work.path()).filePath(QStringLiteral("pg"));
        QDir().mkpath(bd);
        writeScript(QDir(bd).filePath(QString::fromLatin1(kLinkFileName)),
                    QStringLiteral("Provider=PostgreSQL;Data Source=%1;Port=%2;Initial Catalog=quorlex_test;User ID=postgres\n")
                        .arg(socket).arg(port));
        engines.append({QStringLiteral("PostgreSQL"), bd, {}, socket, port});
    }

    QList<Result> results;
    bool ok = true;
    for (const Engine &e : engines)
        ok = benchEngine(e, rows, work.path(), results) && ok;

    std::printf("%-11s %-34s %12s %12s %8s\n", "engine", "work", "station ms", "client ms", "ratio");
    for (const Result &r : results)
        std::printf("%-11s %-34s %12.2f %12.2f %8.2f\n", qPrintable(r.engine), qPrintable(r.work), r.ours, r.client,
                    r.client > 0 ? r.ours / r.client : 0.0);
    return ok ? 0 : 1;
}
