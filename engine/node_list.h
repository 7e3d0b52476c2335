// The node list of the main window as a model: one item per filled slot of the
// node table, item k standing for slot k + 1. The check mark of an item is the
// polling selection of that node.
#pragma once

#include <QAbstractListModel>
#include <QStringList>

namespace qlx {

class NodeList : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    int count() const { return static_cast<int>(m_items.size()); }
    QString text(int item) const { return m_items.at(item).text; }
    bool isChecked(int item) const { return m_items.at(item).checked; }
    void setChecked(int item, bool checked);
    void setAllChecked(bool checked);
    bool anyChecked() const;

    void clear();
    void append(const QString &text); // unticked

private:
    struct Item {
        QString text;
        bool checked = false;
    };
    QList<Item> m_items;
};

// Text of the list item for a slot: "3 - Кворлекс - 17".
QString node_item_text(int slot, int address);

} // namespace qlx
