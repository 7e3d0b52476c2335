// The history table's period reader on both engines (limits with seconds, both
// ends included, its own period whatever the shared interval row holds, pages,
// the cross table of polls, the bounded count), the display texts, and the three
// export writers read back by independent readers: HTML by python3's html.parser,
// the workbook by python3-xlrd, the text byte for byte.
#include "storage/history_export.h"
#include "storage/history_table.h"
#include "storage/unit_files.h"

#include "tests/fixtures/history_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cmath>
#include <limits>

using namespace qlx;
using namespace qlx::testing;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs read_export.py and returns its JSON.
QJsonObject readBack(const char *kind, const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(QLX_READ_EXPORT), QString::fromLatin1(kind), path});
    if (!p.waitForFinished(300000) || p.exitCode() != 0) {
        qWarning() << "read_export.py:" << p.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Reads a whole period into a table, a page of `page` rows at a time.
bool readAll(TDM_local &dm, const HistoryPeriod &period, HistoryTable &table, int page)
{
    HistoryReader reader(dm);
    if (!reader.start(period, table)) {
        qWarning() << reader.lastError();
        return false;
    }
    while (!reader.done())
        if (!reader.fetch(page)) {
            qWarning() << reader.lastError();
            return false;
        }
    return true;
}

// Two polls of "Вид 1" and the cross rows they make, a little of everything a cell holds.
HistoryTable sampleRows()
{
    HistoryTable t(HistoryView::Rows);
    const qint64 t1 = history_seconds(at("31.12.2025 23:59:59"));
    const qint64 t2 = history_seconds(at("01.01.2026 00:00:10"));
    t.appendRow(t1, 5, 1, -1.5, 12.25, 100);
    t.appendRow(t1, 5, 2, 0, 0.1, 1e-7);
    t.appendRow(t2, 17, 12, 3, -7, 123456.789);
    return t;
}

HistoryTable sampleCross()
{
    HistoryTable t(HistoryView::Cross);
    std::array<double, 12> izm;
    izm.fill(kNaN);
    izm[0] = 12.25;
    izm[11] = -7;
    t.appendCross(history_seconds(at("01.01.2026 00:00:10")), 17, izm);
    return t;
}

bool writeAll(ExportFormat format, const QString &path, const HistoryTable &table, const QList<int> &columns)
{
    std::unique_ptr<TableFileWriter> w = TableFileWriter::create(format, path);
    bool ok = w->begin(table, columns, table.rowCount());
    for (qsizetype r = 0; ok && r < table.rowCount(); ++r)
        ok = w->row(r);
    ok = ok && w->end() && w->commit();
    if (!ok)
        qWarning() << w->errorString();
    return ok;
}

QJsonArray cell(const char *type, const QJsonValue &value)
{
    return QJsonArray{QString::fromLatin1(type), value};
}

} // namespace

class TestHistoryTable : public QObject {
    Q_OBJECT

private slots:
    void periodWithSeconds_data() { historyEngineRows(); }
    void periodWithSeconds();
    void countStopsAtTheCap_data() { historyEngineRows(); }
    void countStopsAtTheCap();
    void texts_data();
    void texts();
    void html();
    void workbook();
    void workbookSplitsSheets();
    void text();
    void failedWriteLeavesNothing();
};

