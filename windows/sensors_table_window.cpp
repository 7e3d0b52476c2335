#include "windows/sensors_table_window.h"

#include "widgets/dialog_seam.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace qlx {

namespace {

const QString kCaption = QStringLiteral("История состояний");

QString filterOf(ExportFormat format)
{
    switch (format) {
    case ExportFormat::Html:
        return QStringLiteral("Файлы HTML (*.htm)");
    case ExportFormat::Excel:
        return QStringLiteral("Файлы MS Excel (*.xls)");
    case ExportFormat::Text:
        break;
    }
    return QStringLiteral("Текстовые файлы (*.txt)");
}

// The save dialog: opened without a nested event loop; the overwrite question
// comes after it, naming the two files the export really writes.
QCoro::Task<QString> askFileName(QWidget *parent, ExportFormat format)
{
    auto *dialog = new QFileDialog(parent, QStringLiteral("Сохранить данные в..."), QDir::homePath(), filterOf(format));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    QPointer<QFileDialog> alive(dialog);
    const int result = co_await DialogSeam::run(dialog);
    if (result != QDialog::Accepted || !alive || alive->selectedFiles().isEmpty())
        co_return QString();
    co_return alive->selectedFiles().constFirst();
}

} // namespace

// ---------------------------------------------------------------- model

HistoryTreeModel::HistoryTreeModel(HistoryView view, QObject *parent)
    : QAbstractItemModel(parent),
      m_view(view),
      m_table(std::make_shared<HistoryTable>(view)),
      m_layout(GridLayout::defaults(view))
{
    m_arrangement.build(*m_table, m_layout);
}

void HistoryTreeModel::rearrange()
{
    m_arrangement.build(*m_table, m_layout);
}

void HistoryTreeModel::setTable(std::shared_ptr<const HistoryTable> table)
{
    emit layoutAboutToBeChanged();
    m_table = std::move(table);
    rearrange();
    const QModelIndexList stale = persistentIndexList();
    changePersistentIndexList(stale, QModelIndexList(stale.size()));
    emit layoutChanged();
}

void HistoryTreeModel::setGroups(const QList<int> &columns)
{
    emit layoutAboutToBeChanged();
    m_layout.groups = columns;
    rearrange();
    const QModelIndexList stale = persistentIndexList();
    changePersistentIndexList(stale, QModelIndexList(stale.size()));
    emit layoutChanged();
}

void HistoryTreeModel::sort(int column, Qt::SortOrder order)
{
    if (column == m_layout.sortColumn && order == m_layout.sortOrder)
        return;
    emit layoutAboutToBeChanged();
    m_layout.sortColumn = column;
    m_layout.sortOrder = order;
    rearrange();
    const QModelIndexList stale = persistentIndexList();
    changePersistentIndexList(stale, QModelIndexList(stale.size()));
    emit layoutChanged();
}

void HistoryTreeModel::setCaptionColumn(int column)
{
    if (column == m_captionColumn)
        return;
    m_captionColumn = column;
    if (!m_arrangement.groups().empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int HistoryTreeModel::groupOf(const QModelIndex &index) const
{
    if (!index.isValid() || m_arrangement.groups().empty())
        return -1;
    const quintptr parent = index.internalId();
    if (parent == 0)
        return index.row();
    const GridGroup &p = m_arrangement.groups()[std::size_t(parent - 1)];
    return p.firstChild < 0 ? -1 : p.firstChild + index.row();
}

bool HistoryTreeModel::isGroup(const QModelIndex &index) const
{
    return groupOf(index) >= 0;
}

QModelIndex HistoryTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= columnCount() || row >= rowCount(parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, column, quintptr(0));
    return createIndex(row, column, quintptr(groupOf(parent) + 1));
}

QModelIndex HistoryTreeModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return {};
    const int g = int(child.internalId() - 1);
    const GridGroup &group = m_arrangement.groups()[std::size_t(g)];
    return createIndex(group.row, 0, quintptr(group.parent + 1));
}

int HistoryTreeModel::rowCount(const QModelIndex &parent) const
{
    const std::vector<GridGroup> &groups = m_arrangement.groups();
    if (!parent.isValid())
        return groups.empty() ? int(m_arrangement.order().size()) : m_arrangement.topGroupCount();
    if (parent.column() != 0)
        return 0;
    const int g = groupOf(parent);
    if (g < 0)
        return 0;
    const GridGroup &group = groups[std::size_t(g)];
    return group.firstChild >= 0 ? group.childCount : int(group.last - group.first);
}

