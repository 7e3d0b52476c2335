// Times the history views that read stored history back:
//   1. one tick of the history chart (both statements, the three lines replaced
//      and the chart drawn into an image of the window's size) for a channel over
//      the last 10, 120 and 1440 minutes, on a table of --rows rows (default 10
//      million: 255 nodes x 12 channels, one poll every 10 s up to now), on SQLite
//      and, when QLX_PG_SOCKET and QLX_PG_PORT name a server
//      (scripts/pg-test-server.sh), on PostgreSQL; best of 5;
//   2. one load of the text-log viewer of a node from a value log of --nodes nodes
//      polled every --every seconds for a whole day (default 255 and 5: about
//      4.4 million lines); best of 3.
// Each time is also given as a share of what the operator waits anyway: the
// chart's refresh interval (5 s) and, for the viewer, one second.
//
//   quorlex-bench-chart [--rows N] [--nodes N] [--every S]
#include "base/node_table.h"
#include "engine/log_viewer.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"
#include "tools/bench/history_fill.h"
#include "windows/history_chart_window.h"

#include <QApplication>
#include <QChart>
#include <QCommandLineParser>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace qlx;

namespace {

constexpr int kChartRepeats = 5;
constexpr int kViewerRepeats = 3;
constexpr double kChartIntervalMs = 5000;

struct ChartResult {
    QString engine;
    int minutes = 0;
    int rows = 0;
    double queryMs = 0, drawMs = 0;
};

bool benchChart(const QString &engine, const QString &bdDir, qint64 rows, QList<ChartResult> &results)
{
    TDM_local dm;
    if (!dm.open_history_database(bdDir)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(engine), qPrintable(dm.last_error()));
        return false;
    }
    const bool sqlite = dm.engine() == HistoryEngine::SQLite;
    const QDateTime now = QDateTime::currentDateTime();
    std::fprintf(stderr, "%s: filling %lld rows...\n", qPrintable(engine), static_cast<long long>(rows));
    QSqlDatabase &db = dm.ADOCon();
    if (!exec(db, sqlite ? QStringLiteral("DELETE FROM Sensors_history") : QStringLiteral("TRUNCATE Sensors_history"))
        || !exec(db, history_fill_sql(sqlite, rows, now))
        || !exec(db, sqlite ? QStringLiteral("ANALYZE") : QStringLiteral("ANALYZE Sensors_history")))
        return false;

    HistoryChartWindow window(dm);
    window.setClock([now] { return now; });
    window.sensorField()->setEditText(QStringLiteral("100"));
    window.channelField()->setEditText(QStringLiteral("7"));
    window.resize(900, 560);
    window.show();
    QImage image(window.chartView()->viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    for (const int minutes : {10, 120, 1440}) {
        window.minutesField()->setEditText(QString::number(minutes));
        emit window.minutesField()->lineEdit()->editingFinished();
        ChartResult best{engine, minutes, 0, 1e300, 1e300};
        for (int r = 0; r < kChartRepeats; ++r) {
            QElapsedTimer timer;
            timer.start();
            window.load_history();
            const double queryMs = timer.nsecsElapsed() / 1e6;
            timer.restart();
            image.fill(Qt::white);
            QPainter painter(&image);
            window.chartView()->render(&painter);
            painter.end();
            const double drawMs = timer.nsecsElapsed() / 1e6;
            if (queryMs + drawMs < best.queryMs + best.drawMs) {
                best.queryMs = queryMs;
                best.drawMs = drawMs;
            }
            best.rows = int(window.series(0)->count());
        }
        results.append(best);
    }
    return true;
}

// A day's value log of `nodes` nodes polled every `every` seconds, as the station
// writes it: the header from the station's own writer, then the rows.
bool writeDayLog(const QString &logsDir, int nodes, int every, QString *path)
{
    reset_node_table_state();
    DailyLogs logs(logsDir);
    if (!logs.open_daily_logs())
        return false;
    *path = logs.valueLogPath();
    logs.close_daily_logs();
    QFile file(*path);
    if (!file.open(QIODevice::Append))
        return false;
    const QDate day = QDate::currentDate();
    QByteArray chunk;
    for (int s = 0; s < 24 * 3600; s += every) {
        const QTime t = QTime(0, 0).addSecs(s);
        const QByteArray stamp = day.toString(QStringLiteral("dd.MM.yyyy")).toLatin1() + '\t'
            + t.toString(QStringLiteral("hh:mm.ss")).toLatin1() + '\t';
        for (int n = 1; n <= nodes; ++n) {
            chunk += QByteArray::number(n) + '\t' + stamp;
            for (int c = 1; c <= 12; ++c)
                chunk += QByteArray::number((n * 7 + c * 13 + s) % 1000) + ",5000\t";
            chunk += "\r\n";
        }
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    return file.write(chunk) == chunk.size() && file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rows"), QStringLiteral("history rows"), QStringLiteral("N"),
                      QStringLiteral("10000000")});
    parser.addOption({QStringLiteral("nodes"), QStringLiteral("nodes in the value log"), QStringLiteral("N"),
                      QStringLiteral("255")});
    parser.addOption({QStringLiteral("every"), QStringLiteral("seconds between polls in the value log"),
                      QStringLiteral("S"), QStringLiteral("5")});
    parser.process(app);
    const qint64 rows = std::max<qint64>(3060, parser.value(QStringLiteral("rows")).toLongLong());
    const int nodes = std::clamp(parser.value(QStringLiteral("nodes")).toInt(), 1, 255);
    const int every = std::clamp(parser.value(QStringLiteral("every")).toInt(), 1, 3600);

