// The history table without its window: sessions of their own periods beside
// each other, the empty period, the row limit, loading a page at a time while
// the event loop turns, a window closing during a load, the grid arrangement
// (newest first, sorting, grouping), the layout files, the export's file names,
// its two files with "Вид 1" never shown, and a failed export leaving nothing.
#include "engine/history_grid.h"
#include "engine/history_session.h"
#include "storage/unit_files.h"

#include "tests/fixtures/history_fixture.h"

#include <QPointer>
#include <QTimer>

#include <qcoro/qcorotask.h>

using namespace qlx;
using namespace qlx::testing;

Q_DECLARE_METATYPE(qlx::GridLayout)

namespace {

template <typename T>
T run(QCoro::Task<T> task)
{
    std::optional<T> result;
    auto wrapper = [](QCoro::Task<T> t, std::optional<T> *out) -> QCoro::Task<void> { *out = co_await t; };
    auto started = wrapper(std::move(task), &result);
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 600000))
        qFatal("a history task did not finish");
    return *result;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The lines of an arrangement as text: "# caption" for a group, the cells joined by "|".
QStringList lines(const HistoryTable &table, const GridLayout &layout)
{
    GridArrangement arrangement;
    arrangement.build(table, layout);
    GridWalk walk(arrangement);
    GridWalk::Line line;
    QStringList out;
    while (walk.next(&line)) {
        if (line.group >= 0) {
            out << QString(arrangement.groups()[std::size_t(line.group)].level, u' ') + QStringLiteral("# ")
                    + arrangement.groupCaption(table, line.group);
            continue;
        }
        QStringList cells;
        for (const int c : layout.order)
            cells << table.text(line.row, c);
        out << cells.join(u'|');
    }
    return out;
}

} // namespace

class TestHistorySession : public QObject {
    Q_OBJECT

private slots:
    void sessionsKeepTheirOwnPeriods_data() { historyEngineRows(); }
    void sessionsKeepTheirOwnPeriods();
    void emptyPeriodAndRowLimit_data() { historyEngineRows(); }
    void emptyPeriodAndRowLimit();
    void loadTurnsTheEventLoop_data() { historyEngineRows(); }
    void loadTurnsTheEventLoop();
    void releasedDuringLoad();
    void arrangement_data();
    void arrangement();
    void layoutFiles_data();
    void layoutFiles();
    void fileNames_data();
    void fileNames();
    void exportBothViews();
    void failedExportLeavesNothing();
};

void TestHistorySession::sessionsKeepTheirOwnPeriods()
{
    QFETCH(QString, engine);
    HistoryFixture db(engine);
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 5, 3, 60)); // 10:00 .. 10:04, nodes 1..3
    HistorySession first(db.dm(), {at("01.03.2026 10:00:00"), at("01.03.2026 10:01:00")});
    HistorySession second(db.dm(), {at("01.03.2026 10:03:30"), at("01.03.2026 10:04:00")});
    // Both open before either loads: the shared row ends up with the second's period.
    QCOMPARE(run(first.open()).count, 2 * 3 * 12);
    QCOMPARE(run(second.open()).count, 1 * 3 * 12);
    QCOMPARE(db.storedInterval().left(19), QStringLiteral("2026-03-01 10:03:30"));
    QVERIFY(run(first.load(HistoryView::Cross)));
    QVERIFY(run(second.load(HistoryView::Cross)));
    QVERIFY(run(first.load(HistoryView::Rows)));
    const HistoryTable &a = *first.table(HistoryView::Cross);
    QCOMPARE(a.rowCount(), 6);
    QCOMPARE(a.text(0, 0), QStringLiteral("01.03.2026 10:00:00"));
    QCOMPARE(a.text(5, 0), QStringLiteral("01.03.2026 10:01:00"));
    QCOMPARE(first.table(HistoryView::Rows)->rowCount(), 72);
    const HistoryTable &b = *second.table(HistoryView::Cross);
    QCOMPARE(b.rowCount(), 3);
    QCOMPARE(b.text(0, 0), QStringLiteral("01.03.2026 10:04:00"));
}