int HistoryTreeModel::columnCount(const QModelIndex &) const
{
    return int(history_columns(m_view).size());
}

QVariant HistoryTreeModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int g = groupOf(index);
    if (g >= 0) {
        if (role == Qt::DisplayRole && index.column() == m_captionColumn) {
            const GridGroup &group = m_arrangement.groups()[std::size_t(g)];
            return QStringLiteral("%1 (%2)").arg(m_arrangement.groupCaption(*m_table, g)).arg(group.last - group.first);
        }
        if (role == Qt::FontRole) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    }
    qsizetype position = index.row();
    if (index.internalId() != 0)
        position += m_arrangement.groups()[std::size_t(index.internalId() - 1)].first;
    if (position >= qsizetype(m_arrangement.order().size()))
        return {};
    const qsizetype row = m_arrangement.order()[std::size_t(position)];
    switch (role) {
    case Qt::DisplayRole:
        return m_table->text(row, index.column());
    case Qt::TextAlignmentRole:
        return int(history_columns(m_view).at(index.column()).alignment);
    default:
        return {};
    }
}

QVariant HistoryTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    if (role == Qt::DisplayRole)
        return history_columns(m_view).at(section).caption;
    return {};
}

Qt::ItemFlags HistoryTreeModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

// ---------------------------------------------------------------- grouping panel

GroupPanel::GroupPanel(QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("groupPanel"));
    setFrameShape(QFrame::StyledPanel);
    setMinimumHeight(30);
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(4, 2, 4, 2);
    m_hint = new QLabel(QStringLiteral("Перетащите сюда заголовок столбца, чтобы сгруппировать по нему"), this);
    m_hint->setEnabled(false);
    m_layout->addWidget(m_hint);
    m_layout->addStretch();
}

void GroupPanel::show(const QStringList &captions, const QList<int> &columns)
{
    qDeleteAll(m_buttons);
    m_buttons.clear();
    for (qsizetype i = 0; i < columns.size(); ++i) {
        auto *button = new QToolButton(this);
        button->setText(captions.at(i));
        button->setToolTip(QStringLiteral("Снять группировку"));
        const int column = columns.at(i);
        connect(button, &QToolButton::clicked, this, [this, column] { emit ungroupRequested(column); });
        m_layout->insertWidget(int(i), button);
        m_buttons << button;
    }
    m_hint->setVisible(columns.isEmpty());
}

// ---------------------------------------------------------------- one grid