void TestHistoryTable::periodWithSeconds()
{
    QFETCH(QString, engine);
    HistoryFixture db(engine);
    QVERIFY(db.ok());
    // Across a year boundary; only the middle three lie in [t1, t3], to the second.
    QVERIFY(db.poll(5, at("31.12.2025 23:59:58"), 0));
    QVERIFY(db.poll(5, at("31.12.2025 23:59:59"), 10, 11)); // channel 12 missing
    QVERIFY(db.poll(9, at("31.12.2025 23:59:59"), 20));
    QVERIFY(db.poll(5, at("01.01.2026 00:00:10"), 30));
    QVERIFY(db.poll(5, at("01.01.2026 00:00:11"), 40));
    // The shared row says something else: the reader keeps to its own period.
    QVERIFY(db.dm().set_interval(at("01.01.2020 00:00:00"), at("01.01.2030 00:00:00")));
    const HistoryPeriod period{at("31.12.2025 23:59:59"), at("01.01.2026 00:00:10")};

    for (const int page : {7, 1000}) { // a page boundary inside a poll, and one page
        HistoryTable rows(HistoryView::Rows);
        QVERIFY(readAll(db.dm(), period, rows, page));
        QCOMPARE(rows.rowCount(), 11 + 12 + 12);
        // Time, node, channel order.
        QCOMPARE(rows.text(0, 0), QStringLiteral("31.12.2025 23:59:59"));
        QCOMPARE(rows.integer(0, 1), 5);
        QCOMPARE(rows.integer(10, 2), 11);
        QCOMPARE(rows.integer(11, 1), 9);
        QCOMPARE(rows.text(34, 0), QStringLiteral("01.01.2026 00:00:10"));
        QCOMPARE(rows.integer(34, 2), 12);
        QCOMPARE(rows.number(0, 3), -1.5);
        QCOMPARE(rows.number(0, 4), 11.1);
        QCOMPARE(rows.number(0, 5), 100.25);

        HistoryTable cross(HistoryView::Cross);
        QVERIFY(readAll(db.dm(), period, cross, page));
        QCOMPARE(cross.rowCount(), 3);
        QCOMPARE(cross.integer(0, 1), 5);
        QCOMPARE(cross.number(0, 2), 11.1);
        QCOMPARE(cross.number(0, 12), 21.1);
        QVERIFY(cross.isNull(0, 13)); // channel 12 had no row
        QCOMPARE(cross.text(0, 13), QString());
        QCOMPARE(cross.integer(1, 1), 9);
        QCOMPARE(cross.number(2, 13), 42.0);
        QCOMPARE(cross.text(2, 0), QStringLiteral("01.01.2026 00:00:10"));
    }

    // A start after the end holds nothing.
    HistoryTable none(HistoryView::Rows);
    QVERIFY(readAll(db.dm(), {period.to, period.from}, none, 100));
    QCOMPARE(none.rowCount(), 0);
}

void TestHistoryTable::countStopsAtTheCap()
{
    QFETCH(QString, engine);
    HistoryFixture db(engine);
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 10, 2, 1)); // 240 rows, 10:00:00 .. 10:00:09
    HistoryReader reader(db.dm());
    const HistoryPeriod all{at("01.03.2026 10:00:00"), at("01.03.2026 10:00:09")};
    QCOMPARE(reader.count(all, 1000), std::optional<qint64>(240));
    QCOMPARE(reader.count(all, 101), std::optional<qint64>(101));
    QCOMPARE(reader.count({at("01.03.2026 10:00:01"), at("01.03.2026 10:00:01")}, 1000), std::optional<qint64>(24));
    QCOMPARE(reader.count({at("01.03.2026 11:00:00"), at("01.03.2026 12:00:00")}, 1000), std::optional<qint64>(0));
}

void TestHistoryTable::texts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("fraction") << 12.25 << QStringLiteral("12,25");
    QTest::newRow("negative") << -1.5 << QStringLiteral("-1,5");
    QTest::newRow("whole") << 100.0 << QStringLiteral("100");
    QTest::newRow("large, no group separator") << 123456.789 << QStringLiteral("123456,789");
    QTest::newRow("small, no exponent") << 1e-7 << QStringLiteral("0,0000001");
    QTest::newRow("tenth") << 0.1 << QStringLiteral("0,1");
    QTest::newRow("negative zero") << -0.0 << QStringLiteral("0");
    QTest::newRow("empty") << kNaN << QString();
}

void TestHistoryTable::texts()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // the machine's locale plays no part
    QCOMPARE(history_number_text(value), text);
    QCOMPARE(history_time_display(history_seconds(at("09.02.2026 07:05:03"))), QStringLiteral("09.02.2026 07:05:03"));
    QCOMPARE(history_datetime(history_seconds(at("09.02.1969 07:05:03"))), at("09.02.1969 07:05:03"));
}

