// The state monitor: a child window that paints the monitor cell grid
// `arr_cells`, plus the window-less writers of that grid's cells.
#pragma once

#include "core/node_table.h"

#include <QAbstractTableModel>
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

// Colours of the monitor in blue-green-red order beside those of node_table.h.
inline constexpr std::int32_t clBlue = 0xFF0000;
inline constexpr std::int32_t clPurple = 0x800080;
// System colour for tooltip backgrounds; the painter resolves it to QPalette::ToolTipBase.
inline constexpr std::int32_t clInfoBk = static_cast<std::int32_t>(0x80000018);

inline constexpr int kMonitorRowHeight = 21;
inline constexpr int kMonitorMultiLineRowHeight = 50;
inline constexpr int kMonitorColumnWidth = 55;

// A reading as the monitor shows it: at most 4 significant digits, decimal
// comma, trailing zeros dropped; fixed notation while the integer part has at
// most 4 digits and |value| >= 0.00001 (0 is "0"), otherwise scientific
// notation as mantissa "E" sign exponent, e.g. "1,235E+5", "1E-6".
QString monitor_number(double value);

// Writes one channel cell of the monitor grid and the fixed cells of its row.
// col is the grid column + 1, row the node slot + 1. Returns the row height the
// grid is to use: 21, or 50 in the multi-line layout.
int format_cell(Station &station, bool multiLine, int col, int row, double value, int alarm_nu, int alarm_vu);

// Writes the header row (row 0) of the monitor grid.
void write_monitor_header();

// A grid colour as the painter uses it: blue-green-red numbers, the button-face
// and tooltip-background system colours taken from the palette.
QColor monitor_color(std::int32_t color, const QPalette &palette);

// Read-only table over arr_cells: columns 0..14, rows 0..rowCount-1 (row 0 the header).
class MonitorCellModel : public QAbstractTableModel {
    Q_OBJECT
public:
    MonitorCellModel(int rows, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    void refreshAll();

private:
    int m_rows;
};

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
