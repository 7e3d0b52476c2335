// The state monitor window: the painter's colours, the header it writes on
// opening, the grid rows and their height, the update label, the double click and
// the close question. The cell writers themselves are tested window-less in
// tests/engine/test_monitor_cells.cpp.
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

    void painterColours();
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

void TestMonitor::painterColours()
{
    // Blue-green-red numbers and the tooltip system colour.
    const QPalette palette;
    QCOMPARE(monitor_color(clRed, palette), QColor(Qt::red));
    QCOMPARE(monitor_color(clBlue, palette), QColor(Qt::blue));
    QCOMPARE(monitor_color(clInfoBk, palette), palette.color(QPalette::ToolTipBase));
}

void TestMonitor::headerAndRows()
{
    abort_read = 1;
    Tfrm_monitor_auto2 monitor(*m_station);

    QCOMPARE(abort_read, std::uint8_t(0));
    // The window writes the header row when it opens.
    QCOMPARE(arr_cells(0, 0).text, QStringLiteral("Узел"));
    QCOMPARE(arr_cells(3, 0).text, QStringLiteral("1"));
    QCOMPARE(arr_cells(14, 0).text, QStringLiteral("12"));

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
        QVERIFY(closingWhenConfirmed); // whoever reads behind the monitor stops on closeConfirmed
        QVERIFY(!guard);
        QVERIFY(!sub);
    }
}

QTEST_MAIN(TestMonitor)
#include "test_monitor.moc"
