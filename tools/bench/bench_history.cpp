// Times the history database work of the station:
//   1. recording one polling pass of 255 nodes (3060 rows) through the station's
//      own recorder, a transaction per node, with a turn of the event loop before
//      each node as polling gives it; beside the wall time, the longest time the
//      event loop was blocked during the pass (the largest gap between the ticks
//      of a 1 ms timer). Also with the database out of reach: a PostgreSQL server
//      that was stopped, one that hangs (something takes the connection on its
//      socket and never answers; the pass starts when the reconnect back-off of
//      the stopped pass is over), and an SQLite file whose write lock another
//      program holds (fewer nodes: each one waits the lock wait);
//   2. the same pass and the chart query of one channel over the last 10 minutes
//      (ADOQuery_max_min then ADOQuery_history) on a table of --rows rows
//      (default 10 million), beside the same work done by the engine's own
//      command-line client (sqlite3, psql) as a ratio. The client times include
//      starting the client process.
//
//   quorlex-bench-history [--rows N] [--locked-nodes N]
// PostgreSQL runs when QLX_PG_SOCKET (socket folder) is set, with QLX_PG_PORT,
// on the database quorlex_test (scripts/pg-test-server.sh start DIR); the cases
// out of reach stop and resume that server with the script (QLX_PG_SCRIPT, else
// the one in the source tree).
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "engine/recorder.h"
#include "engine/station_engine.h"
#include "storage/unit_dm.h"
#include "tools/bench/history_fill.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace qlx;

namespace {

constexpr int kNodes = 255;
constexpr int kRepeats = 5;

struct Result {
    QString engine, work;
    double ours = 0, client = 0;
};

struct PassResult {
    QString engine, situation;
    int nodes = 0;
    double passMs = 0, blockedMs = 0;
    qint64 written = 0;
};

struct Engine {
    QString name;
    QString sqliteFile;                  // SQLite, relative to bd/
    QString pgSocket; int pgPort = 0;    // PostgreSQL
    bool sqlite() const { return !sqliteFile.isEmpty(); }
};

QString pgScript()
{
    const QString script = qEnvironmentVariable("QLX_PG_SCRIPT");
    return script.isEmpty() ? QStringLiteral(QLX_PG_SCRIPT_DEFAULT) : script;
}

bool runPgScript(const Engine &e, const char *command)
{
    QProcess p;
    p.start(pgScript(), {QString::fromLatin1(command), e.pgSocket});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s %s failed: %s\n", qPrintable(pgScript()), command, p.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool writeScript(const QString &path, const QString &text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(text.toUtf8());
    return true;
}

// Runs the engine's client on a script; milliseconds, or -1 on failure.
double runClient(const Engine &e, const QString &bdDir, const QString &script)
{
    QProcess p;
    QElapsedTimer timer;
    timer.start();
    if (e.sqlite()) {
        p.setStandardInputFile(script);
        p.start(QStringLiteral("sqlite3"), {QDir(bdDir).filePath(e.sqliteFile)});
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

QString literal(const QString &text, bool sqlite)
{
    return sqlite ? QStringLiteral("'%1'").arg(text) : QStringLiteral("timestamp '%1'").arg(text);
}

qint64 rowCount(QSqlDatabase &db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("select count(*) from Sensors_history")) && q.next() ? q.value(0).toLongLong() : -1;
}

// The largest gap between the ticks of a 1 ms timer while it runs.
class BlockMeter {
public:
    BlockMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_since.nsecsElapsed());
            m_since.restart();
        });
    }
    void start()
    {
        m_longest = 0;
        m_since.start();
        m_timer.start();
    }
    double stopMs()
    {
        m_timer.stop();
        m_longest = std::max(m_longest, m_since.nsecsElapsed());
        return m_longest / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// A station folder recording into the engine's database.
struct Rig {
    QTemporaryDir home;
    std::unique_ptr<StationEngine> engine;

    bool open(const Engine &e)
    {
        QString error;
        const StationFolder folder(home.path());
        if (!StationEngine::initialiseFolder(folder, QString(), &error)) {
            std::fprintf(stderr, "station folder: %s\n", qPrintable(error));
            return false;
        }
        if (!e.sqlite()
            && !writeScript(QDir(folder.bdDir()).filePath(QString::fromLatin1(kLinkFileName)),
                            QStringLiteral("Provider=PostgreSQL;Data Source=%1;Port=%2;Initial Catalog=quorlex_test;"
                                           "User ID=postgres\n").arg(e.pgSocket).arg(e.pgPort)))
            return false;
        engine = std::make_unique<StationEngine>(folder);
        if (!engine->openDailyLogs())
            std::fprintf(stderr, "daily logs cannot be opened\n");
        if (!engine->openDatabase()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(e.name), qPrintable(engine->database().last_error()));
            return false;
        }
        return true;
    }
    QString bdDir() const { return StationFolder(home.path()).bdDir(); }
};