void TestHistoryTable::html()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.htm"));
    const HistoryTable table = sampleRows();
    std::unique_ptr<TableFileWriter> w = TableFileWriter::create(ExportFormat::Html, path);
    QVERIFY(w->begin(table, {1, 0, 4}, table.rowCount())); // columns moved and some left out
    QVERIFY(w->group(QStringLiteral("Узел: <5> & \"Ф\""), 0));
    QVERIFY(w->row(0));
    QVERIFY(w->row(2));
    QVERIFY(w->end() && w->commit());

    const QJsonObject page = readBack("html", path);
    QCOMPARE(page.value(QStringLiteral("charset")).toString().toLower(), QStringLiteral("utf-8"));
    const QJsonArray expected{
        QJsonArray{QStringLiteral("th"), QJsonArray{QStringLiteral("Узел"), QStringLiteral("Дата/Время"),
                                                    QStringLiteral("Измерение")}},
        QJsonArray{QStringLiteral("group"), QJsonArray{QStringLiteral("Узел: <5> & \"Ф\"")}},
        QJsonArray{QStringLiteral("td"), QJsonArray{QStringLiteral("5"), QStringLiteral("31.12.2025 23:59:59"),
                                                    QStringLiteral("12,25")}},
        QJsonArray{QStringLiteral("td"), QJsonArray{QStringLiteral("17"), QStringLiteral("01.01.2026 00:00:10"),
                                                    QStringLiteral("-7")}},
    };
    QCOMPARE(page.value(QStringLiteral("rows")).toArray(), expected);
}

void TestHistoryTable::workbook()
{
    QTemporaryDir dir;
    const QString rowsPath = dir.filePath(QStringLiteral("data.xls"));
    const QString crossPath = dir.filePath(QStringLiteral("data2.xls"));
    QVERIFY(writeAll(ExportFormat::Excel, rowsPath, sampleRows(), {0, 1, 2, 3, 4, 5}));
    QVERIFY(writeAll(ExportFormat::Excel, crossPath, sampleCross(), {1, 0, 2, 3, 13}));

    const QJsonArray sheets = readBack("xls", rowsPath).value(QStringLiteral("sheets")).toArray();
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets.at(0)[QStringLiteral("name")].toString(), QStringLiteral("Вид 1"));
    const QJsonArray rows = sheets.at(0)[QStringLiteral("rows")].toArray();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(0).toArray(),
             (QJsonArray{cell("text", QStringLiteral("Дата/Время")), cell("text", QStringLiteral("Узел")),
                         cell("text", QStringLiteral("Канал")), cell("text", QStringLiteral("Нижний уровень")),
                         cell("text", QStringLiteral("Измерение")), cell("text", QStringLiteral("Верхний уровень"))}));
    const QJsonArray first = rows.at(1).toArray();
    QCOMPARE(first.at(0).toArray(), (QJsonArray{QStringLiteral("date"), QStringLiteral("31.12.2025 23:59:59"),
                                                QStringLiteral("dd.mm.yyyy hh:mm:ss")}));
    QCOMPARE(first.at(1).toArray(), cell("number", 5));
    QCOMPARE(first.at(3).toArray(), cell("number", -1.5));
    QCOMPARE(first.at(4).toArray(), cell("number", 12.25));
    QCOMPARE(rows.at(2).toArray().at(4).toArray(), cell("number", 0.1));
    QCOMPARE(rows.at(2).toArray().at(5).toArray(), cell("number", 1e-7));
    QCOMPARE(rows.at(3).toArray().at(5).toArray(), cell("number", 123456.789));

    const QJsonArray cross = readBack("xls", crossPath).value(QStringLiteral("sheets")).toArray();
    QCOMPARE(cross.at(0)[QStringLiteral("name")].toString(), QStringLiteral("Вид 2"));
    const QJsonArray crossRows = cross.at(0)[QStringLiteral("rows")].toArray();
    QCOMPARE(crossRows.at(0).toArray().at(0).toArray(), cell("text", QStringLiteral("Узел")));
    QCOMPARE(crossRows.at(0).toArray().at(4).toArray(), cell("text", QStringLiteral("Канал 12")));
    QCOMPARE(crossRows.at(1).toArray(),
             (QJsonArray{cell("number", 17),
                         QJsonArray{QStringLiteral("date"), QStringLiteral("01.01.2026 00:00:10"),
                                    QStringLiteral("dd.mm.yyyy hh:mm:ss")},
                         cell("number", 12.25), cell("empty", QJsonValue::Null), cell("number", -7)}));
}

