#include "engine/monitor_cells.h"

#include "base/unit_procedure.h"
#include "engine/station.h"

#include <cmath>

namespace qlx {

namespace {

// Drops trailing zeros of a fraction and the decimal point left alone.
QString trimFraction(QString text)
{
    if (!text.contains(QLatin1Char('.')))
        return text;
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

} // namespace

QString monitor_number(double value)
{
    if (value == 0.0 || !std::isfinite(value))
        return value == 0.0 ? QStringLiteral("0") : QString::number(value);
    // Rounding to 4 significant digits first decides the exponent, so 9999.7
    // (which rounds to 1,000E+4) is treated as a five-digit integer part.
    const QString sci = QString::number(value, 'e', 3); // "-1.235e+05"
    const qsizetype ePos = sci.indexOf(QLatin1Char('e'));
    const int exponent = sci.mid(ePos + 1).toInt();
    QString text;
    if (exponent <= 3 && std::fabs(value) >= 0.00001) {
        text = trimFraction(QString::number(value, 'f', 3 - exponent));
    } else {
        text = trimFraction(sci.left(ePos)) + QLatin1Char('E') + (exponent < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               + QString::number(std::abs(exponent));
    }
    text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

int format_cell(Station &station, bool multiLine, int col, int row, double value, int alarm_nu, int alarm_vu)
{
    const int c = col - 1;
    const int r = row - 1;
    NodeList &nodes = station.nodeList();
    const int item = r - 1;
    const bool ticked = item >= 0 && item < nodes.count() && nodes.isChecked(item);
    const QDateTime now = current_time();

    // 1. font size of the time and channel columns
    for (int column = 2; column < kGridColumns; ++column)
        arr_cells(column, r).font_size = 8;
    // 2. date, or "Отключен" in the channel cell
    if (ticked)
        arr_cells(1, r).text = now.toString(QStringLiteral("dd.MM.yy"));
    else
        arr_cells(c, r).text = QStringLiteral("Отключен");
    // 3. date and time, or "Отключен" in the address cell
    if (ticked) {
        arr_cells(1, r).text = now.toString(QStringLiteral("dd.MM.yy"));
        arr_cells(2, r).text = now.toString(QStringLiteral("hh:mm.ss"));
    } else {
        arr_cells(0, r).text = QStringLiteral("Отключен");
    }
    // 4. fixed columns: centred vertically in the multi-line layout
    for (int column = 0; column <= 2; ++column) {
        arr_cells(column, r).font_size = 8;
        arr_cells(column, r).top_offset = multiLine ? 15 : 2;
    }
    // 5. the value
    T_cell &cell = arr_cells(c, r);
    cell.text = monitor_number(value);
    // 6. base appearance: alternating row backgrounds
    cell.back_color = (r % 2 == 0) ? clWhite : clInfoBk;
    cell.font_color = clBlack;
    cell.font_style = 0;
    // 7. alarms, in this order so that both flags end black on white
    if (alarm_vu != 0) {
        cell.font_color = clRed;
        cell.back_color = clYellow;
        cell.font_style |= fsBold;
    }
    if (alarm_nu != 0) {
        cell.font_color = clBlue;
        cell.back_color = clYellow;
        cell.font_style |= fsBold;
    }
    if (alarm_vu != 0 && alarm_nu != 0) {
        cell.font_color = clBlack;
        cell.back_color = clWhite;
        cell.font_style |= fsBold;
    }
    // 8. layout: upper alarm at the top, lower alarm at the bottom of a tall row
    cell.top_offset = 2;
    if (!multiLine)
        return kMonitorRowHeight;
    cell.top_offset = 15;
    if (alarm_vu != 0 && alarm_nu == 0)
        cell.top_offset = 2;
    else if (alarm_nu != 0 && alarm_vu == 0)
        cell.top_offset = 30;
    return kMonitorMultiLineRowHeight;
}

void write_monitor_header()
{
    const QStringList fixed{QStringLiteral("Узел"), QStringLiteral("Дата"), QStringLiteral("Время")};
    for (int column = 0; column < 3; ++column) {
        arr_cells(column, 0).text = fixed.at(column);
        arr_cells(column, 0).top_offset = 0;
    }
    for (int column = 3; column < kGridColumns; ++column) {
        T_cell &cell = arr_cells(column, 0);
        cell.text = QString::number(column - 2);
        cell.font_color = clNavy;
        cell.font_style |= fsBold;
        cell.font_size = 10;
        cell.back_color = clBtnFace;
        cell.top_offset = 0;
    }
}

MonitorCellModel::MonitorCellModel(int rows, QObject *parent)
    : QAbstractTableModel(parent), m_rows(qBound(0, rows, kGridRows))
{
}

int MonitorCellModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int MonitorCellModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kGridColumns;
}

QVariant MonitorCellModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    return arr_cells(index.column(), index.row()).text;
}

Qt::ItemFlags MonitorCellModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // The address, date and time columns and the header row are fixed: not selectable.
    if (index.column() < 3 || index.row() == 0)
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void MonitorCellModel::refreshAll()
{
    if (m_rows > 0)
        emit dataChanged(index(0, 0), index(m_rows - 1, kGridColumns - 1));
}

} // namespace qlx
