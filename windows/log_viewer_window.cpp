#include "windows/log_viewer_window.h"

#include "base/node_table.h"
#include "engine/log_viewer.h"
#include "storage/unit_files.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace qlx {

namespace {

QTableWidget *makeGrid(QWidget *parent)
{
    auto *grid = new QTableWidget(0, kViewerColumns, parent);
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->horizontalHeader()->setDefaultSectionSize(60);
    grid->verticalHeader()->setDefaultSectionSize(21);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return grid;
}

} // namespace

TFrm_file_history::TFrm_file_history(DailyLogs &logs, int slot, QWidget *parent)
    : QWidget(parent),
      m_logs(logs),
      m_slot(slot)
{
    setObjectName(QStringLiteral("TFrm_file_history"));
    setWindowTitle(QStringLiteral("История "));
    auto *layout = new QVBoxLayout(this);
    auto *panel = new QHBoxLayout;
    m_sort = new QCheckBox(QStringLiteral("Сортировка по убыванию"), this);
    m_sort->setChecked(true);
    auto *reload = new QPushButton(QStringLiteral("Обновить "), this);
    m_time = new QLineEdit(this);
    m_time->setInputMask(QStringLiteral("99:99.99; "));
    m_time->setMaximumWidth(80);
    auto *search = new QPushButton(QStringLiteral("Поиск"), this);
    panel->addWidget(m_sort);
    panel->addWidget(reload);
    panel->addWidget(m_time);
    panel->addWidget(search);
    panel->addStretch();
    layout->addLayout(panel);
    m_fileOrder = makeGrid(this);
    m_newestFirst = makeGrid(this);
    layout->addWidget(m_fileOrder);
    layout->addWidget(m_newestFirst);

    connect(reload, &QPushButton::clicked, this, &TFrm_file_history::Load_file);
    connect(search, &QPushButton::clicked, this, &TFrm_file_history::Find_record);
    connect(m_time, &QLineEdit::textChanged, this, &TFrm_file_history::Find_record);
    connect(m_sort, &QCheckBox::toggled, this, &TFrm_file_history::showGrid);
    showGrid();
}

QTableWidget *TFrm_file_history::visibleGrid() const
{
    return m_sort->isChecked() ? m_newestFirst : m_fileOrder;
}

void TFrm_file_history::showGrid()
{
    m_newestFirst->setVisible(m_sort->isChecked());
    m_fileOrder->setVisible(!m_sort->isChecked());
}

// Row 0 the header, then the records, then one empty row.
void TFrm_file_history::fill(QTableWidget *grid, const QStringList &header, const QList<QStringList> &rows)
{
    grid->clearContents();
    grid->setRowCount(int(rows.size()) + 2);
    const auto put = [grid](int r, const QStringList &cells) {
        for (int c = 0; c < kViewerColumns && c < cells.size(); ++c)
            grid->setItem(r, c, new QTableWidgetItem(cells.at(c)));
    };
    put(0, header);
    for (int i = 0; i < rows.size(); ++i)
        put(i + 1, rows.at(i));
    // A column narrower than its text (the date, the time, "Канал_10") widens to it,
    // so nothing is cut off.
    for (int c = 0; c < kViewerColumns; ++c)
        grid->setColumnWidth(c, qMax(grid->horizontalHeader()->defaultSectionSize(), static_cast<QAbstractItemView *>(grid)->sizeHintForColumn(c)));
}

void TFrm_file_history::Load_file()
{
    if (m_address == 0) {
        if (m_slot < 1 || m_slot > kSlots || arr_nodes[m_slot].address == 0)
            return;
        m_address = arr_nodes[m_slot].address;
        setWindowTitle(QStringLiteral("История для узла ") + QString::number(m_address));
    }
    const std::optional<ViewerLoad> load = qlx::Load_file(m_logs.valueLogPath(), m_address);
    if (!load)
        return; // no log today: the grids keep what they showed
    fill(m_fileOrder, load->header, load->records);
    const QList<QStringList> newest(load->records.crbegin(), load->records.crend());
    fill(m_newestFirst, load->header, newest);
    showGrid();
}

void TFrm_file_history::Find_record()
{
    QTableWidget *grid = visibleGrid();
    QList<QStringList> rows;
    for (int r = 1; r < grid->rowCount(); ++r) {
        const QTableWidgetItem *time = grid->item(r, 1);
        const QTableWidgetItem *date = grid->item(r, 0);
        rows << QStringList{date ? date->text() : QString(), time ? time->text() : QString()};
    }
    const std::optional<int> found = qlx::Find_record(rows, m_time->displayText(), m_sort->isChecked());
    if (found)
        grid->selectRow(*found + 1);
}

} // namespace qlx
