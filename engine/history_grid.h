// How a history grid arranges its rows, without the window: the layout the
// operator made (column order and widths, sorting, grouping) as it is kept in
// ini/grid.ini and ini/grid2.ini, and the rows in that order with the groups
// as a tree over the row store.
//
// The window's tree model and the exports read the same arrangement, so a file
// holds the rows in the order and groups the grid shows.
#pragma once

#include "storage/history_table.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

namespace qlx {

// The layout files, in the station folder's ini/.
inline const QString kGridIniName = QStringLiteral("grid.ini");   // "Вид 1"
inline const QString kGrid2IniName = QStringLiteral("grid2.ini"); // "Вид 2"

struct GridLayout {
    QList<int> order;  // logical columns in on-screen order, every column once
    QList<int> widths; // by logical column, pixels; 0 the grid's default
    int sortColumn = 0;
    Qt::SortOrder sortOrder = Qt::DescendingOrder; // newest first
    QList<int> groups; // grouped logical columns, outermost first
    bool groupPanel = false;

    // Every column in its place, newest first, no grouping.
    static GridLayout defaults(HistoryView view);
    // The layout in `path`; the default layout when the file is missing or damaged.
    static GridLayout read(const QString &path, HistoryView view);
    bool write(const QString &path) const;

    // Whether the layout fits the view's columns.
    bool isValid(HistoryView view) const;
    friend bool operator==(const GridLayout &, const GridLayout &) = default;
};

// One group row of an arrangement.
struct GridGroup {
    int parent = -1;          // the enclosing group, -1 at the top
    int row = 0;              // position among its parent's children
    int level = 0;            // 0 outermost
    qsizetype first = 0;      // its data rows: order()[first .. last)
    qsizetype last = 0;
    int firstChild = -1;      // its subgroups: groups()[firstChild .. firstChild + childCount)
    int childCount = 0;
};

class GridArrangement {
public:
    // Sorts by the layout's sort column within the groups, the groups by their
    // values ascending; equal rows keep the store's order (time, node, channel).
    void build(const HistoryTable &table, const GridLayout &layout);

    // Row indexes into the table in the grid's order.
    const std::vector<quint32> &order() const { return m_order; }
    // Empty when not grouped. The top groups come first, and every group's
    // subgroups lie together.
    const std::vector<GridGroup> &groups() const { return m_groups; }
    int topGroupCount() const { return m_topGroups; }
    int groupLevels() const { return int(m_groupColumns.size()); }
    // "Узел: 5": the grouped column's caption and the group's value.
    QString groupCaption(const HistoryTable &table, int group) const;

private:
    std::vector<quint32> m_order;
    std::vector<GridGroup> m_groups;
    QList<int> m_groupColumns;
    int m_topGroups = 0;
};

// Walks an arrangement as the grid lists it with every group expanded: a
// group's caption line, then its subgroups or its rows.
class GridWalk {
public:
    explicit GridWalk(const GridArrangement &arrangement);

    struct Line {
        int group = -1;     // a group row, or -1
        qsizetype row = -1; // a data row of the table, or -1
    };
    // The next line; false at the end.
    bool next(Line *line);

private:
    struct Frame {
        int group;
        int child; // next subgroup, or next row position for a last-level group
    };
    const GridArrangement &m_arrangement;
    std::vector<Frame> m_stack;
    int m_nextTop = 0;
    qsizetype m_plainRow = 0;
};

} // namespace qlx
