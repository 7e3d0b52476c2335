// The state monitor: the cell writer's colours, texts and offsets, the number
// text, the header row, the grid rows and the close question.
#include "base/node_table.h"
#include "engine/station.h"
#include "widgets/dialog_seam.h"
#include "base/unit_procedure.h"
#include "windows/monitor.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QLabel>
#include <QHeaderView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

using namespace qlx;

namespace {
const QDateTime kNow(QDate(2026, 3, 5), QTime(14, 7, 9));
}

class TestMonitor : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formatCell_data();
    void formatCell();
    void untickedNode();
    void monitorNumber_data();
    void monitorNumber();
    void headerAndRows();
    void doubleClickOpensLastSelectedRow();
    void closeQuestion_data();
    void closeQuestion();

private:
    Station *m_station = nullptr;
};

void TestMonitor::init()
{
    reset_node_table_state();
    reset_cell_grid();
    set_clock([] { return kNow; });
    m_station = new Station;
    for (int slot = 1; slot <= 4; ++slot) {
        arr_nodes[slot].address = 10 + slot;
        m_station->nodeList().append(node_item_text(slot, 10 + slot));
        m_station->nodeList().setChecked(slot - 1, true);
    }
}

void TestMonitor::cleanup()
{
    DialogSeam::setHandler({});
    set_clock({});
    delete m_station;
    m_station = nullptr;
}

void TestMonitor::formatCell_data()
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

void TestMonitor::formatCell()
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
    // The painter's colours: blue-green-red numbers and the tooltip system colour.
    const QPalette palette;
    QCOMPARE(monitor_color(clRed, palette), QColor(Qt::red));
    QCOMPARE(monitor_color(clBlue, palette), QColor(Qt::blue));
    QCOMPARE(monitor_color(clInfoBk, palette), palette.color(QPalette::ToolTipBase));
}

void TestMonitor::untickedNode()
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

void TestMonitor::monitorNumber_data()
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

void TestMonitor::monitorNumber()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(monitor_number(value), text);
}

void TestMonitor::headerAndRows()
{
    abort_read = 1;
    Tfrm_monitor_auto2 monitor(*m_station);

    QCOMPARE(abort_read, std::uint8_t(0));
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

    // Header, four nodes, one spare row.
    QAbstractItemModel *model = monitor.grid()->model();
    QCOMPARE(model->rowCount(), 6);
    QCOMPARE(model->columnCount(), 15);
    QCOMPARE(model->index(0, 3).data().toString(), QStringLiteral("1"));
    QVERIFY(!(model->flags(model->index(2, 1)) & Qt::ItemIsSelectable));
    QVERIFY(model->flags(model->index(2, 3)) & Qt::ItemIsSelectable);
    QCOMPARE(monitor.grid()->verticalHeader()->defaultSectionSize(), 21);

    // An update with the multi-line layout makes rows 50 px high and sets the label.
    monitor.findChild<QCheckBox *>()->setChecked(true);
    monitor.formatCell(4, 2, 7.0, 0, 0);
    QCOMPARE(monitor.grid()->verticalHeader()->defaultSectionSize(), 50);
    QCOMPARE(model->index(1, 3).data().toString(), QStringLiteral("7"));
    auto *label = monitor.findChild<QLabel *>(QStringLiteral("Label_update"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Последнее обновление - 05.03.2026 14:07.09"));
}

void TestMonitor::doubleClickOpensLastSelectedRow()
{
    Tfrm_monitor_auto2 monitor(*m_station);
    monitor.resize(900, 400);
    monitor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&monitor));
    QTableView *grid = monitor.grid();
    QSignalSpy opened(&monitor, &Tfrm_monitor_auto2::logViewerRequested);
    const auto doubleClick = [grid](int row, int column) {
        const QRect rect = grid->visualRect(grid->model()->index(row, column));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
    };

    doubleClick(2, 0); // a fixed cell selects nothing
    QCOMPARE(opened.count(), 0);
    doubleClick(3, 4);
    QCOMPARE(monitor.lastSelectedRow(), 3);
    doubleClick(1, 1); // the fixed column keeps the last selected row
    QCOMPARE(opened.count(), 2);
    QCOMPARE(opened.at(0).at(0).toInt(), 3);
    QCOMPARE(opened.at(1).at(0).toInt(), 3);
}

void TestMonitor::closeQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("no keeps it minimised") << int(QMessageBox::No);
    QTest::newRow("yes closes it") << int(QMessageBox::Yes);
}

void TestMonitor::closeQuestion()
{
    QFETCH(int, answer);
    QStringList asked;
    bool questionShape = true;
    DialogSeam::setHandler([&](const DialogRequest &request) {
        asked << request.text;
        questionShape = questionShape && request.icon == QMessageBox::Question
                        && request.buttons == (QMessageBox::Yes | QMessageBox::No);
        return answer;
    });

    QMdiArea area;
    auto *monitor = new Tfrm_monitor_auto2(*m_station);
    QPointer<QMdiSubWindow> sub = area.addSubWindow(monitor);
    QPointer<Tfrm_monitor_auto2> guard(monitor);
    area.show();
    sub->show();
    QSignalSpy confirmed(monitor, &Tfrm_monitor_auto2::closeConfirmed);
    bool closingWhenConfirmed = false;
    connect(monitor, &Tfrm_monitor_auto2::closeConfirmed, this,
            [&] { closingWhenConfirmed = monitor->closing(); });

    sub->close();
    QCoreApplication::sendPostedEvents(); // the queued close
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QVERIFY(questionShape);
    QCOMPARE(asked, QStringList{QStringLiteral("Закрытие приведет к отключению автоматического опроса. Продолжить?")});
    if (answer == QMessageBox::No) {
        QCOMPARE(confirmed.count(), 0);
        QCOMPARE(abort_read, std::uint8_t(0));
        QVERIFY(guard);
        QVERIFY(sub);
        QVERIFY(sub->isMinimized());
        QVERIFY(!monitor->closing());
    } else {
        QCOMPARE(confirmed.count(), 1);
        QVERIFY(closingWhenConfirmed);
        QCOMPARE(abort_read, std::uint8_t(1));
        QVERIFY(!guard);
        QVERIFY(!sub);
    }
}

QTEST_MAIN(TestMonitor)
#include "test_monitor.moc"