// Fills the node table with `nodes` answering nodes, every channel read.
void fillNodeTable(int nodes)
{
    reset_node_table_state();
    for (int n = 1; n <= nodes; ++n) {
        arr_nodes[n].address = n;
        for (int c = 1; c <= kChannels; ++c) {
            arr_nodes[n].channels[c] = Tarr_channel{n * 100 + c, 1 + (c - 1) % 4, 0, 0};
            arr_nodes[n].setup[c].nu = 1500;
            arr_nodes[n].setup[c].vu = 99500;
        }
    }
}

// One pass as polling records it: a turn of the event loop, then the node's rows.
QCoro::Task<void> recordPass(StationEngine &engine, int nodes)
{
    for (int n = 1; n <= nodes; ++n) {
        co_await service_events();
        co_await record_history(engine.station(), engine.database(), engine.logs(), n, [] { return true; });
    }
}

PassResult timePass(Rig &rig, const QString &engineName, const QString &situation, int nodes)
{
    QSqlDatabase &db = rig.engine->database().ADOCon();
    const qint64 before = rig.engine->database().isConnected() ? rowCount(db) : -1;
    BlockMeter meter;
    QElapsedTimer timer;
    meter.start();
    timer.start();
    QCoro::waitFor(recordPass(*rig.engine, nodes));
    const double passMs = timer.nsecsElapsed() / 1e6;
    const double blocked = meter.stopMs();
    qint64 written = 0;
    if (rig.engine->database().isConnected() && before >= 0)
        written = rowCount(db) - before;
    return {engineName, situation, nodes, passMs, blocked, written};
}

