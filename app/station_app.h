// The station program from launch to exit: the order in which the main window,
// the data module and the start dialog come into being, the start commands that
// open the serial port, the main window's creation, first showing and closing
// steps with the settings they read and write, and the port, speed and
// recording commands of the main menu.
#pragma once

#include "engine/station_engine.h"
#include "widgets/task_owner.h"
#include "windows/monitor.h"

#include <QObject>
#include <QPointer>

#include <memory>

#include <qcoro/qcorotask.h>

class QAction;
class QDialog;
class QMdiSubWindow;

namespace qlx {

class TFrm_start;
class TFrm_quorlex;
class TFrm_file_history;
class HistoryChartWindow;
class Tfrm_select_interval;
class Tfrm_sensors;
struct HistoryPeriod;
class TFrm_wizard;
class Tfrm_monitor_auto2;
class TMainForm;

class StationApp : public QObject, private PollingView {
    Q_OBJECT
public:
    explicit StationApp(const StationFolder &folder, QObject *parent = nullptr);
    ~StationApp() override;

    // Entry steps: hidden main window (its creation step), data module, start dialog,
    // the history database, the About box, the recording menu, then the start command once.
    void start();

    StationEngine &engine() { return m_engine; }
    Station &station() { return m_engine.station(); }
    DailyLogs &dailyLogs() { return m_engine.logs(); }
    TDM_local &DM_local() { return m_engine.database(); }
    TMainForm &mainForm() { return *m_main; }
    TFrm_start &startDialog() { return *m_start; }
    // The state monitor while polling runs (null otherwise).
    Tfrm_monitor_auto2 *monitor() const { return m_monitor; }
    bool mainShown() const { return m_mainShown; }

    // Start dialog commands.
    QCoro::Task<void> cmd_startClick();
    QCoro::Task<void> cmd_nastrClick();
    void cmd_exitClick();

    // Closes the main window as the operator would (settings stored, logs closed),
    // or ends the program when only the start dialog was ever shown.
    void closeStation();

    // The refresh interval of automatic polling, ms.
    int refreshInterval() { return m_engine.polling().interval(); }
    Polling &polling() { return m_engine.polling(); }

    // "Автоматическое обновление": scans first when the list is empty, ticks every node
    // and switches polling on; completes when the run ends.
    QCoro::Task<void> BitBtn5Click();
    // Runs the one-button start as if the operator had pressed it.
    void autostart();

    // Work started by menu commands and still running.
    int runningTasks() const { return m_tasks.runningTasks(); }

    // Opens a device window on the node of this slot with this caption, reading it at
    // once unless `readNow` is false (the line was busy). Null when the slot is empty.
    TFrm_quorlex *openDeviceWindow(int slot, const QString &caption, bool readNow = true);
    // The device windows open now.
    QList<TFrm_quorlex *> deviceWindows() const;
    // Opens the setpoint-write dialog, for this node and channel when given.
    void openSetpointWrite(int address = 0, int channel = 0);
    void openSetpointRead();
    // Opens a text-log viewer on the node of this slot and loads it.
    TFrm_file_history *openLogViewer(int slot);
    // Opens a new history chart, its automatic refresh off.
    HistoryChartWindow *openHistoryChart();
    // "История" → "Таблица": the interval dialog of the history table.
    Tfrm_select_interval *openHistoryTable();
    // A history table window of this period, not yet reading it.
    Tfrm_sensors *openSensorsTable(const HistoryPeriod &period);
    // Opens a new debugging wizard ("Отладчик") over the station's line.
    TFrm_wizard *openWizard();

signals:
    // The program is to end with this exit code.
    void finished(int code);
    // The main window has been shown for the first time.
    void mainWindowShown();
    // The monitor was double-clicked on the row of this node slot: its text-log
    // history is to be shown.
    void logViewerRequested(int slot);

private:
    void FormCreate();
    void FormShow();
    void FormCloseQuery();
    // Stores the settings, closes the daily logs and ends the program; while a polling
    // run still records its node, the last two wait until the run has stopped.
    void FormClose();
    QCoro::Task<void> endWhenRunStops();
    void connectMenu();
    void setRefreshCaptions();
    QCoro::Task<void> openPortAndStart(PortSettings before, bool setupFirst);
    QCoro::Task<void> startNetworkTwice(PortSettings before, PortSettings after);
    QCoro::Task<void> portSetupDialog();
    QCoro::Task<void> intervalCommand();
    bool eventFilter(QObject *watched, QEvent *event) override;
    QString portSettingsPath() const;
    // A child window of the main window; both go when it is closed.
    QMdiSubWindow *addChild(QWidget *window, Qt::WindowFlags flags = {});
    // The border of the device window and the wizard: system menu and minimize only.
    static constexpr Qt::WindowFlags kFixedBorder = Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                                                    | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

    // What polling asks of the windows.
    QCoro::Task<void> message(const QString &caption, const QString &text) override;
    void notice(const QString &caption, const QString &text) override;
    void databaseCameBack();
    void dailyLogsCameBack();
    bool recordToDatabase() const override;
    bool recordToFile() const override;
    void runStateChanged(bool running) override;
    void switchToggled() override;
    void createMonitor(const QString &caption) override;
    void formatCell(int col, int row, double value, int alarm_nu, int alarm_vu) override;
    void repaintMonitor() override;

    StationEngine m_engine;
    Station &m_station;
    DailyLogs &m_logs;
    TDM_local &m_dm;
    Polling &m_polling;
    QPointer<Tfrm_monitor_auto2> m_monitor;
    QPointer<QWidget> m_notice;
    std::unique_ptr<TMainForm> m_main;
    std::unique_ptr<TFrm_start> m_start;
    std::unique_ptr<QDialog> m_about;
    bool m_mainShown = false;
    bool m_closing = false;
    // Last: its tasks are handed on before anything they use goes.
    TaskOwner m_tasks;
};

// The last-resort report of an error that escaped the message loop.
inline const QString kFatalCaption = QStringLiteral("Ошибки при работе программы");
inline const QString kFatalText =
    QStringLiteral("В приложении было предпринято выполнить недопустимое действие.\n\rПрограмма будет закрыта.");

} // namespace qlx
