// The monitor cell grid without a window: the cell writer's colours, texts and
// offsets, the number text, the header row and the table model over the grid.
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "engine/monitor_cells.h"
#include "engine/node_list.h"
#include "engine/station.h"

#include <QTest>

#include <memory>

using namespace qlx;

namespace {
const QDateTime kNow(QDate(2026, 3, 5), QTime(14, 7, 9));
}

class TestMonitorCells : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formatCell_data();
    void formatCell();
    void untickedNode();
    void monitorNumber_data();
    void monitorNumber();
    void headerRow();
    void cellModel();

private:
    std::unique_ptr<Station> m_station;
};

void TestMonitorCells::init()
{
    reset_node_table_state();
    reset_cell_grid();
    set_clock([] { return kNow; });
    m_station = std::make_unique<Station>();
    for (int slot = 1; slot <= 4; ++slot) {
        arr_nodes[slot].address = 10 + slot;
        m_station->nodeList().append(node_item_text(slot, 10 + slot));
        m_station->nodeList().setChecked(slot - 1, true);
    }
}

void TestMonitorCells::cleanup()
{
    set_clock({});
    m_station.reset();
}

void TestMonitorCells::formatCell_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("multiLine");
    QTest::addColumn<int>("alarmNu");
    QTest::addColumn<int>("alarmVu");
    QTest::addColumn<int>("fontColor");
    QTest::addColumn<int>("backColor");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<int>("topOffset");
    QTest::addColumn<int>("fixedOffset");
    QTest::addColumn<int>("rowHeight");

    QTest::newRow("none, even slot") << 2 << false << 0 << 0 << clBlack << clWhite << false << 2 << 2 << 21;
    QTest::newRow("none, odd slot") << 3 << false << 0 << 0 << clBlack << clInfoBk << false << 2 << 2 << 21;
    QTest::newRow("above") << 3 << false << 0 << 1 << clRed << clYellow << true << 2 << 2 << 21;
    QTest::newRow("below") << 2 << false << 1 << 0 << clBlue << clYellow << true << 2 << 2 << 21;
    QTest::newRow("both") << 3 << false << 1 << 1 << clBlack << clWhite << true << 2 << 2 << 21;
    QTest::newRow("multi, above at the top") << 1 << true << 0 << 1 << clRed << clYellow << true << 2 << 15 << 50;
    QTest::newRow("multi, below at the bottom") << 2 << true << 1 << 0 << clBlue << clYellow << true << 30 << 15 << 50;
    QTest::newRow("multi, both in the middle") << 1 << true << 1 << 1 << clBlack << clWhite << true << 15 << 15 << 50;
    QTest::newRow("multi, none in the middle") << 4 << true << 0 << 0 << clBlack << clWhite << false << 15 << 15 << 50;
}

void TestMonitorCells::formatCell()
{
    QFETCH(int, slot);
    QFETCH(bool, multiLine);
    QFETCH(int, alarmNu);
    QFETCH(int, alarmVu);
    QFETCH(int, fontColor);
    QFETCH(int, backColor);
    QFETCH(bool, bold);
    QFETCH(int, topOffset);
    QFETCH(int, fixedOffset);
    QFETCH(int, rowHeight);

    const int channel = 5;
    const int c = channel + 2;
    // A previous bold alarm look must not survive a value without alarms.
    T_cell &cell = arr_cells(c, slot);
    cell.font_style = fsBold;
    cell.font_color = clRed;
    cell.back_color = clYellow;
    cell.top_offset = 99;

    QCOMPARE(qlx::format_cell(*m_station, multiLine, channel + 3, slot + 1, 12.3456, alarmNu, alarmVu), rowHeight);

    QCOMPARE(cell.text, QStringLiteral("12,35"));
    QCOMPARE(cell.font_color, fontColor);
    QCOMPARE(cell.back_color, backColor);
    QCOMPARE((cell.font_style & fsBold) != 0, bold);
    QCOMPARE(cell.top_offset, topOffset);
    QCOMPARE(cell.font_size, 8);
    QCOMPARE(arr_cells(1, slot).text, QStringLiteral("05.03.26"));
    QCOMPARE(arr_cells(2, slot).text, QStringLiteral("14:07.09"));
    for (int column = 0; column <= 2; ++column) {
        QCOMPARE(arr_cells(column, slot).top_offset, fixedOffset);
        QCOMPARE(arr_cells(column, slot).font_size, 8);
    }
    // Other rows and channels stay as they were.
    QCOMPARE(arr_cells(c + 1, slot).text, QString());
    QCOMPARE(arr_cells(c, slot + 1).text, QString());
}