void TestHistorySession::emptyPeriodAndRowLimit()
{
    QFETCH(QString, engine);
    HistoryFixture db(engine);
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 10, 2, 1)); // 240 rows
    const HistoryPeriod all{at("01.03.2026 10:00:00"), at("01.03.2026 10:00:09")};

    HistorySession empty(db.dm(), {at("01.03.2026 11:00:00"), at("01.03.2026 12:00:00")});
    QCOMPARE(run(empty.open()).status, HistorySession::Opening::Empty);
    HistorySession reversed(db.dm(), {all.to, all.from});
    QCOMPARE(run(reversed.open()).status, HistorySession::Opening::Empty);

    HistorySession atLimit(db.dm(), all);
    atLimit.setRowLimit(240);
    QCOMPARE(run(atLimit.open()).status, HistorySession::Opening::Opened);
    HistorySession over(db.dm(), all);
    over.setRowLimit(239);
    QCOMPARE(run(over.open()).status, HistorySession::Opening::TooMany);
    // Rows that came after the count still cannot carry a load past the limit.
    HistorySession grown(db.dm(), {all.from, at("01.03.2026 10:00:20")});
    grown.setRowLimit(240);
    QCOMPARE(run(grown.open()).status, HistorySession::Opening::Opened);
    QVERIFY(db.bulk(at("01.03.2026 10:00:15"), 1, 1, 1));
    grown.setPageRows(50);
    QVERIFY(!run(grown.load(HistoryView::Rows)));
    QCOMPARE(grown.error(), history_limit_text(240));
    QCOMPARE(grown.table(HistoryView::Rows)->rowCount(), 0);
}

void TestHistorySession::loadTurnsTheEventLoop()
{
    QFETCH(QString, engine);
    HistoryFixture db(engine);
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 100, 5, 1)); // 6000 rows, 500 polls
    HistorySession session(db.dm(), {at("01.03.2026 10:00:00"), at("01.03.2026 11:00:00")});
    session.setPageRows(100);
    QCOMPARE(run(session.open()).status, HistorySession::Opening::Opened);
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start(0);
    QVERIFY(run(session.load(HistoryView::Rows)));
    const int ticksRows = ticks;
    QVERIFY(run(session.load(HistoryView::Cross)));
    timer.stop();
    QVERIFY2(ticksRows > 0, "the event loop did not turn while Вид 1 loaded");
    QVERIFY2(ticks > ticksRows, "the event loop did not turn while Вид 2 loaded");
    QCOMPARE(session.table(HistoryView::Rows)->rowCount(), 6000);
    QCOMPARE(session.table(HistoryView::Cross)->rowCount(), 500);
    // A poll split over pages is one row of "Вид 2", every channel filled.
    for (qsizetype r = 0; r < 500; ++r)
        for (int c = 2; c < 14; ++c)
            if (session.table(HistoryView::Cross)->isNull(r, c))
                QFAIL("a channel of a poll is missing");
}

void TestHistorySession::releasedDuringLoad()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 100, 5, 1));
    auto *session = new HistorySession(db.dm(), {at("01.03.2026 10:00:00"), at("01.03.2026 11:00:00")});
    QPointer<HistorySession> alive(session);
    session->setPageRows(10);
    QCoro::Task<bool> load = session->load(HistoryView::Rows); // suspended after its first page
    QVERIFY(session->isLoading(HistoryView::Rows));
    session->release(); // the window closes
    QVERIFY(alive);     // not while its load is suspended
    QTRY_VERIFY_WITH_TIMEOUT(!alive, 60000);
    QVERIFY(load.isReady());
}

void TestHistorySession::arrangement_data()
{
    QTest::addColumn<GridLayout>("layout");
    QTest::addColumn<QStringList>("expected");
    GridLayout newest = GridLayout::defaults(HistoryView::Rows);
    newest.order = {0, 1, 2, 4};
    QTest::newRow("newest first, a poll's channels in order")
        << newest
        << QStringList{"01.03.2026 10:00:01|2|1|5", "01.03.2026 10:00:01|2|2|-1",
                       "01.03.2026 10:00:00|1|1|3", "01.03.2026 10:00:00|1|2|3", "01.03.2026 10:00:00|2|1|7"};
    GridLayout byIzm = newest;
    byIzm.sortColumn = 4;
    byIzm.sortOrder = Qt::AscendingOrder;
    QTest::newRow("by value, equal values in store order")
        << byIzm
        << QStringList{"01.03.2026 10:00:01|2|2|-1", "01.03.2026 10:00:00|1|1|3", "01.03.2026 10:00:00|1|2|3",
                       "01.03.2026 10:00:01|2|1|5", "01.03.2026 10:00:00|2|1|7"};
    GridLayout grouped = newest;
    grouped.order = {1, 2, 0, 4};
    grouped.groups = {1, 2};
    QTest::newRow("by node, then channel, newest first inside")
        << grouped
        << QStringList{"# Узел: 1", " # Канал: 1", "1|1|01.03.2026 10:00:00|3", " # Канал: 2",
                       "1|2|01.03.2026 10:00:00|3", "# Узел: 2", " # Канал: 1", "2|1|01.03.2026 10:00:01|5",
                       "2|1|01.03.2026 10:00:00|7", " # Канал: 2", "2|2|01.03.2026 10:00:01|-1"};
}