HistoryGrid::HistoryGrid(HistoryView view, QWidget *parent)
    : QWidget(parent),
      m_view(view)
{
    m_model = new HistoryTreeModel(view, this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_panel = new GroupPanel(this);
    m_panel->hide();
    layout->addWidget(m_panel);
    m_stack = new QStackedWidget(this);
    layout->addWidget(m_stack);

    // A flat table while not grouped: a tree would lay out every one of millions of rows.
    m_table = new QTableView(m_stack);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(20);
    m_tree = new QTreeView(m_stack);
    m_tree->setUniformRowHeights(true);
    m_table->setModel(m_model);
    for (QAbstractItemView *v : {static_cast<QAbstractItemView *>(m_table), static_cast<QAbstractItemView *>(m_tree)}) {
        v->setEditTriggers(QAbstractItemView::NoEditTriggers);
        v->setSelectionBehavior(view == HistoryView::Cross ? QAbstractItemView::SelectRows
                                                           : QAbstractItemView::SelectItems);
        v->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(v, &QWidget::customContextMenuRequested, this,
                [this, v](const QPoint &at) { m_popup->popup(v->viewport()->mapToGlobal(at)); });
        m_stack->addWidget(v);
    }
    m_table->setSortingEnabled(true);
    m_tree->setSortingEnabled(true);
    for (QHeaderView *h : {m_table->horizontalHeader(), m_tree->header()}) {
        h->setSectionsMovable(true);
        h->setSectionsClickable(true);
        h->setStretchLastSection(false);
        h->setDefaultSectionSize(view == HistoryView::Rows ? 120 : 75);
        h->viewport()->installEventFilter(this);
        connect(h, &QHeaderView::sectionMoved, this, &HistoryGrid::captionColumnMoved);
    }
    m_table->horizontalHeader()->resizeSection(0, 140);

    m_popup = new QMenu(this);
    m_groupAction = m_popup->addAction(QStringLiteral("Группировать"));
    m_groupAction->setObjectName(QStringLiteral("groupAction"));
    m_groupAction->setCheckable(true);
    m_refreshAction = m_popup->addAction(QStringLiteral("Обновить"));
    m_refreshAction->setObjectName(QStringLiteral("refreshAction"));
    connect(m_groupAction, &QAction::toggled, m_panel, &QWidget::setVisible);
    connect(m_refreshAction, &QAction::triggered, this, &HistoryGrid::refreshRequested);
    connect(m_panel, &GroupPanel::ungroupRequested, this, &HistoryGrid::ungroup);
    applyLayout(GridLayout::defaults(view));
}

QAbstractItemView *HistoryGrid::currentView() const
{
    return m_model->groups().isEmpty() ? static_cast<QAbstractItemView *>(m_table) : m_tree;
}

QHeaderView *HistoryGrid::header() const
{
    return m_model->groups().isEmpty() ? m_table->horizontalHeader() : m_tree->header();
}

void HistoryGrid::setTable(std::shared_ptr<const HistoryTable> table)
{
    m_model->setTable(std::move(table));
    expandFew();
}

void HistoryGrid::expandFew()
{
    // A few groups open; many (grouped by time, say) stay closed, each opening costs.
    if (!m_model->groups().isEmpty() && m_model->arrangement().topGroupCount() <= 50)
        m_tree->expandToDepth(0);
}

GridLayout HistoryGrid::layout() const
{
    GridLayout layout = GridLayout::defaults(m_view);
    const QHeaderView *h = header();
    for (int visual = 0; visual < h->count(); ++visual)
        layout.order[visual] = h->logicalIndex(visual);
    for (int logical = 0; logical < h->count(); ++logical)
        layout.widths[logical] = h->sectionSize(logical);
    layout.sortColumn = h->sortIndicatorSection() < h->count() ? h->sortIndicatorSection() : -1;
    layout.sortOrder = h->sortIndicatorOrder();
    layout.groups = m_model->groups();
    layout.groupPanel = m_groupAction->isChecked();
    return layout;
}

void HistoryGrid::applyLayout(const GridLayout &wanted)
{
    const GridLayout layout = wanted.isValid(m_view) ? wanted : GridLayout::defaults(m_view);
    m_model->setGroups(layout.groups);
    // The tree sees the model only while grouped: even hidden, it would lay out every row.
    QAbstractItemModel *treeModel = layout.groups.isEmpty() ? nullptr : m_model;
    if (m_tree->model() != treeModel)
        m_tree->setModel(treeModel);
    m_stack->setCurrentWidget(currentView());
    QHeaderView *h = header();
    for (int visual = 0; visual < layout.order.size(); ++visual) {
        const int from = h->visualIndex(layout.order.at(visual));
        if (from != visual)
            h->moveSection(from, visual);
    }
    for (int logical = 0; logical < layout.widths.size(); ++logical)
        if (layout.widths.at(logical) > 0)
            h->resizeSection(logical, layout.widths.at(logical));
    h->setSortIndicator(layout.sortColumn, layout.sortOrder);
    m_model->sort(layout.sortColumn, layout.sortOrder);
    m_groupAction->setChecked(layout.groupPanel || !layout.groups.isEmpty());
    m_panel->setVisible(m_groupAction->isChecked());
    showGroups();
    captionColumnMoved();
}

bool HistoryGrid::groupBy(int column)
{
    if (column < 0 || column >= m_model->columnCount() || !history_columns(m_view).at(column).groupable
        || m_model->groups().contains(column))
        return false;
    GridLayout next = layout();
    next.groups << column;
    next.groupPanel = true;
    applyLayout(next);
    expandFew();
    return true;
}

void HistoryGrid::ungroup(int column)
{
    GridLayout next = layout();
    next.groups.removeAll(column);
    applyLayout(next);
}

void HistoryGrid::showGroups()
{
    QStringList captions;
    for (const int c : m_model->groups())
        captions << history_columns(m_view).at(c).caption;
    m_panel->show(captions, m_model->groups());
}

void HistoryGrid::captionColumnMoved()
{
    m_model->setCaptionColumn(header()->logicalIndex(0));
}

// A header dragged onto the grouping panel groups by its column. The header's own
// drag (moving the column) goes on as usual; a release over the panel is
// handed to the header as one outside every section, so it is no sorting click.
bool HistoryGrid::eventFilter(QObject *watched, QEvent *event)
{
    QHeaderView *h = header();
    if (m_forwarding || watched != h->viewport())
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonPress) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        m_pressedSection = mouse->button() == Qt::LeftButton ? h->logicalIndexAt(mouse->position().toPoint()) : -1;
    } else if (event->type() == QEvent::MouseButtonRelease && m_pressedSection >= 0) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const int section = std::exchange(m_pressedSection, -1);
        const QPoint onPanel = m_panel->mapFromGlobal(mouse->globalPosition().toPoint());
        if (m_panel->isVisible() && m_panel->rect().contains(onPanel)) {
            QMouseEvent outside(QEvent::MouseButtonRelease, QPointF(-1, -1), QPointF(-1, -1), mouse->button(),
                                mouse->buttons(), mouse->modifiers());
            m_forwarding = true;
            QCoreApplication::sendEvent(h->viewport(), &outside);
            m_forwarding = false;
            groupBy(section);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- window

Tfrm_sensors::Tfrm_sensors(TDM_local &dm, const HistoryPeriod &period, QString gridIni, QString grid2Ini,
                           std::function<void()> reopenInterval, QWidget *parent)
    : QWidget(parent),
      m_session(new HistorySession(dm, period)),
      m_gridIni(std::move(gridIni)),
      m_grid2Ini(std::move(grid2Ini)),
      m_reopenInterval(std::move(reopenInterval)),
      m_saveDialog(askFileName)
{
    setObjectName(QStringLiteral("Tfrm_sensors"));
    setWindowTitle(kCaption);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);

    auto *tools = new QToolBar(this);
    m_closeAction = tools->addAction(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Закрыть"));
    m_closeAction->setObjectName(QStringLiteral("closeAction"));
    m_saveButton = new QToolButton(tools);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    m_saveButton->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    m_saveButton->setToolTip(QStringLiteral("Сохранить данные в..."));
    m_saveButton->setPopupMode(QToolButton::InstantPopup);
    auto *saveMenu = new QMenu(m_saveButton);
    const std::pair<ExportFormat, const char *> commands[] = {
        {ExportFormat::Html, "Сохранить в формате HTML"},
        {ExportFormat::Excel, "Сохранить в формате Excel"},
        {ExportFormat::Text, "Сохранить в формате Text"},
    };
    for (const auto &[format, text] : commands) {
        QAction *action = saveMenu->addAction(QString::fromUtf8(text));
        connect(action, &QAction::triggered, this, [this, format] { m_tasks.start(exportCommand(format)); });
        m_exportActions << action;
    }
    m_saveButton->setMenu(saveMenu);
    tools->addWidget(m_saveButton);
    m_reloadAction = tools->addAction(style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Перезагрузить данные"));
    m_reloadAction->setObjectName(QStringLiteral("reloadAction"));
    for (QAction *action : {m_closeAction, m_reloadAction})
        action->setToolTip(action->text());
    m_status = new QLabel(this);
    m_status->setContentsMargins(12, 0, 0, 0);
    tools->addWidget(m_status);
    layout->addWidget(tools);

    m_tabs = new QTabWidget(this);
    m_grid1 = new HistoryGrid(HistoryView::Rows, m_tabs);
    m_grid2 = new HistoryGrid(HistoryView::Cross, m_tabs);
    m_tabs->addTab(m_grid1, QStringLiteral("Вид 1"));
    m_tabs->addTab(m_grid2, QStringLiteral("Вид 2"));
    layout->addWidget(m_tabs);
    m_grid1->applyLayout(GridLayout::read(m_gridIni, HistoryView::Rows));
    m_grid2->applyLayout(GridLayout::read(m_grid2Ini, HistoryView::Cross));
    m_tabs->setCurrentWidget(m_grid2);

    connect(m_closeAction, &QAction::triggered, this, &QWidget::close);
    connect(m_reloadAction, &QAction::triggered, this, [this] {
        if (m_reopenInterval)
            m_reopenInterval();
        close();
    });
    // "Вид 1" is read when it is first shown.
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] {
        if (m_tabs->currentWidget() == m_grid1 && !m_session->isLoaded(HistoryView::Rows)
            && !m_session->isLoading(HistoryView::Rows))
            m_tasks.start(loadView(HistoryView::Rows));
        showStatus();
    });
    for (HistoryGrid *grid : {m_grid1, m_grid2})
        connect(grid, &HistoryGrid::refreshRequested, this, [this, grid] { m_tasks.start(loadView(grid->view())); });
    connect(m_session, &HistorySession::loadFinished, this, [this](HistoryView view, bool ok) {
        if (ok)
            grid(view)->setTable(m_session->table(view));
        showStatus();
        emit viewLoaded(view);
    });
    connect(m_session, &HistorySession::loadingChanged, this, &Tfrm_sensors::showStatus);
}

