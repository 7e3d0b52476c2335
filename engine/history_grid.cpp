#include "engine/history_grid.h"

#include "base/ini_file.h"

#include <QFileInfo>

#include <algorithm>
#include <numeric>

namespace qlx {

namespace {

const QString kSection = QStringLiteral("Layout");

QString joinInts(const QList<int> &values)
{
    QStringList parts;
    for (const int v : values)
        parts << QString::number(v);
    return parts.join(u',');
}

std::optional<QList<int>> splitInts(const QString &text)
{
    QList<int> values;
    if (text.trimmed().isEmpty())
        return values;
    for (const QString &part : text.split(u',')) {
        bool ok = false;
        const int v = part.trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
        values << v;
    }
    return values;
}

} // namespace

GridLayout GridLayout::defaults(HistoryView view)
{
    GridLayout layout;
    const int columns = int(history_columns(view).size());
    for (int c = 0; c < columns; ++c) {
        layout.order << c;
        layout.widths << 0;
    }
    return layout;
}

bool GridLayout::isValid(HistoryView view) const
{
    const QList<TableColumn> &columns = history_columns(view);
    const int n = int(columns.size());
    if (order.size() != n || widths.size() != n)
        return false;
    QList<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int c = 0; c < n; ++c)
        if (sorted.at(c) != c)
            return false;
    for (const int w : widths)
        if (w < 0 || w > 4000)
            return false;
    if (sortColumn < -1 || sortColumn >= n)
        return false;
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const int g = groups.at(i);
        if (g < 0 || g >= n || !columns.at(g).groupable || groups.indexOf(g) != i)
            return false;
    }
    return true;
}

GridLayout GridLayout::read(const QString &path, HistoryView view)
{
    const GridLayout fallback = defaults(view);
    if (!QFileInfo(path).isFile())
        return fallback;
    const IniFile ini(path);
    for (const char *key : {"Order", "Widths", "SortColumn", "SortOrder", "Groups", "GroupPanel"})
        if (!ini.hasKey(kSection, QString::fromLatin1(key)))
            return fallback;
    const std::optional<QList<int>> order = splitInts(ini.readString(kSection, QStringLiteral("Order")));
    const std::optional<QList<int>> widths = splitInts(ini.readString(kSection, QStringLiteral("Widths")));
    const std::optional<QList<int>> groups = splitInts(ini.readString(kSection, QStringLiteral("Groups")));
    const int sortOrder = ini.readInteger(kSection, QStringLiteral("SortOrder"), -1);
    if (!order || !widths || !groups || (sortOrder != 0 && sortOrder != 1))
        return fallback;
    GridLayout layout;
    layout.order = *order;
    layout.widths = *widths;
    layout.groups = *groups;
    layout.sortColumn = ini.readInteger(kSection, QStringLiteral("SortColumn"), -2);
    layout.sortOrder = sortOrder == 1 ? Qt::DescendingOrder : Qt::AscendingOrder;
    layout.groupPanel = ini.readBool(kSection, QStringLiteral("GroupPanel"), false);
    return layout.isValid(view) ? layout : fallback;
}

bool GridLayout::write(const QString &path) const
{
    IniFile ini(path);
    return ini.writeString(kSection, QStringLiteral("Order"), joinInts(order))
        && ini.writeString(kSection, QStringLiteral("Widths"), joinInts(widths))
        && ini.writeInteger(kSection, QStringLiteral("SortColumn"), sortColumn)
        && ini.writeInteger(kSection, QStringLiteral("SortOrder"), sortOrder == Qt::DescendingOrder ? 1 : 0)
        && ini.writeString(kSection, QStringLiteral("Groups"), joinInts(groups))
        && ini.writeBool(kSection, QStringLiteral("GroupPanel"), groupPanel);
}