void TestHistorySession::arrangement()
{
    QFETCH(GridLayout, layout);
    QFETCH(QStringList, expected);
    HistoryTable table(HistoryView::Rows);
    const qint64 t0 = history_seconds(at("01.03.2026 10:00:00"));
    table.appendRow(t0, 1, 1, 0, 3, 0);
    table.appendRow(t0, 1, 2, 0, 3, 0);
    table.appendRow(t0, 2, 1, 0, 7, 0);
    table.appendRow(t0 + 1, 2, 1, 0, 5, 0);
    table.appendRow(t0 + 1, 2, 2, 0, -1, 0);
    QCOMPARE(lines(table, layout), expected);
}

void TestHistorySession::layoutFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("kept");
    const QByteArray good = "[Layout]\r\nOrder=1,0,2,3,4,5\r\nWidths=10,0,0,0,200,0\r\nSortColumn=4\r\nSortOrder=0\r\n"
                            "Groups=1,2\r\nGroupPanel=1\r\n";
    QTest::newRow("as written") << good << true;
    QTest::newRow("not a layout") << QByteArray("\x00\xff garbage\n", 11) << false;
    QTest::newRow("a column twice") << QByteArray(good).replace("Order=1,0", "Order=1,1") << false;
    QTest::newRow("a column too many") << QByteArray(good).replace("Order=1,0,", "Order=6,1,0,") << false;
    QTest::newRow("grouped on a value") << QByteArray(good).replace("Groups=1,2", "Groups=4") << false;
    QTest::newRow("a key missing") << QByteArray(good).replace("SortOrder=0\r\n", "") << false;
    QTest::newRow("not a number") << QByteArray(good).replace("Widths=10", "Widths=x") << false;
}

void TestHistorySession::layoutFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, kept);
    QTemporaryDir dir;
    const QString path = dir.filePath(kGridIniName);
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    const GridLayout read = GridLayout::read(path, HistoryView::Rows);
    if (!kept) {
        QCOMPARE(read, GridLayout::defaults(HistoryView::Rows));
        return;
    }
    GridLayout expected = GridLayout::defaults(HistoryView::Rows);
    expected.order = {1, 0, 2, 3, 4, 5};
    expected.widths = {10, 0, 0, 0, 200, 0};
    expected.sortColumn = 4;
    expected.sortOrder = Qt::AscendingOrder;
    expected.groups = {1, 2};
    expected.groupPanel = true;
    QCOMPARE(read, expected);
    // Written back and read again, the same layout.
    QVERIFY(QFile::remove(path));
    QVERIFY(expected.write(path));
    QCOMPARE(GridLayout::read(path, HistoryView::Rows), expected);
}

void TestHistorySession::fileNames_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QStringList>("targets");
    const int html = int(ExportFormat::Html), xls = int(ExportFormat::Excel), txt = int(ExportFormat::Text);
    QTest::newRow("own extension") << html << "report.htm" << QStringList{"report.htm", "report2.htm"};
    QTest::newRow("no extension") << html << "report" << QStringList{"report.htm", "report2.htm"};
    QTest::newRow("long extension kept") << html << "report.data" << QStringList{"report.data.htm", "report.data2.htm"};
    QTest::newRow("another three letters") << html << "data.xls" << QStringList{"data.htm", "data2.htm"};
    QTest::newRow("spreadsheet") << xls << "/tmp/a b/Отчёт.xls" << QStringList{"/tmp/a b/Отчёт.xls", "/tmp/a b/Отчёт2.xls"};
    QTest::newRow("text") << txt << "x.htm" << QStringList{"x.txt", "x2.txt"};
    QTest::newRow("only an extension") << txt << ".txt" << QStringList{".txt", "2.txt"};
    QTest::newRow("three characters") << txt << "a.b" << QStringList{"a.b.txt", "a.b2.txt"};
    QTest::newRow("one character") << txt << "a" << QStringList{"a.txt", "a2.txt"};
    QTest::newRow("nothing") << txt << "" << QStringList{".txt", "2.txt"};
}

