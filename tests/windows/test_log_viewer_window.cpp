// The text-log viewer window over a day's value log written by the station's own
// writer: the node's rows in both orders, the caption and node bound at the first
// load, the grids rebuilt at every load, the view switch without reading again.
#include "base/node_table.h"
#include "storage/unit_files.h"
#include "windows/log_viewer_window.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace qlx;

namespace {

QString cell(QTableWidget *grid, int row, int column)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

class TestLogViewerWindow : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    void showsTheBoundNodeInBothOrders()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("logs")));
        DailyLogs logs(dir.filePath(QStringLiteral("logs")));
        QVERIFY(logs.open_daily_logs());
        arr_nodes[1].address = 5;
        arr_nodes[2].address = 17;
        for (int i = 1; i <= 3; ++i) {
            arr_nodes[1].channels[1] = Tarr_channel{i * 1000, 1, 0, 0};
            logs.write_value_row(1);
            logs.write_value_row(2);
        }

        TFrm_file_history viewer(logs, 1);
        QCOMPARE(viewer.windowTitle(), QStringLiteral("История "));
        viewer.Load_file();
        QCOMPARE(viewer.windowTitle(), QStringLiteral("История для узла 5"));
        QTableWidget *file = viewer.fileOrderGrid();
        QTableWidget *newest = viewer.newestFirstGrid();
        QCOMPARE(file->rowCount(), 3 + 2);
        QCOMPARE(newest->rowCount(), 3 + 2);
        QCOMPARE(cell(file, 0, 0), QStringLiteral("Дата"));
        QCOMPARE(cell(file, 0, 13), QStringLiteral("Канал_12"));
        QCOMPARE(cell(file, 1, 2), QStringLiteral("1,0000"));
        QCOMPARE(cell(file, 3, 2), QStringLiteral("3,0000"));
        QCOMPARE(cell(newest, 1, 2), QStringLiteral("3,0000"));
        QCOMPARE(cell(newest, 3, 2), QStringLiteral("1,0000"));
        QCOMPARE(viewer.visibleGrid(), newest);

        // The view switch reads nothing again.
        arr_nodes[1].channels[1] = Tarr_channel{4000, 1, 0, 0};
        logs.write_value_row(1);
        viewer.sortDescending()->setChecked(false);
        QCOMPARE(viewer.visibleGrid(), file);
        QCOMPARE(file->rowCount(), 3 + 2);

        // A rescan puts another node into slot 1: the viewer stays with node 5, and a
        // load rebuilds both grids.
        arr_nodes[1].address = 9;
        viewer.Load_file();
        QCOMPARE(viewer.windowTitle(), QStringLiteral("История для узла 5"));
        QCOMPARE(file->rowCount(), 4 + 2);
        QCOMPARE(cell(file, 4, 2), QStringLiteral("4,0000"));
        QCOMPARE(cell(newest, 1, 2), QStringLiteral("4,0000"));
        QCOMPARE(cell(file, 5, 0), QString());

        // The search selects a record of the visible grid (all rows share today's times,
        // so any time from now on finds the newest).
        viewer.searchTime()->setText(QStringLiteral("235959"));
        QCOMPARE(file->currentRow(), 4);
    }

    void withoutALogTheGridsStayEmpty()
    {
        QTemporaryDir dir;
        DailyLogs logs(dir.filePath(QStringLiteral("logs"))); // no logs folder, nothing opened
        arr_nodes[1].address = 5;
        TFrm_file_history viewer(logs, 1);
        viewer.Load_file();
        QCOMPARE(viewer.fileOrderGrid()->rowCount(), 0);
        QCOMPARE(viewer.windowTitle(), QStringLiteral("История для узла 5"));
    }
};

QTEST_MAIN(TestLogViewerWindow)
#include "test_log_viewer_window.moc"
