// The state monitor: a child window that paints the monitor cell grid
// `arr_cells`, plus the window-less writers of that grid's cells.
#pragma once

#include "base/node_table.h"
#include "engine/monitor_cells.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <cstdint>

#include <qcoro/qcorotask.h>

class QCheckBox;
class QLabel;
class QMenu;
class QPalette;
class QTableView;

namespace qlx {

class Station;
class TFrm_print;

// A grid colour as the painter uses it: blue-green-red numbers, the button-face
// and tooltip-background system colours taken from the palette.
QColor monitor_color(std::int32_t color, const QPalette &palette);

class Tfrm_monitor_auto2 : public QWidget {
    Q_OBJECT
public:
    explicit Tfrm_monitor_auto2(Station &station, QWidget *parent = nullptr);
    ~Tfrm_monitor_auto2() override;

    // "В несколько строк" is ticked.
    bool multiLine() const;
    // Menu "Монитор" for the main window's menu bar.
    QMenu *monitorMenu() const { return m_menu; }
    QTableView *grid() const { return m_grid; }
    // True once the operator confirmed closing: nothing may touch the window then.
    bool closing() const { return m_closing; }
    // Slot of the last selected grid row; 0 before any selection.
    int lastSelectedRow() const { return m_lastRow; }

    // Writes one channel cell (see qlx::format_cell) and applies the row height.
    void formatCell(int col, int row, double value, int alarm_nu, int alarm_vu);
    // Repaints every cell and applies the current row height.
    void refresh();
    // Shows "Последнее обновление - " + the current time.
    void cellsUpdated();
    int rowHeight() const { return m_rowHeight; }

    // Where the report window's "Сохранить..." starts: the station's Reports folder.
    void setReportsDir(const QString &dir) { m_reportsDir = dir; }
    // Builds the state report from the grid as it stands and shows it in a new
    // report window, handed to whoever places it (reportWindowCreated); without
    // a receiver the window shows on its own.
    TFrm_print *Print_grid();
    // "Печать" → "Печать": the report straight to the printer, its window closed again.
    void printNow();

signals:
    void reportWindowCreated(qlx::TFrm_print *window);
    void logViewerRequested(int slot);
    void closeConfirmed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *frameWindow(); // the sub-window holding this window, or the window itself
    QCoro::Task<void> askClose();

    Station &m_station;
    MonitorCellModel *m_model = nullptr;
    QTableView *m_grid = nullptr;
    QLabel *m_updateLabel = nullptr;
    QCheckBox *m_multiLine = nullptr;
    QMenu *m_menu = nullptr;
    QString m_reportsDir;
    int m_lastRow = 0;
    int m_rowHeight = kMonitorRowHeight;
    bool m_asking = false;
    bool m_closing = false;
    bool m_closeAllowed = false;
};

} // namespace qlx
