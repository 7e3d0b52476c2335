// The state report as text, without a window: the column formatter, the report
// over a two-node cell grid in both layouts and over a grid nobody polled, and
// the report saved in code page 1251 with CR LF.
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "engine/monitor_cells.h"
#include "engine/node_list.h"
#include "engine/report_lines.h"
#include "engine/station.h"
#include "storage/unit_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace qlx;

namespace {

const QDateTime kNow(QDate(2026, 3, 5), QTime(14, 7, 9));
// What the monitor's label says after an update at kNow.
const QString kUpdated = QStringLiteral("Последнее обновление - 05.03.2026 14:07.09");
// Rows of the monitor's grid over two nodes: the header, the nodes and the spare row.
constexpr int kGridRowsOfTwoNodes = 4;

QStringList fixtureLines(const QString &name)
{
    QFile file(QStringLiteral(QLX_FIXTURES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("missing fixture ") + name};
    QString text = QString::fromUtf8(file.readAll());
    text.chop(1); // the file's final newline
    return text.split(QLatin1Char('\n'));
}

// Fills the grid as a polling pass does: the address cell, then every channel
// through the cell writer.
void pollNode(Station &station, bool multiLine, int slot, const QList<double> &values, const QList<int> &nu,
              const QList<int> &vu)
{
    arr_cells(0, slot).text = QString::number(arr_nodes[slot].address);
    for (int channel = 1; channel <= 12; ++channel)
        format_cell(station, multiLine, channel + 3, slot + 1, values.at(channel - 1), nu.contains(channel) ? 1 : 0,
                    vu.contains(channel) ? 1 : 0);
}

void pollBothNodes(Station &station, bool multiLine)
{
    // Node 7: channel 3 below its lower setpoint, channel 4 above its upper one.
    pollNode(station, multiLine, 1, {12.5, 0, -3.1, 100, 25.75, 0, 1, 2, 3, 4, 5, 6.5}, {3}, {4});
    // Node 12: a value wider than its column; channel 3 with both alarms.
    pollNode(station, multiLine, 2, {-123456789, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0.5}, {3}, {3});
}

} // namespace

class TestReportLines : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formatReportLine_data();
    void formatReportLine();
    void reportText_data();
    void reportText();
    void gridWithoutPolledNodes();
    void saveWritesCp1251WithCrLf();
    void saveFailureIsReported();

private:
    std::unique_ptr<Station> m_station;
};

void TestReportLines::init()
{
    reset_node_table_state();
    reset_cell_grid();
    set_clock([] { return kNow; });
    m_station = std::make_unique<Station>();
    const int addresses[] = {7, 12};
    for (int slot = 1; slot <= 2; ++slot) {
        arr_nodes[slot].address = addresses[slot - 1];
        m_station->nodeList().append(node_item_text(slot, addresses[slot - 1]));
        m_station->nodeList().setChecked(slot - 1, true);
    }
    write_monitor_header(); // as the monitor does when it opens
}

void TestReportLines::cleanup()
{
    set_clock({});
    m_station.reset();
}

void TestReportLines::formatReportLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    QTest::newRow("three columns") << QStringLiteral("7\tab\tlast| ") << QStringLiteral("|   7|      ab|     last|");
    QTest::newRow("longer texts are not cut")
        << QStringLiteral("12345\t123456789\tx| ") << QStringLiteral("|12345|123456789|        x|");
    QTest::newRow("no tab: only the last column") << QStringLiteral("z| ") << QStringLiteral("|        z|");
    QTest::newRow("blanks are padded like text") << QStringLiteral(" \t \t | ") << QStringLiteral("|    |        |         |");
}

void TestReportLines::formatReportLine()
{
    QFETCH(QString, text);
    QFETCH(QString, line);
    QCOMPARE(format_report_line(text), line);
}

void TestReportLines::reportText_data()
{
    QTest::addColumn<bool>("multiLine");
    QTest::addColumn<QString>("fixture");
    QTest::newRow("single line") << false << QStringLiteral("report_single.txt");
    QTest::newRow("three lines a node") << true << QStringLiteral("report_multi.txt");
}

void TestReportLines::reportText()
{
    QFETCH(bool, multiLine);
    QFETCH(QString, fixture);
    pollBothNodes(*m_station, multiLine);

    const QStringList actual = report_lines({kGridRowsOfTwoNodes, kUpdated, multiLine, kNow});
    const QStringList expected = fixtureLines(fixture);
    for (qsizetype i = 0; i < qMin(expected.size(), actual.size()); ++i)
        QCOMPARE(actual.at(i), expected.at(i));
    QCOMPARE(actual.size(), expected.size());
}

void TestReportLines::gridWithoutPolledNodes()
{
    const QStringList lines = report_lines({kGridRowsOfTwoNodes, QString(), false, kNow});
    const QString separator = kReportMargin + QString(133, QLatin1Char('-'));
    const QStringList expectedTail{separator,
                                   fixtureLines(QStringLiteral("report_single.txt")).at(11), // the header row
                                   separator, kReportMargin,
                                   kReportMargin + QStringLiteral("************ Конец отчета ************")};
    QCOMPARE(lines.mid(lines.size() - expectedTail.size()), expectedTail);
    QCOMPARE(lines.at(6), kReportMargin + QStringLiteral("Дата печати 05.03.2026 14:07:09"));
    QCOMPARE(lines.at(7), kReportMargin); // no update yet: an empty label
    QCOMPARE(lines.size(), 10 + expectedTail.size());
}

void TestReportLines::saveWritesCp1251WithCrLf()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.txt"));
    const QStringList lines{kReportMargin, kReportMargin + QStringLiteral("Монитор состояний"), kReportMargin + "|  7|"};
    QCOMPARE(save_report_lines(path, lines), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), to_cp1251(QStringLiteral("     \r\n     Монитор состояний\r\n     |  7|\r\n")));
}

void TestReportLines::saveFailureIsReported()
{
    QTemporaryDir dir;
    // A folder in the way of the file: nothing can be written there.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.txt")));
    const QString error = save_report_lines(dir.filePath(QStringLiteral("taken.txt")), {QStringLiteral("x")});
    QVERIFY(!error.isEmpty());
    QVERIFY(error.contains(QStringLiteral("taken.txt")));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("taken.txt"))).isDir());
}

QTEST_GUILESS_MAIN(TestReportLines)
#include "test_report_lines.moc"
