// History table benchmark (not a test): a day of 255 nodes polled at the fastest
// line rate (about 4 million rows of "Вид 1", 340 thousand of "Вид 2") loaded the
// way the table window loads them, then exported to each format.
//
// For each engine it reports the count, the load of each view (time, memory per
// row, the longest stall of the event loop while loading, measured as the
// longest gap between the ticks of a 10 ms timer) and each export (time, peak
// memory, file size, longest stall).
//
//   quorlex-bench-table [--rows N] [--engine sqlite|postgresql|both] [--keep DIR]
//
// --rows N   rows of "Вид 1" (default 4080000: 255 nodes, 12 channels, 1333 passes)
// PostgreSQL runs on a throwaway server (scripts/pg-test-server.sh) on $QLX_PG_PORT
// (default 54341).
#include "engine/history_session.h"
#include "storage/unit_dm.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <cstdio>

using namespace qlx;

namespace {

constexpr int kNodes = 255;
constexpr int kChannels = 12;

qint64 statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Starts peak-memory counting afresh.
void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The longest gap between ticks of a 10 ms timer while it runs.
class StallMeter {
public:
    StallMeter()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
        m_clock.start();
        m_timer.start(10);
    }
    qint64 longestMs()
    {
        m_longest = std::max(m_longest, m_clock.elapsed() - m_last);
        return m_longest;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

bool exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "%s\n-> %s\n", qPrintable(sql.left(200)), qPrintable(q.lastError().text()));
    return false;
}

// Fills the day inside the database itself: passes every `step` seconds from
// 01.03.2026 00:00:00, every node, every channel.
bool fill(TDM_local &dm, qint64 rows)
{
    const qint64 passes = std::max<qint64>(1, rows / (kNodes * kChannels));
    const double step = 86400.0 / double(passes);
    QSqlDatabase db = QSqlDatabase::cloneDatabase(dm.ADOCon(), QStringLiteral("bench_fill"));
    bool ok = db.open() && exec(db, QStringLiteral("delete from Sensors_history"));
    if (dm.engine() == HistoryEngine::PostgreSQL) {
        ok = ok
            && exec(db, QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                                       "select n, c, -1.5, 100.25, (p %% 1000) + c / 10.0, "
                                       "timestamp '2026-03-01 00:00:00' + make_interval(secs => floor(p * %1)) "
                                       "from generate_series(0, %2) p, generate_series(1, %3) n, generate_series(1, 12) c")
                            .replace(QStringLiteral("%%"), QStringLiteral("%"))
                            .arg(step)
                            .arg(passes - 1)
                            .arg(kNodes))
            && exec(db, QStringLiteral("analyze Sensors_history"));
    } else {
        ok = ok && db.transaction()
            && exec(db, QStringLiteral("with recursive p(i) as (select 0 union all select i + 1 from p where i < %1), "
                                       "n(i) as (select 1 union all select i + 1 from n where i < %2), "
                                       "c(i) as (select 1 union all select i + 1 from c where i < 12) "
                                       "insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time) "
                                       "select n.i, c.i, -1.5, 100.25, (p.i % 1000) + c.i / 10.0, "
                                       "strftime('%Y-%m-%d %H:%M:%S', '2026-03-01 00:00:00', '+' || cast(p.i * %3 as integer) || ' seconds') "
                                       "from p, n, c")
                            .arg(passes - 1)
                            .arg(kNodes)
                            .arg(step))
            && db.commit() && exec(db, QStringLiteral("analyze"));
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("bench_fill"));
    return ok;
}