bool benchEngine(const Engine &e, qint64 rows, int lockedNodes, const QString &work, QList<PassResult> &passes,
                 QList<Result> &results)
{
    Rig rig;
    if (!rig.open(e))
        return false;
    TDM_local &dm = rig.engine->database();
    QSqlDatabase &db = dm.ADOCon();
    const bool sqlite = e.sqlite();
    if (!exec(db, sqlite ? QStringLiteral("DELETE FROM Sensors_history") : QStringLiteral("TRUNCATE Sensors_history")))
        return false;

    // One polling pass through the recorder. The first pass grows fresh files;
    // the second one is timed.
    fillNodeTable(kNodes);
    timePass(rig, e.name, QStringLiteral("warm-up"), kNodes);
    set_clock([] { return QDateTime::currentDateTime().addSecs(1); });
    const PassResult pass = timePass(rig, e.name, QStringLiteral("reachable"), kNodes);
    set_clock({});
    passes.append(pass);

    // The same rows through the engine's client, a transaction per node.
    QString script;
    const QString t = literal(history_time_text(QDateTime::currentDateTime().addSecs(2)), sqlite);
    for (int node = 1; node <= kNodes; ++node) {
        script += QStringLiteral("begin;\n");
        for (int k = 1; k <= 12; ++k) {
            const HistoryValues v = history_values(node, k);
            script += QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                                     "values (%1, %2, %3, %4, %5, %6);\n")
                          .arg(node).arg(k).arg(v.nu).arg(v.vu).arg(v.izm).arg(t);
        }
        script += QStringLiteral("commit;\n");
    }
    const QString scriptPath = QDir(work).filePath(QStringLiteral("pass.sql"));
    if (!writeScript(scriptPath, script))
        return false;
    const double clientPass = runClient(e, rig.bdDir(), scriptPath);
    results.append({e.name, QStringLiteral("poll pass, 255 transactions"), pass.passMs, clientPass});

    // A table of `rows` rows: 255 nodes x 12 channels per poll, one poll every 10 s up to now.
    const QDateTime now = QDateTime::currentDateTime();
    std::fprintf(stderr, "%s: filling %lld rows...\n", qPrintable(e.name), static_cast<long long>(rows));
    if (!exec(db, sqlite ? QStringLiteral("DELETE FROM Sensors_history") : QStringLiteral("TRUNCATE Sensors_history"))
        || !exec(db, history_fill_sql(sqlite, rows, now)) || !exec(db, sqlite ? QStringLiteral("ANALYZE") : QStringLiteral("ANALYZE Sensors_history")))
        return false;

    // The chart query of one channel over the last 10 minutes; best of several runs.
    const QDateTime time1 = now.addSecs(-600);
    double oursChart = 1e300;
    qsizetype chartRows = 0;
    QElapsedTimer timer;
    for (int r = 0; r < kRepeats; ++r) {
        timer.start();
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
        clientChart = std::min(clientChart, runClient(e, rig.bdDir(), chartPath));
    results.append({e.name, QStringLiteral("chart 10 min (%1 rows of %2)").arg(chartRows).arg(rows), oursChart, clientChart});

    // Out of reach.
    if (sqlite) {
        // Another program holds the write lock for the whole pass.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(db.databaseName());
        if (other.open() && exec(other, QStringLiteral("BEGIN IMMEDIATE"))) {
            passes.append(timePass(rig, e.name, QStringLiteral("write lock held elsewhere"), lockedNodes));
            exec(other, QStringLiteral("ROLLBACK"));
        }
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        return true;
    }
    bool ok = runPgScript(e, "pause");
    if (ok) {
        // The socket is gone: connecting fails at once.
        passes.append(timePass(rig, e.name, QStringLiteral("server stopped"), kNodes));
        // Something takes connections on the socket and never answers.
        const QString socketPath = QDir(e.pgSocket).filePath(QStringLiteral(".s.PGSQL.%1").arg(e.pgPort));
        auto hanging = std::make_unique<QLocalServer>();
        QLocalServer::removeServer(socketPath);
        if (hanging->listen(socketPath)) {
            // The stopped pass left a back-off running: the first node of this
            // pass tries the server again, the others fail at once.
            QCoro::waitFor(service_events(int(kReconnectBackoff.count())));
            passes.append(timePass(rig, e.name, QStringLiteral("server hangs"), kNodes));
            hanging.reset();
            QLocalServer::removeServer(socketPath);
        } else {
            std::fprintf(stderr, "cannot listen on %s\n", qPrintable(socketPath));
        }
        ok = runPgScript(e, "resume");
    }
    return ok;
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
    parser.addOption({QStringLiteral("locked-nodes"),
                      QStringLiteral("Nodes of the pass recorded while another program holds the SQLite write lock."),
                      QStringLiteral("N"), QStringLiteral("20")});
    parser.process(app);
    const qint64 rows = std::max<qint64>(3060, parser.value(QStringLiteral("rows")).toLongLong());
    const int lockedNodes = std::clamp(parser.value(QStringLiteral("locked-nodes")).toInt(), 1, kNodes);

    QTemporaryDir work;
    QList<Engine> engines;
    engines.append({QStringLiteral("SQLite"), QStringLiteral("history.db"), {}, 0});
    const QString socket = qEnvironmentVariable("QLX_PG_SOCKET");
    if (!socket.isEmpty()) {
        const int port = qEnvironmentVariableIsSet("QLX_PG_PORT") ? qEnvironmentVariableIntValue("QLX_PG_PORT") : 54329;
        engines.append({QStringLiteral("PostgreSQL"), {}, socket, port});
    }

    QList<PassResult> passes;
    QList<Result> results;
    bool ok = true;
    for (const Engine &e : engines)
        ok = benchEngine(e, rows, lockedNodes, work.path(), passes, results) && ok;

    std::printf("%-11s %-31s %6s %8s %11s %14s\n", "engine", "database", "nodes", "pass ms", "blocked ms",
                "rows written");
    for (const PassResult &p : passes)
        std::printf("%-11s %-31s %6d %8.1f %11.1f %14lld\n", qPrintable(p.engine), qPrintable(p.situation), p.nodes,
                    p.passMs, p.blockedMs, static_cast<long long>(p.written));
    std::printf("\n%-11s %-34s %12s %12s %8s\n", "engine", "work", "station ms", "client ms", "ratio");
    for (const Result &r : results)
        std::printf("%-11s %-34s %12.2f %12.2f %8.2f\n", qPrintable(r.engine), qPrintable(r.work), r.ours, r.client,
                    r.client > 0 ? r.ours / r.client : 0.0);
    return ok ? 0 : 1;
}
