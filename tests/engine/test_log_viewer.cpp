// The text-log viewer without its window: splitting log lines, loading a node's
// records from the day's value log, and finding the record of a time of day.
#include "engine/log_viewer.h"
#include "storage/unit_files.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTime>
#include <QTest>

using namespace qlx;

namespace {

// A value-log line as the station writes it.
QString valueLine(int address, const QString &time, const QString &first, const QString &second = QStringLiteral("2,0000"))
{
    QString line = QString::number(address) + QStringLiteral("\t05.03.2003\t") + time + QLatin1Char('\t') + first
                   + QLatin1Char('\t') + second + QLatin1Char('\t');
    for (int c = 3; c <= 12; ++c)
        line += QStringLiteral("%1,0000\t").arg(c);
    return line + QStringLiteral("\r\n");
}

QString writeLog(const QTemporaryDir &dir, const QStringList &lines)
{
    const QString path = dir.filePath(QStringLiteral("log_030305.txt"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    QString header = QStringLiteral("Узел\tДата\tВремя\t");
    for (int c = 1; c <= 12; ++c)
        header += QStringLiteral("Канал_%1\t").arg(c);
    f.write(to_cp1251(header + QStringLiteral("\r\n") + lines.join(QString())));
    return path;
}

} // namespace

class TestLogViewer : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("row") << "5\t05.03.2003\t04:05.06\t1,0000\t\r\n"
                             << QStringList{"5", "05.03.2003", "04:05.06", "1,0000"};
        QTest::newRow("device window row, blank before the line end") << "5\t1,0000\t \r\n" << QStringList{"5", "1,0000"};
        QTest::newRow("empty value keeps its column") << "5\t\t2,0000" << QStringList{"5", "", "2,0000"};
        QTest::newRow("blank line") << " \r\n" << QStringList{};
    }
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, fields);
        QCOMPARE(Parse_csv_record(line).fields, fields);
    }

    void atMostThirtyFields()
    {
        QStringList many;
        for (int i = 1; i <= 40; ++i)
            many << QString::number(i);
        const Tarr_csv_record r = Parse_csv_record(many.join(QLatin1Char('\t')));
        QCOMPARE(r.count(), 30);
        QCOMPARE(r.fields.last(), QStringLiteral("30"));
    }

    void loadsTheNodesNewestRecords()
    {
        QTemporaryDir dir;
        const QString path = writeLog(dir, {valueLine(5, "08:00.00", "1,0000"), valueLine(17, "08:00.01", "9,0000"),
                                            valueLine(5, "09:00.00", "", "2,5000"), valueLine(5, "10:00.00", "3,0000"),
                                            valueLine(5, "11:00.00", "4,0000")});
        const auto all = Load_file(path, 5);
        QVERIFY(all);
        QCOMPARE(all->header.first(), QStringLiteral("Дата"));
        QCOMPARE(all->header.last(), QStringLiteral("Канал_12"));
        QCOMPARE(all->records.size(), 4);
        for (const QStringList &row : all->records)
            QCOMPARE(row.size(), kViewerColumns);
        // An empty value stays in its own column.
        QCOMPARE(all->records.at(1).mid(1, 3), (QStringList{"09:00.00", "", "2,5000"}));

        const auto newest = Load_file(path, 5, 2);
        QCOMPARE(newest->records.size(), 2);
        QCOMPARE(newest->records.first().at(1), QStringLiteral("10:00.00"));
        QCOMPARE(newest->records.last().at(1), QStringLiteral("11:00.00"));

        QCOMPARE(Load_file(path, 40)->records.size(), 0);
        QVERIFY(!Load_file(dir.filePath(QStringLiteral("missing.txt")), 5));
    }

    // A log of several megabytes: the node's newest records in file order, whatever
    // the block boundaries fall on, and never a record of a node whose address
    // merely begins with the same digits.
    void loadsTheNewestOfABigLog()
    {
        QTemporaryDir dir;
        QStringList lines;
        QStringList expected15, expected150;
        for (int i = 0; i < 12000; ++i) {
            const QString time = QTime(0, 0).addSecs(i).toString(QStringLiteral("hh:mm.ss"));
            const QString value = QStringLiteral("%1,0000").arg(i);
            for (const int address : {5, 15, 150}) {
                lines << valueLine(address, time, value);
                if (address == 15)
                    expected15 << time;
                if (address == 150)
                    expected150 << time;
            }
        }
        const QString path = writeLog(dir, lines);
        QVERIFY(QFileInfo(path).size() > 3 * (1 << 20));
        const auto timesOf = [](const ViewerLoad &load) {
            QStringList times;
            for (const QStringList &row : load.records)
                times << row.at(1);
            return times;
        };
        const auto newest = Load_file(path, 15, kViewerRecordLimit);
        QVERIFY(newest);
        QCOMPARE(timesOf(*newest), expected15.mid(expected15.size() - kViewerRecordLimit));
        const auto all = Load_file(path, 150, 0);
        QVERIFY(all);
        QCOMPARE(timesOf(*all), expected150);
    }

    // Both views select the same record: the newest at or before the time searched.
    void find_data()
    {
        QTest::addColumn<QString>("searched");
        QTest::addColumn<QString>("found"); // the time of the record selected, empty: none
        QTest::newRow("noon") << "12:00.00" << "11:59.59";
        QTest::newRow("exact") << "10:00.00" << "10:00.00";
        QTest::newRow("before the first") << "07:00.00" << "";
        QTest::newRow("incomplete entry") << "  :  .  " << "";
        QTest::newRow("after the last") << "23:59.59" << "12:00.01";
    }
    void find()
    {
        QFETCH(QString, searched);
        QFETCH(QString, found);
        const auto row = [](const QString &time) { return QStringList{"05.03.2003", time}; };
        const QList<QStringList> fileOrder{row("08:00.00"), row("10:00.00"), QStringList{"", ""}, row("11:59.59"),
                                           row("12:00.01")};
        QList<QStringList> newestFirst(fileOrder.crbegin(), fileOrder.crend());
        for (const bool newest : {false, true}) {
            const QList<QStringList> &rows = newest ? newestFirst : fileOrder;
            const std::optional<int> i = Find_record(rows, searched, newest);
            QCOMPARE(i ? rows.at(*i).at(1) : QString(), found);
        }
    }
};

QTEST_GUILESS_MAIN(TestLogViewer)
#include "test_log_viewer.moc"
