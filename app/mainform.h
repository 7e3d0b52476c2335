// The station's main window: an MDI frame over a `qlx::Station`. It shows the
// station's state (node list, event log, status panels, progress value, clocks)
// and carries the main menu with the operator lock. Commands that belong to the
// start-up, the port and the polling run are exposed as actions for the
// application to connect (see `action()`).
#pragma once

#include <QDateTime>
#include <QHash>
#include <QMainWindow>
#include "widgets/dialog_seam.h"

#include <array>
#include <functional>
#include <list>

#include <qcoro/qcorotask.h>

class QAction;
class QActionGroup;
class QDockWidget;
class QLabel;
class QListView;
class QMdiArea;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace qlx {

class Station;

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(Station &station, QWidget *parent = nullptr);
    ~TMainForm() override;

    Station &station() { return m_station; }

    // Menu actions by control name (nullptr when unknown). Submenus are reached
    // through their menu action: "COM1", "N21", "N1", "mnu_history", "mnu_event_history".
    QAction *action(const QString &objectName) const;
    QStringList actionNames() const;
    // Buttons of the left panel by control name (cmb_select_all, cmb_unselect_all,
    // cmb_history, cmb_front_panel, cmb_refresh_network, BitBtn5).
    QPushButton *button(const QString &objectName) const;

    QMdiArea *mdiArea() const { return m_mdi; }
    QListView *nodeListView() const { return m_nodes; }
    QPlainTextEdit *eventLogView() const { return m_log; }
    QWidget *leftPanel() const;
    QWidget *eventLogPanel() const;
    QProgressBar *progressBar() const { return m_progress; }
    QLabel *statusPanelLabel(int panel) const { return m_panels.at(static_cast<std::size_t>(panel)); }
    QString elapsedClockText() const;
    QString currentClockText() const;
    QString dateText() const;

    // Operator lock: the lock state is the text of status panel 4 (empty = locked).
    bool isLocked() const;
    void applyLock();   // disables the six items, clears panel 4, command "Снять блокировку"
    void liftLock();    // enables the six items, panel 4 "Защита снята"
    void mnu_lockClick();

    // The elapsed-time clock of the polling run ("Время опроса").
    void startElapsedClock();
    void stopElapsedClock(); // keeps its reading
    void resetElapsedClock(); // 00:00:00, stopped

    // Recomputes status panels 2 and 3 from the two recording items.
    void updateRecordPanels();
    // One tick of the current-time clock (the one-second timer calls it).
    void tickClock();

    // Left-panel commands.
    void selectAll();
    void unselectAll();
    void startScan(); // "Опросить сеть" and its menu item
    void showHistoryValues(); // "История значений" / "Мониторинг состояний"
    void Show_quorlexm(); // "Передняя панель" / double click
    int runningTasks() const;

signals:
    // The shown hour changed (also at the first showing unless the hour is 0);
    // the daily logs roll over when it is 0.
    void hourChanged(int hour);
    // Slot (1..255) chosen for the text-log viewer by "История значений".
    void historyValuesRequested(int slot);
    // Slot chosen for a device window; `readNow` is false while a node read is
    // interrupted (progress not 0): the window then shows "Данные не получены...".
    void frontPanelRequested(int slot, const QString &caption, bool readNow);
    // The operator agreed to switch automatic refresh off to open a device window:
    // the state monitor is to close (it asks its own confirmation).
    void stopAutoRefreshRequested();
    // The button "Автоматическое обновление" (panel 1 is already cleared).
    void autoRefreshButtonClicked();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QAction *addAction(QMenu *menu, const QString &name, const QString &caption,
                       const QKeySequence &shortcut = {}, bool checkable = false);
    QMenu *addSubmenu(QMenu *menu, const QString &name, const QString &caption);
    void buildMenus();
    void buildPanels();
    void buildToolBar();
    void buildBottom();
    void rebuildWindowMenu();
    void tileHorizontally();
    void tileVertically();
    void tile(Qt::Orientation direction);
    void minimizeAll();
    void setLockedItemsEnabled(bool enabled);
    int highlightedItem() const; // -1 when nothing is highlighted
    void showElapsed();
    void keepTask(QCoro::Task<void> task);
    void pruneTasks();
    QCoro::Task<void> scanCommand();
    QCoro::Task<void> askStopAutoRefresh();

    Station &m_station;
    QHash<QString, QAction *> m_actions;
    QHash<QString, QPushButton *> m_buttons;
    QMdiArea *m_mdi = nullptr;
    QMenu *m_windowMenu = nullptr;
    QActionGroup *m_speedGroup = nullptr;
    QDockWidget *m_leftDock = nullptr;
    QDockWidget *m_logDock = nullptr;
    QListView *m_nodes = nullptr;
    QPlainTextEdit *m_log = nullptr;
    QLabel *m_elapsed = nullptr;
    QLabel *m_clock = nullptr;
    QLabel *m_date = nullptr;
    QProgressBar *m_progress = nullptr;
    std::array<QLabel *, 5> m_panels{};
    QTimer *m_secondTimer = nullptr;
    QDateTime m_elapsedStart; // valid while the elapsed clock runs
    qint64 m_elapsedSecs = 0;
    int m_shownHour = -1; // -1 until the clock first shows the time
    bool m_shown = false;
    std::list<QCoro::Task<void>> m_tasks;
};

// The six items kept away from the operator while the lock is on.
inline const QStringList kLockedItems = {
    QStringLiteral("COM1"), QStringLiteral("N15"), QStringLiteral("N21"),
    QStringLiteral("N26"), QStringLiteral("N1"), QStringLiteral("N9"),
};
inline const QString kUnlockCaption = QStringLiteral("Снять блокировку");
inline const QString kLockCaption = QStringLiteral("Установить блокировку");
inline const QString kUnlockedPanelText = QStringLiteral("Защита снята");
inline const QString kNoDeviceSelected = QStringLiteral("Не выбран ни один прибор.");

} // namespace qlx
