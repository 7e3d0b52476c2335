#include "engine/node_list.h"

namespace qlx {

int NodeList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant NodeList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    const Item &item = m_items.at(index.row());
    if (role == Qt::DisplayRole)
        return item.text;
    if (role == Qt::CheckStateRole)
        return item.checked ? Qt::Checked : Qt::Unchecked;
    return {};
}

bool NodeList::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= count() || role != Qt::CheckStateRole)
        return false;
    setChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags NodeList::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void NodeList::setChecked(int item, bool checked)
{
    if (m_items.at(item).checked == checked)
        return;
    m_items[item].checked = checked;
    const QModelIndex i = index(item);
    emit dataChanged(i, i, {Qt::CheckStateRole});
}

void NodeList::setAllChecked(bool checked)
{
    for (int i = 0; i < count(); ++i)
        setChecked(i, checked);
}

bool NodeList::anyChecked() const
{
    for (const Item &item : m_items)
        if (item.checked)
            return true;
    return false;
}

void NodeList::clear()
{
    beginResetModel();
    m_items.clear();
    endResetModel();
}

void NodeList::append(const QString &text)
{
    beginInsertRows({}, count(), count());
    m_items.append(Item{text, false});
    endInsertRows();
}

QString node_item_text(int slot, int address)
{
    return QString::number(slot) + QStringLiteral(" - Кворлекс - ") + QString::number(address);
}

} // namespace qlx