void TestHistoryTable::workbookSplitsSheets()
{
    // More rows than a sheet holds: the header again on every sheet, no row lost.
    const qsizetype count = 2 * (kSheetRows - 1) + 10;
    HistoryTable table(HistoryView::Rows);
    const qint64 start = history_seconds(at("01.03.2026 00:00:00"));
    for (qsizetype i = 0; i < count; ++i)
        table.appendRow(start + i, int(i % 255) + 1, int(i % 12) + 1, 0.5, double(i), 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.xls"));
    QVERIFY(writeAll(ExportFormat::Excel, path, table, {4, 1}));

    const QJsonArray sheets = readBack("xls", path).value(QStringLiteral("sheets")).toArray();
    QCOMPARE(sheets.size(), 3);
    qsizetype next = 0;
    for (qsizetype s = 0; s < sheets.size(); ++s) {
        const QJsonArray rows = sheets.at(s)[QStringLiteral("rows")].toArray();
        QCOMPARE(sheets.at(s)[QStringLiteral("name")].toString(),
                 s == 0 ? QStringLiteral("Вид 1") : QStringLiteral("Вид 1 (%1)").arg(s + 1));
        QVERIFY(rows.size() <= kSheetRows);
        QCOMPARE(rows.at(0).toArray().at(0).toArray(), cell("text", QStringLiteral("Измерение")));
        for (qsizetype r = 1; r < rows.size(); ++r, ++next)
            if (rows.at(r).toArray().at(0).toArray().at(1).toDouble() != double(next))
                QFAIL(qPrintable(QStringLiteral("sheet %1 row %2: expected %3").arg(s).arg(r).arg(next)));
    }
    QCOMPARE(next, count);
}

void TestHistoryTable::text()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    QVERIFY(writeAll(ExportFormat::Text, path, sampleRows(), {1, 2, 0, 4}));
    const QByteArray expected = to_cp1251(QStringLiteral("Узел   Канал   Дата/Время   Измерение\r\n"
                                                         "\r\n"
                                                         "5   1   31.12.2025 23:59:59   12,25\r\n"
                                                         "5   2   31.12.2025 23:59:59   0,1\r\n"
                                                         "17   12   01.01.2026 00:00:10   -7\r\n"));
    QCOMPARE(fileBytes(path), expected);

    // An empty cell of "Вид 2" is an empty text between its separators.
    QVERIFY(writeAll(ExportFormat::Text, path, sampleCross(), {1, 3, 2}));
    QCOMPARE(fileBytes(path), to_cp1251(QStringLiteral("Узел   Канал 2   Канал 1\r\n\r\n17      12,25\r\n")));
}

void TestHistoryTable::failedWriteLeavesNothing()
{
    QTemporaryDir dir;
    const HistoryTable table = sampleRows();
    // An old file stays as it was until a new one is complete; a dropped writer leaves nothing.
    const QString path = dir.filePath(QStringLiteral("old.txt"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    for (const ExportFormat format : {ExportFormat::Html, ExportFormat::Excel, ExportFormat::Text}) {
        std::unique_ptr<TableFileWriter> w = TableFileWriter::create(format, path);
        QVERIFY(w->begin(table, {0, 1}, table.rowCount()));
        QVERIFY(w->row(0));
        w.reset();
        QCOMPARE(fileBytes(path), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("old.txt")});
    }
    // A folder that does not exist: the failure names the file.
    std::unique_ptr<TableFileWriter> w =
        TableFileWriter::create(ExportFormat::Text, dir.filePath(QStringLiteral("missing/report.txt")));
    QVERIFY(!w->begin(table, {0}, table.rowCount()));
    QVERIFY(w->errorString().contains(QStringLiteral("report.txt")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("missing"))));
}

QTEST_GUILESS_MAIN(TestHistoryTable)
#include "test_history_table.moc"
