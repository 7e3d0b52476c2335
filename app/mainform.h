// The station's main window: an MDI frame over a `qlx::Station`. It shows the
// station's state (node list, event log, status panels, progress value, clocks)
// and carries the main menu with the operator lock. Commands that belong to the
// start-up, the port and the polling run are exposed as typed actions for the
// application to connect (see `actions()` and `buttons()`); every item keeps its
// object name, by which tests find it.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMainWindow>
#include "widgets/dialog_seam.h"
#include "widgets/task_owner.h"

#include <array>
#include <functional>

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

// The items of the main menu, by what they do; the object name of each is in its
// comment. A submenu is reached through its menu action.
struct MainMenuActions {
    // "Файл"
    QAction *exit = nullptr;              // mnu_exit
    // "Кворлекс"
    QAction *refreshNetwork = nullptr;    // mnu_refresh_network: starts or stops a scan
    QAction *refresh = nullptr;           // mnu_refresh: the polling switch
    QAction *interval = nullptr;          // N26
    QAction *record = nullptr;            // N1, submenu "Записывать историю"
    QAction *recordBd = nullptr;          // mnu_record_bd
    QAction *recordFile = nullptr;        // mnu_record_file
    QAction *history = nullptr;           // mnu_history, submenu
    QAction *historyChart = nullptr;      // mnu_history_chart
    QAction *historyTable = nullptr;      // mnu_history_table
    QAction *monitoring = nullptr;        // mnu_monitoring
    QAction *speed = nullptr;             // N21, submenu "Скорость"
    QAction *resetComPorts = nullptr;     // mnu_reset_com_ports
    QList<QAction *> speeds;              // mnu_speed_<text>, in the order of line_speeds(); exclusive
    QAction *hidePanel = nullptr;         // mnu_hide_panel
    // "Сервис"
    QAction *port = nullptr;              // COM1, submenu "COM Порт"
    QAction *openPort = nullptr;          // mnu_open_port
    QAction *portSetup = nullptr;         // mnu_port_setup
    QAction *portSave = nullptr;          // mnu_port_save
    QAction *portLoad = nullptr;          // mnu_port_load
    QAction *dsr = nullptr;               // mnu_dsr
    QAction *rts = nullptr;               // mnu_rts
    QAction *fastSpeed = nullptr;         // mnu_fast_speed
    QAction *wizard = nullptr;            // N9
    QAction *write = nullptr;             // N15
    QAction *readUstav = nullptr;         // mnu_read_ustav
    QAction *eventHistory = nullptr;      // mnu_event_history, submenu
    QAction *eventPanel = nullptr;        // mnu_event_panel
    QAction *refreshTimeLog = nullptr;    // mnu_refresh_time_log
    QAction *resetProcess = nullptr;      // mnu_reset_process
    QAction *lock = nullptr;              // mnu_lock
    // "Окно"
    QAction *cascade = nullptr;           // mnu_cascade
    QAction *tileHorizontal = nullptr;    // mnu_tile_horizontal
    QAction *tileVertical = nullptr;      // mnu_tile_vertical
    QAction *minimizeAll = nullptr;       // mnu_minimize_all

    // The six items kept away from the operator while the lock is on.
    QList<QAction *> locked() const { return {port, write, speed, interval, record, wizard}; }
};

// The command buttons of the left panel.
struct PanelButtons {
    QPushButton *selectAll = nullptr;      // cmb_select_all
    QPushButton *unselectAll = nullptr;    // cmb_unselect_all
    QPushButton *history = nullptr;        // cmb_history
    QPushButton *frontPanel = nullptr;     // cmb_front_panel
    QPushButton *refreshNetwork = nullptr; // cmb_refresh_network
    QPushButton *autoRefresh = nullptr;    // BitBtn5, "Автоматическое обновление"
};

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(Station &station, QWidget *parent = nullptr);
    ~TMainForm() override;

    Station &station() { return m_station; }

    const MainMenuActions &actions() const { return m_actions; }
    const PanelButtons &buttons() const { return m_buttons; }

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
    // Commands started here and still running (a scan, a question).
    int runningTasks() const { return m_tasks.runningTasks(); }

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
    QAction *windowCommand(const QString &name, const QString &caption, std::function<void()> command);
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
    QCoro::Task<void> askStopAutoRefresh();

    Station &m_station;
    MainMenuActions m_actions;
    PanelButtons m_buttons;
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
    // Last: its tasks are handed on before anything of the window goes.
    TaskOwner m_tasks{this};
};

inline const QString kUnlockCaption = QStringLiteral("Снять блокировку");
inline const QString kLockCaption = QStringLiteral("Установить блокировку");
inline const QString kUnlockedPanelText = QStringLiteral("Защита снята");
inline const QString kNoDeviceSelected = QStringLiteral("Не выбран ни один прибор.");

} // namespace qlx