Tfrm_sensors::~Tfrm_sensors()
{
    if (!m_layoutsSaved)
        saveLayouts();
    m_session->release();
}

QAction *Tfrm_sensors::exportAction(ExportFormat format) const
{
    return m_exportActions.at(int(format));
}

void Tfrm_sensors::showStatus()
{
    const HistoryView view = m_tabs->currentWidget() == m_grid1 ? HistoryView::Rows : HistoryView::Cross;
    if (m_exporting)
        m_status->setText(QStringLiteral("Сохранение..."));
    else if (m_session->isLoading(view))
        m_status->setText(QStringLiteral("Загрузка..."));
    else if (m_session->isLoaded(view))
        m_status->setText(QStringLiteral("Записей: %1").arg(m_session->table(view)->rowCount()));
    else
        m_status->clear();
}

QCoro::Task<HistorySession::OpenResult> Tfrm_sensors::openData()
{
    QPointer<Tfrm_sensors> self(this);
    HistorySession *session = m_session;
    const HistorySession::OpenResult result = co_await session->open();
    if (self && result.status == HistorySession::Opening::Opened)
        m_tasks.start(loadView(HistoryView::Cross));
    co_return result;
}

QCoro::Task<void> Tfrm_sensors::loadView(HistoryView view)
{
    // The grid gets the rows through the session's signal; a failed read leaves
    // the grid as it was, as a failing query leaves the grid empty.
    co_await m_session->load(view);
}