void TestHistorySession::fileNames()
{
    QFETCH(int, format);
    QFETCH(QString, chosen);
    QFETCH(QStringList, targets);
    QCOMPARE(export_targets(ExportFormat(format), chosen), targets);
}

void TestHistorySession::exportBothViews()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.poll(5, at("01.03.2026 10:00:00"), 0, 2));
    QVERIFY(db.poll(7, at("01.03.2026 10:00:00"), 10, 1));
    QVERIFY(db.poll(5, at("01.03.2026 10:00:05"), 20, 1));
    HistorySession session(db.dm(), {at("01.03.2026 10:00:00"), at("01.03.2026 10:00:05")});
    QCOMPARE(run(session.open()).status, HistorySession::Opening::Opened);
    QVERIFY(run(session.load(HistoryView::Cross)));
    QVERIFY(!session.isLoaded(HistoryView::Rows)); // its tab was never shown

    QTemporaryDir dir;
    GridLayout rows = GridLayout::defaults(HistoryView::Rows);
    rows.order = {1, 2, 4, 0};
    rows.groups = {1};
    GridLayout cross = GridLayout::defaults(HistoryView::Cross);
    cross.order = {1, 0, 2, 3};
    cross.sortOrder = Qt::AscendingOrder;
    const QString chosen = dir.filePath(QStringLiteral("data.xls"));
    QCOMPARE(run(session.exportTo(ExportFormat::Text, chosen, rows, cross)), QString());
    QCOMPARE(fileBytes(dir.filePath(QStringLiteral("data.txt"))),
             to_cp1251(QStringLiteral("Узел   Канал   Измерение   Дата/Время\r\n\r\n"
                                      "5   1   21,1   01.03.2026 10:00:05\r\n"
                                      "5   1   1,1   01.03.2026 10:00:00\r\n"
                                      "5   2   2   01.03.2026 10:00:00\r\n"
                                      "7   1   11,1   01.03.2026 10:00:00\r\n")));
    QCOMPARE(fileBytes(dir.filePath(QStringLiteral("data2.txt"))),
             to_cp1251(QStringLiteral("Узел   Дата/время   Канал 1   Канал 2\r\n\r\n"
                                      "5   01.03.2026 10:00:00   1,1   2\r\n"
                                      "7   01.03.2026 10:00:00   11,1   \r\n"
                                      "5   01.03.2026 10:00:05   21,1   \r\n")));
    QVERIFY(!QFileInfo::exists(chosen));
    QCOMPARE(existing_targets(export_targets(ExportFormat::Text, chosen)),
             (QStringList{dir.filePath(QStringLiteral("data.txt")), dir.filePath(QStringLiteral("data2.txt"))}));
    QCOMPARE(existing_targets(export_targets(ExportFormat::Html, chosen)), QStringList());
}

void TestHistorySession::failedExportLeavesNothing()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.poll(5, at("01.03.2026 10:00:00"), 0));
    HistorySession session(db.dm(), {at("01.03.2026 10:00:00"), at("01.03.2026 10:00:00")});
    QCOMPARE(run(session.open()).status, HistorySession::Opening::Opened);
    QTemporaryDir dir;
    // The second file cannot be made (a folder is in its way): the first, though
    // complete, is not put in place either.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out2.htm")));
    const QString failed = run(session.exportTo(ExportFormat::Html, dir.filePath(QStringLiteral("out")),
                                                GridLayout::defaults(HistoryView::Rows),
                                                GridLayout::defaults(HistoryView::Cross)));
    QVERIFY(failed.contains(QStringLiteral("out2.htm")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("out2.htm")});
}

QTEST_GUILESS_MAIN(TestHistorySession)
#include "test_history_session.moc"