void GridArrangement::build(const HistoryTable &table, const GridLayout &layout)
{
    const qsizetype n = table.rowCount();
    m_order.resize(std::size_t(n));
    std::iota(m_order.begin(), m_order.end(), quint32(0));
    m_groups.clear();
    m_groupColumns = layout.groups;
    m_topGroups = 0;

    const int sortColumn = layout.sortColumn;
    const bool descending = layout.sortOrder == Qt::DescendingOrder;
    if (m_groupColumns.isEmpty() && sortColumn == 0) {
        // The store is in time order already: newest first only reverses the
        // runs of equal time, keeping node and channel order within a poll.
        if (descending) {
            qsizetype out = 0;
            qsizetype end = n;
            while (end > 0) {
                qsizetype begin = end - 1;
                while (begin > 0 && table.time(begin - 1) == table.time(end - 1))
                    --begin;
                for (qsizetype r = begin; r < end; ++r)
                    m_order[std::size_t(out++)] = quint32(r);
                end = begin;
            }
        }
    } else {
        std::stable_sort(m_order.begin(), m_order.end(), [&](quint32 a, quint32 b) {
            for (const int g : std::as_const(m_groupColumns)) {
                const double ka = table.sortKey(a, g), kb = table.sortKey(b, g);
                if (ka != kb)
                    return ka < kb;
            }
            if (sortColumn < 0)
                return false;
            const double ka = table.sortKey(a, sortColumn), kb = table.sortKey(b, sortColumn);
            return descending ? kb < ka : ka < kb;
        });
    }
    if (m_groupColumns.isEmpty())
        return;

    // Splits order()[first, last) into runs of equal value of `column`.
    const auto split = [&](int parent, int level, qsizetype first, qsizetype last) {
        const int column = m_groupColumns.at(level);
        int row = 0;
        qsizetype begin = first;
        while (begin < last) {
            const double key = table.sortKey(m_order[std::size_t(begin)], column);
            qsizetype end = begin + 1;
            while (end < last && table.sortKey(m_order[std::size_t(end)], column) == key)
                ++end;
            m_groups.push_back({parent, row++, level, begin, end, -1, 0});
            begin = end;
        }
        return row;
    };
    m_topGroups = split(-1, 0, 0, n);
    std::size_t levelBegin = 0;
    for (int level = 1; level < m_groupColumns.size(); ++level) {
        const std::size_t levelEnd = m_groups.size();
        for (std::size_t g = levelBegin; g < levelEnd; ++g) {
            const int firstChild = int(m_groups.size());
            const int count = split(int(g), level, m_groups[g].first, m_groups[g].last);
            m_groups[g].firstChild = firstChild;
            m_groups[g].childCount = count;
        }
        levelBegin = levelEnd;
    }
}

QString GridArrangement::groupCaption(const HistoryTable &table, int group) const
{
    const GridGroup &g = m_groups[std::size_t(group)];
    const int column = m_groupColumns.at(g.level);
    return table.columns().at(column).caption + QStringLiteral(": ")
        + table.text(m_order[std::size_t(g.first)], column);
}

GridWalk::GridWalk(const GridArrangement &arrangement)
    : m_arrangement(arrangement)
{
}

bool GridWalk::next(Line *line)
{
    const std::vector<GridGroup> &groups = m_arrangement.groups();
    const std::vector<quint32> &order = m_arrangement.order();
    *line = Line();
    if (groups.empty()) {
        if (m_plainRow >= qsizetype(order.size()))
            return false;
        line->row = order[std::size_t(m_plainRow++)];
        return true;
    }
    while (!m_stack.empty()) {
        Frame &top = m_stack.back();
        const GridGroup &g = groups[std::size_t(top.group)];
        if (g.firstChild < 0) { // last level: its rows
            const qsizetype position = g.first + top.child;
            if (position < g.last) {
                ++top.child;
                line->row = order[std::size_t(position)];
                return true;
            }
        } else if (top.child < g.childCount) {
            const int child = g.firstChild + top.child++;
            m_stack.push_back({child, 0});
            line->group = child;
            return true;
        }
        m_stack.pop_back();
    }
    if (m_nextTop >= m_arrangement.topGroupCount())
        return false;
    const int group = m_nextTop++;
    m_stack.push_back({group, 0});
    line->group = group;
    return true;
}

} // namespace qlx