    QTemporaryDir work;
    bool ok = true;
    QList<ChartResult> charts;
    const QString sqliteDir = QDir(work.path()).filePath(QStringLiteral("sqlite"));
    ok = QDir().mkpath(sqliteDir) && write_sqlite_link(sqliteDir) && benchChart(QStringLiteral("SQLite"), sqliteDir, rows, charts);
    const QString socket = qEnvironmentVariable("QLX_PG_SOCKET");
    if (!socket.isEmpty()) {
        const int port = qEnvironmentVariableIsSet("QLX_PG_PORT") ? qEnvironmentVariableIntValue("QLX_PG_PORT") : 54329;
        const QString pgDir = QDir(work.path()).filePath(QStringLiteral("pg"));
        QFile link(QDir(pgDir).filePath(QString::fromLatin1(kLinkFileName)));
        ok = QDir().mkpath(pgDir) && link.open(QIODevice::WriteOnly)
            && link.write(QStringLiteral("Provider=PostgreSQL;Data Source=%1;Port=%2;Initial Catalog=quorlex_test;"
                                         "User ID=postgres\n").arg(socket).arg(port).toUtf8()) > 0
            && (link.close(), true) && benchChart(QStringLiteral("PostgreSQL"), pgDir, rows, charts) && ok;
    }

    std::printf("%-11s %8s %8s %10s %10s %10s %12s\n", "engine", "minutes", "rows", "query ms", "draw ms",
                "tick ms", "tick/5 s");
    for (const ChartResult &r : charts)
        std::printf("%-11s %8d %8d %10.2f %10.2f %10.2f %12.4f\n", qPrintable(r.engine), r.minutes, r.rows, r.queryMs,
                    r.drawMs, r.queryMs + r.drawMs, (r.queryMs + r.drawMs) / kChartIntervalMs);

    QString logPath;
    const QString logsDir = QDir(work.path()).filePath(QStringLiteral("logs"));
    std::fprintf(stderr, "writing a day's value log of %d nodes every %d s...\n", nodes, every);
    if (!QDir().mkpath(logsDir) || !writeDayLog(logsDir, nodes, every, &logPath)) {
        std::fprintf(stderr, "cannot write the value log in %s\n", qPrintable(logsDir));
        return 1;
    }
    double best = 1e300;
    qsizetype records = 0;
    for (int r = 0; r < kViewerRepeats; ++r) {
        QElapsedTimer timer;
        timer.start();
        const auto load = Load_file(logPath, nodes / 2 + 1);
        best = std::min(best, timer.nsecsElapsed() / 1e6);
        records = load ? load->records.size() : -1;
    }
    std::printf("\n%-40s %12s %10s %10s %10s\n", "text-log viewer load", "file MB", "records", "load ms", "load/1 s");
    std::printf("%-40s %12.1f %10lld %10.1f %10.3f\n",
                qPrintable(QStringLiteral("%1 nodes every %2 s, one day").arg(nodes).arg(every)),
                QFileInfo(logPath).size() / 1e6, static_cast<long long>(records), best, best / 1000);
    return ok ? 0 : 1;
}