void TestMonitorCells::untickedNode()
{
    const int slot = 3;
    m_station->nodeList().setChecked(slot - 1, false);
    arr_cells(0, slot).text = QStringLiteral("13");
    arr_cells(1, slot).text = QStringLiteral("01.01.26");
    arr_cells(2, slot).text = QStringLiteral("10:00.00");

    // Channel 1: column c is 3. The value written last replaces the channel cell's "Отключен".
    qlx::format_cell(*m_station, false, 4, slot + 1, 0.5, 0, 0);

    QCOMPARE(arr_cells(0, slot).text, QStringLiteral("Отключен"));
    QCOMPARE(arr_cells(1, slot).text, QStringLiteral("01.01.26"));
    QCOMPARE(arr_cells(2, slot).text, QStringLiteral("10:00.00"));
    QCOMPARE(arr_cells(3, slot).text, QStringLiteral("0,5"));
    QCOMPARE(arr_cells(3, slot).back_color, clInfoBk);
}

void TestMonitorCells::monitorNumber_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("rounded to 4 digits") << 12.3456 << QStringLiteral("12,35");
    QTest::newRow("four-digit integer") << 1234.0 << QStringLiteral("1234");
    QTest::newRow("five-digit integer") << 12346.0 << QStringLiteral("1,235E+4");
    QTest::newRow("six digits") << 123456.0 << QStringLiteral("1,235E+5");
    QTest::newRow("rounds up to five digits") << 9999.7 << QStringLiteral("1E+4");
    QTest::newRow("fraction") << 0.5 << QStringLiteral("0,5");
    QTest::newRow("negative small") << -0.0012 << QStringLiteral("-0,0012");
    QTest::newRow("negative") << -273.16 << QStringLiteral("-273,2");
    QTest::newRow("zero") << 0.0 << QStringLiteral("0");
    QTest::newRow("lower fixed limit") << 0.00001 << QStringLiteral("0,00001");
    QTest::newRow("below fixed limit") << 0.000001 << QStringLiteral("1E-6");
    QTest::newRow("small scientific") << -0.0000012345 << QStringLiteral("-1,234E-6");
}

void TestMonitorCells::monitorNumber()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(monitor_number(value), text);
}

void TestMonitorCells::headerRow()
{
    write_monitor_header();

    const QStringList fixed{QStringLiteral("Узел"), QStringLiteral("Дата"), QStringLiteral("Время")};
    for (int column = 0; column < kGridColumns; ++column) {
        const T_cell &cell = arr_cells(column, 0);
        QCOMPARE(cell.top_offset, 0);
        if (column < 3) {
            QCOMPARE(cell.text, fixed.at(column));
            QCOMPARE(cell.back_color, clBtnFace); // left from the grid reset
            continue;
        }
        QCOMPARE(cell.text, QString::number(column - 2));
        QCOMPARE(cell.font_color, clNavy);
        QCOMPARE(cell.font_size, 10);
        QVERIFY(cell.font_style & fsBold);
        QCOMPARE(cell.back_color, clBtnFace);
    }
    // The node rows are not touched.
    QCOMPARE(arr_cells(3, 1).text, QString());
}

void TestMonitorCells::cellModel()
{
    write_monitor_header();
    qlx::format_cell(*m_station, false, 4, 2, 7.0, 0, 0);
    MonitorCellModel model(6);
    QCOMPARE(model.rowCount(), 6);
    QCOMPARE(model.columnCount(), 15);
    QCOMPARE(model.index(0, 3).data().toString(), QStringLiteral("1"));
    QCOMPARE(model.index(1, 3).data().toString(), QStringLiteral("7"));
    QCOMPARE(model.index(1, 2).data().toString(), QStringLiteral("14:07.09"));
    // The address, date and time columns and the header row are not selectable.
    QVERIFY(!(model.flags(model.index(2, 1)) & Qt::ItemIsSelectable));
    QVERIFY(!(model.flags(model.index(0, 5)) & Qt::ItemIsSelectable));
    QVERIFY(model.flags(model.index(2, 3)) & Qt::ItemIsSelectable);
    // Never more rows than the grid has.
    QCOMPARE(MonitorCellModel(kGridRows + 10).rowCount(), kGridRows);
}

QTEST_GUILESS_MAIN(TestMonitorCells)
#include "test_monitor_cells.moc"