QCoro::Task<void> Tfrm_sensors::exportCommand(ExportFormat format)
{
    if (m_exporting)
        co_return;
    QPointer<Tfrm_sensors> self(this);
    const QString chosen = co_await m_saveDialog(this, format);
    if (!self)
        co_return;
    if (chosen.isEmpty()) {
        emit exportFinished(false);
        co_return;
    }
    QStringList existing = existing_targets(export_targets(format, chosen));
    if (!existing.isEmpty()) {
        for (QString &path : existing)
            path = QDir::toNativeSeparators(path);
        const QString text = existing.size() == 1
            ? QStringLiteral("Файл %1 уже существует.\n\rЗаменить?").arg(existing.constFirst())
            : QStringLiteral("Файлы %1 и %2 уже существуют.\n\rЗаменить?").arg(existing.at(0), existing.at(1));
        const int answer = co_await DialogSeam::ask(this, kCaption, text, QMessageBox::Question,
                                                    QMessageBox::Yes | QMessageBox::No);
        if (!self)
            co_return;
        if (answer != QMessageBox::Yes) {
            emit exportFinished(false);
            co_return;
        }
    }
    m_exporting = true;
    showStatus();
    HistorySession *session = m_session;
    const QString failed = co_await session->exportTo(format, chosen, m_grid1->layout(), m_grid2->layout());
    if (!self)
        co_return;
    m_exporting = false;
    showStatus();
    if (!failed.isEmpty())
        report_general_error(this, failed);
    emit exportFinished(failed.isEmpty());
}

void Tfrm_sensors::saveLayouts()
{
    m_layoutsSaved = true;
    m_grid1->layout().write(m_gridIni);
    m_grid2->layout().write(m_grid2Ini);
}

void Tfrm_sensors::closeEvent(QCloseEvent *event)
{
    saveLayouts();
    event->accept();
}

} // namespace qlx