QCoro::Task<void> runEngine(QString engine, qint64 rows)
{
    QTemporaryDir home;
    const QString bd = home.filePath(QStringLiteral("bd"));
    QDir().mkpath(bd);
    QTemporaryDir pg;
    const QString script = QStringLiteral(QLX_PG_SCRIPT_DEFAULT);
    if (engine == QLatin1String("sqlite")) {
        write_sqlite_link(bd);
    } else {
        if (QProcess::execute(script, {QStringLiteral("start"), pg.path()}) != 0) {
            std::fprintf(stderr, "no PostgreSQL server\n");
            co_return;
        }
        QFile link(QDir(bd).filePath(QString::fromLatin1(kLinkFileName)));
        link.open(QIODevice::WriteOnly);
        link.write(QStringLiteral("Provider=PostgreSQL;Data Source=%1;Port=%2;Initial Catalog=quorlex_test;User ID=postgres\n")
                       .arg(pg.path())
                       .arg(qEnvironmentVariableIntValue("QLX_PG_PORT"))
                       .toUtf8());
    }
    {
        TDM_local dm;
        if (!dm.open_history_database(bd)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(engine), qPrintable(dm.last_error()));
            co_return;
        }
        QElapsedTimer clock;
        clock.start();
        if (!fill(dm, rows))
            co_return;
        std::printf("%s: filled in %.1f s\n", qPrintable(engine), clock.elapsed() / 1000.0);

        HistorySession session(dm, {QDateTime(QDate(2026, 3, 1), QTime(0, 0)), QDateTime(QDate(2026, 3, 1), QTime(23, 59, 59))});
        {
            StallMeter stall;
            clock.restart();
            const HistorySession::OpenResult opened = co_await session.open();
            std::printf("| %s | count | %lld rows | %.2f s | | stall %lld ms |\n", qPrintable(engine),
                        static_cast<long long>(opened.count), clock.elapsed() / 1000.0,
                        static_cast<long long>(stall.longestMs()));
        }
        for (const HistoryView view : {HistoryView::Cross, HistoryView::Rows}) {
            const qint64 before = statusKb("VmRSS:");
            resetPeak();
            StallMeter stall;
            clock.restart();
            if (!co_await session.load(view)) {
                std::fprintf(stderr, "load failed: %s\n", qPrintable(session.error()));
                co_return;
            }
            const double seconds = clock.elapsed() / 1000.0;
            const qint64 n = session.table(view)->rowCount();
            std::printf("| %s | load %s | %lld rows | %.1f s | %.0f B/row store, %.0f B/row peak | stall %lld ms |\n",
                        qPrintable(engine), view == HistoryView::Rows ? "Вид 1" : "Вид 2", static_cast<long long>(n),
                        seconds, double(session.table(view)->memoryBytes()) / double(std::max<qint64>(1, n)),
                        double(statusKb("VmHWM:") - before) * 1024.0 / double(std::max<qint64>(1, n)),
                        static_cast<long long>(stall.longestMs()));
        }
        QTemporaryDir out;
        for (const ExportFormat format : {ExportFormat::Html, ExportFormat::Excel, ExportFormat::Text}) {
            const qint64 before = statusKb("VmRSS:");
            resetPeak();
            StallMeter stall;
            clock.restart();
            const QString chosen = out.filePath(QStringLiteral("day"));
            const QString failed = co_await (session.exportTo(format, chosen, GridLayout::defaults(HistoryView::Rows),
                                                         GridLayout::defaults(HistoryView::Cross)));
            const QStringList files = export_targets(format, chosen);
            std::printf("| %s | export %s | %.0f + %.0f MB | %.1f s | peak +%lld MB | stall %lld ms |%s\n",
                        qPrintable(engine), qPrintable(export_extension(format)),
                        QFileInfo(files.at(0)).size() / 1e6, QFileInfo(files.at(1)).size() / 1e6,
                        clock.elapsed() / 1000.0, static_cast<long long>((statusKb("VmHWM:") - before) / 1024),
                        static_cast<long long>(stall.longestMs()), qPrintable(failed));
            for (const QString &file : files)
                QFile::remove(file);
        }
    }
    if (engine != QLatin1String("sqlite"))
        QProcess::execute(script, {QStringLiteral("stop"), pg.path()});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    qint64 rows = qint64(kNodes) * kChannels * 1333;
    QString engine = QStringLiteral("both");
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rows"))
            rows = args.at(i + 1).toLongLong();
        else if (args.at(i) == QLatin1String("--engine"))
            engine = args.at(i + 1);
    }
    if (!qEnvironmentVariableIsSet("QLX_PG_PORT"))
        qputenv("QLX_PG_PORT", "54341");
    std::printf("| engine | step | size | time | memory | longest stall |\n|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    auto all = [](QString engine, qint64 rows) -> QCoro::Task<void> {
        for (const char *e : {"sqlite", "postgresql"})
            if (engine == QLatin1String("both") || engine == QLatin1String(e)) {
                co_await runEngine(QString::fromLatin1(e), rows);
                std::fflush(stdout);
            }
        QCoreApplication::quit();
    }(engine, rows);
    if (!all.isReady())
        return QCoreApplication::exec();
    return 0;
}
