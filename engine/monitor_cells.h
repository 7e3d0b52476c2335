// The monitor cell grid's writers: the text of a reading, one channel cell with
// its row's fixed cells and alarm look, and the header row. Window-less: the
// state monitor window paints what they write, and polling writes the cells also
// while no monitor is open.
#pragma once

#include "base/node_table.h"

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>

namespace qlx {

class Station;

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

} // namespace qlx
