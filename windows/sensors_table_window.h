// The history table window `Tfrm_sensors` ("История состояний"): the rows of one
// period in two grids, "Вид 1" (every stored row) and "Вид 2" (a row per poll),
// with sorting, movable columns, grouping by dragging a header into the grouping
// panel, layouts kept in ini/grid.ini and ini/grid2.ini, and the export commands.
//
// The window observes a HistorySession, which owns the period and the rows. No
// widget holds an item per cell: the grids are views of a tree model over the
// session's compact row store. A closing window releases its session, which ends
// any load at its next page.
#pragma once

#include "engine/history_grid.h"
#include "engine/history_session.h"
#include "widgets/task_owner.h"

#include <QAbstractItemModel>
#include <QFrame>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QAbstractItemView;
class QAction;
class QHBoxLayout;
class QHeaderView;
class QLabel;
class QMenu;
class QStackedWidget;
class QTabWidget;
class QTableView;
class QToolButton;
class QTreeView;

namespace qlx {

class TDM_local;

// The rows of one view as a tree: group rows (when grouped) over data rows.
class HistoryTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit HistoryTreeModel(HistoryView view, QObject *parent = nullptr);

    void setTable(std::shared_ptr<const HistoryTable> table);
    const std::shared_ptr<const HistoryTable> &table() const { return m_table; }
    // Grouped columns, outermost first.
    void setGroups(const QList<int> &columns);
    const QList<int> &groups() const { return m_layout.groups; }
    // The column whose cell of a group row shows the group's caption (the one shown first).
    void setCaptionColumn(int column);
    const GridArrangement &arrangement() const { return m_arrangement; }
    // Whether the index is a group row.
    bool isGroup(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    // The group an index stands for, -1 for a data row.
    int groupOf(const QModelIndex &index) const;
    void rearrange();

    HistoryView m_view;
    std::shared_ptr<const HistoryTable> m_table;
    GridLayout m_layout; // sorting and grouping in use
    GridArrangement m_arrangement;
    int m_captionColumn = 0;
};

// The grouping panel: the grouped columns as buttons (a click ungroups one), and
// the place to drop a column header on.
class GroupPanel : public QFrame {
    Q_OBJECT
public:
    explicit GroupPanel(QWidget *parent = nullptr);
    void show(const QStringList &captions, const QList<int> &columns);

signals:
    void ungroupRequested(int column);

private:
    QHBoxLayout *m_layout = nullptr;
    QLabel *m_hint = nullptr;
    QList<QToolButton *> m_buttons;
};

// One grid: the grouping panel over a flat table (not grouped) or a tree (grouped).
class HistoryGrid : public QWidget {
    Q_OBJECT
public:
    HistoryGrid(HistoryView view, QWidget *parent = nullptr);

    HistoryView view() const { return m_view; }
    HistoryTreeModel *model() const { return m_model; }
    GroupPanel *groupPanel() const { return m_panel; }
    // The view in use: the table when not grouped, else the tree.
    QAbstractItemView *currentView() const;
    QHeaderView *header() const;
    QMenu *popup() const { return m_popup; }
    QAction *groupAction() const { return m_groupAction; }
    QAction *refreshAction() const { return m_refreshAction; }

    void setTable(std::shared_ptr<const HistoryTable> table);
    GridLayout layout() const;
    void applyLayout(const GridLayout &layout);
    // Groups by one more column; false for a column that cannot be grouped on.
    bool groupBy(int column);
    void ungroup(int column);

signals:
    void refreshRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showGroups();
    void captionColumnMoved();
    void expandFew();

    HistoryView m_view;
    HistoryTreeModel *m_model = nullptr;
    GroupPanel *m_panel = nullptr;
    QStackedWidget *m_stack = nullptr;
    QTableView *m_table = nullptr;
    QTreeView *m_tree = nullptr;
    QMenu *m_popup = nullptr;
    QAction *m_groupAction = nullptr;
    QAction *m_refreshAction = nullptr;
    int m_pressedSection = -1;
    bool m_forwarding = false;
};

class Tfrm_sensors : public QWidget {
    Q_OBJECT
public:
    // `gridIni`, `grid2Ini`: the layout files of "Вид 1" and "Вид 2".
    // `reopenInterval`: opens a new interval dialog ("Перезагрузить данные").
    Tfrm_sensors(TDM_local &dm, const HistoryPeriod &period, QString gridIni, QString grid2Ini,
                 std::function<void()> reopenInterval, QWidget *parent = nullptr);
    ~Tfrm_sensors() override;

    // Stores the period, counts its rows and, when there are some within the
    // limit, starts loading "Вид 2". The window may be closed meanwhile.
    QCoro::Task<HistorySession::OpenResult> openData();

    HistorySession *session() const { return m_session; }
    QTabWidget *tabs() const { return m_tabs; }
    HistoryGrid *grid(HistoryView view) const { return view == HistoryView::Rows ? m_grid1 : m_grid2; }
    QAction *closeAction() const { return m_closeAction; }
    QAction *reloadAction() const { return m_reloadAction; }
    QAction *exportAction(ExportFormat format) const;
    QToolButton *saveButton() const { return m_saveButton; }
    QLabel *statusLabel() const { return m_status; }

    // The save dialog, replaceable by tests: the chosen file name, empty for Cancel.
    using SaveDialog = std::function<QCoro::Task<QString>(QWidget *parent, ExportFormat format)>;
    void setSaveDialog(SaveDialog dialog) { m_saveDialog = std::move(dialog); }
    // Exports both views as the command for `format` does; finishes once written or given up.
    QCoro::Task<void> exportCommand(ExportFormat format);

signals:
    // A view's rows are in the grid.
    void viewLoaded(qlx::HistoryView view);
    // An export has written its files (or failed, or was given up).
    void exportFinished(bool written);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QCoro::Task<void> loadView(HistoryView view);
    void saveLayouts();
    void showStatus();

    HistorySession *m_session = nullptr; // released, not deleted, when the window goes
    QString m_gridIni;
    QString m_grid2Ini;
    std::function<void()> m_reopenInterval;
    SaveDialog m_saveDialog;
    QTabWidget *m_tabs = nullptr;
    HistoryGrid *m_grid1 = nullptr;
    HistoryGrid *m_grid2 = nullptr;
    QAction *m_closeAction = nullptr;
    QAction *m_reloadAction = nullptr;
    QList<QAction *> m_exportActions;
    QToolButton *m_saveButton = nullptr;
    QLabel *m_status = nullptr;
    bool m_layoutsSaved = false;
    bool m_exporting = false;
    TaskOwner m_tasks{this};
};

} // namespace qlx
