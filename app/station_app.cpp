#include "app/station_app.h"

#include "base/logging.h"
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "app/mainform.h"
#include "widgets/serial_settings_dialog.h"
#include "app/start_dialog.h"
#include "widgets/interval_dialog.h"
#include "line/unit_protocol.h"
#include "windows/monitor.h"
#include "windows/print_report.h"
#include "windows/device_window.h"
#include "windows/history_chart_window.h"
#include "windows/select_interval_dialog.h"
#include "windows/sensors_table_window.h"
#include "windows/log_viewer_window.h"
#include "windows/setpoint_dialogs.h"
#include "windows/wizard_window.h"
#include "engine/device_refresh.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QGuiApplication>
#include <QVBoxLayout>

#include <cmath>

namespace qlx {

namespace {

// Sets a check mark without running the item's command.
void setCheckedQuietly(QAction *action, bool checked)
{
    const bool blocked = action->blockSignals(true);
    action->setChecked(checked);
    action->blockSignals(blocked);
    // Views that follow the item (status panels) listen to changed().
    emit action->changed();
}

} // namespace

StationApp::StationApp(const StationFolder &folder, QObject *parent)
    : QObject(parent),
      m_engine(folder),
      m_station(m_engine.station()),
      m_logs(m_engine.logs()),
      m_dm(m_engine.database()),
      m_polling(m_engine.polling()),
      // An error in an operator's command is shown and the station goes on.
      m_tasks([this](const QString &what) { report_general_error(m_main.get(), what); })
{
    m_polling.setView(*this);
}

StationApp::~StationApp()
{
    // The windows go before this object does: nothing of theirs may call back into it.
    if (m_monitor)
        disconnect(m_monitor, nullptr, this, nullptr);
    m_polling.setView(m_engine.headlessView());
    if (m_main)
        m_main->removeEventFilter(this);
}

QString StationApp::portSettingsPath() const
{
    return m_engine.folder().iniFile(QStringLiteral("Com_setup_modbus.ini"));
}

void StationApp::start()
{
    // 1-2. The main window, created hidden; its creation step reads the settings.
    m_main = std::make_unique<TMainForm>(m_station);
    m_main->installEventFilter(this);
    FormCreate();
    connectMenu();

    // 3-4. The data module holds no more than the database hook; then the start dialog.
    m_start = std::make_unique<TFrm_start>();
    m_start->fileLabel()->setVisible(!m_main->actions().recordFile->isEnabled());
    connect(m_start->startButton(), &QPushButton::clicked, this, [this] { m_tasks.start(cmd_startClick()); });
    connect(m_start->setupButton(), &QPushButton::clicked, this, [this] { m_tasks.start(cmd_nastrClick()); });
    connect(m_start->exitButton(), &QPushButton::clicked, this, &StationApp::cmd_exitClick);
    connect(m_start.get(), &TFrm_start::closedByFrame, this, [this] {
        if (!m_mainShown)
            cmd_exitClick(); // nothing visible would be left to bring the program back
    });
    m_start->show();

    // 5. The history database. What could not be opened is said and tried again
    // while the station runs; recording begins when it opens.
    const bool database = m_engine.openDatabase();
    m_start->dbLabel()->setVisible(!database);
    connect(&m_engine, &StationEngine::databaseOpened, this, &StationApp::databaseCameBack);
    connect(&m_engine, &StationEngine::dailyLogsOpened, this, &StationApp::dailyLogsCameBack);
    m_engine.startRecovery();

    // 6. The About box, kept for the help command.
    m_about = std::make_unique<QDialog>(m_main.get());
    m_about->setWindowTitle(QStringLiteral("О программе"));
    auto *about = new QVBoxLayout(m_about.get());
    about->addWidget(new QLabel(QStringLiteral("Сеть датчиков Кворлекс\nСтанция контроля")));

    // 7. Recording menu by the outcome.
    if (database) {
        setCheckedQuietly(m_main->actions().recordFile, false);
    } else {
        QAction *bd = m_main->actions().recordBd;
        setCheckedQuietly(bd, false);
        bd->setEnabled(false);
        m_main->actions().history->setEnabled(false);
    }

    // 8. The start command once by itself.
    m_tasks.start(cmd_startClick());
}

void StationApp::FormCreate()
{
    reset_cell_grid();
    m_engine.applySettings();
    setCheckedQuietly(m_main->actions().fastSpeed, m_station.line().fastSpeed());
    m_main->resetElapsedClock();
    setRefreshCaptions();
    abort_read = 0;
    if (!m_engine.openDailyLogs()) {
        QAction *file = m_main->actions().recordFile;
        setCheckedQuietly(file, false);
        file->setEnabled(false);
    }
    m_main->applyLock();
}

void StationApp::FormShow()
{
    m_main->updateRecordPanels();
    StationSettings &settings = m_station.settings();
    QAction *bd = m_main->actions().recordBd;
    QAction *file = m_main->actions().recordFile;
    setCheckedQuietly(bd, bd->isEnabled() && settings.recordInDb());
    setCheckedQuietly(file, file->isEnabled() && settings.recordInFile());
    m_main->updateRecordPanels();
}

void StationApp::FormCloseQuery()
{
    scan_running = 0;
    m_polling.stopRead();
}

void StationApp::FormClose()
{
    reset_cell_grid();
    if (m_polling.running())
        runStateChanged(false);
    m_polling.stop();
    m_station.store_port_settings();
    // A recording item disabled because its database or folder was missing holds no
    // choice of the operator's: the setting keeps the last one made.
    StationSettings &settings = m_station.settings();
    if (m_main->actions().recordBd->isEnabled())
        settings.setRecordInDb(m_main->actions().recordBd->isChecked());
    if (m_main->actions().recordFile->isEnabled())
        settings.setRecordInFile(m_main->actions().recordFile->isChecked());
    if (m_polling.runActive()) {
        m_tasks.start(endWhenRunStops());
        return;
    }
    m_logs.close_daily_logs();
    emit finished(0);
}

QCoro::Task<void> StationApp::endWhenRunStops()
{
    // The run stops at its next check between nodes. The node in progress is recorded
    // in full first: its value-log row, database rows and alerts belong together.
    // A run held up by something else (a message box left open) does not keep the
    // program alive for ever.
    constexpr qint64 kGraceMs = 60000;
    QElapsedTimer waited;
    waited.start();
    while (m_polling.runActive() && waited.elapsed() < kGraceMs)
        co_await service_events(20);
    if (m_polling.runActive())
        qCWarning(lcLine) << "closing: the polling run did not stop within" << kGraceMs << "ms";
    m_logs.close_daily_logs();
    emit finished(0);
}

bool StationApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_main.get() && event->type() == QEvent::Close && !m_closing) {
        m_closing = true;
        FormCloseQuery();
        m_start->hide();
        FormClose();
    }
    return QObject::eventFilter(watched, event);
}

void StationApp::closeStation()
{
    if (m_mainShown && !m_closing)
        m_main->close();
    else if (!m_closing)
        cmd_exitClick();
}

void StationApp::cmd_exitClick()
{
    m_closing = true;
    if (m_start)
        m_start->hide();
    emit finished(0);
}

void StationApp::setRefreshCaptions()
{
    const QString caption = QStringLiteral("Авт. обновление каждые ") + seconds_text(m_polling.interval()) +
                            QStringLiteral(" сек.");
    m_main->actions().refresh->setText(caption);
    m_main->buttons().autoRefresh->setText(caption);
}

QCoro::Task<void> StationApp::cmd_startClick()
{
    if (!QFileInfo::exists(portSettingsPath()))
        co_return;
    m_station.load_port_settings();
    const PortSettings before = m_station.comPort().settings();
    if (m_station.comPort().isOpen())
        co_return;
    co_await openPortAndStart(before, false);
}

QCoro::Task<void> StationApp::cmd_nastrClick()
{
    m_station.load_port_settings();
    const PortSettings before = m_station.comPort().settings();
    if (m_station.comPort().isOpen())
        co_return;
    co_await openPortAndStart(before, true);
}

QCoro::Task<void> StationApp::openPortAndStart(PortSettings before, bool setupFirst)
{
    QPointer<StationApp> self(this);
    if (setupFirst) {
        co_await portSetupDialog();
        if (!self)
            co_return;
    }
    bool opened = true;
    try {
        m_station.comPort().open();
    } catch (const PortError &e) {
        qCWarning(lcPort) << "start:" << e.what();
        opened = false;
    }
    if (!opened) {
        co_await DialogSeam::ask(m_start.get(), QStringLiteral("Ошибка инициализации COM порта"),
                                 QStringLiteral("Не могу открыть COM порт. Проверьте настройки COM порта"),
                                 QMessageBox::Critical, QMessageBox::Ok);
        if (!self)
            co_return;
        co_await portSetupDialog();
        if (self)
            m_station.store_port_settings();
        co_return;
    }
    const PortSettings after = m_station.comPort().settings();
    m_station.store_port_settings();
    if (!m_mainShown) {
        m_mainShown = true;
        FormShow();
        // Without a window manager (a kiosk X server) "maximised" means nothing: size it to the screen.
        if (QScreen *screen = QGuiApplication::primaryScreen())
            m_main->setGeometry(screen->availableGeometry());
        m_main->showMaximized();
        emit mainWindowShown();
    }
    co_await startNetworkTwice(before, after);
    if (self && !m_closing)
        m_start->hide();
}

QCoro::Task<void> StationApp::startNetworkTwice(PortSettings before, PortSettings after)
{
    // The nodes first hear the new speed at the one they still use, then again at the new one.
    // A custom speed has no speed code: its broadcast carries none ("Custom" is the text).
    Station &station = m_station;
    station.comPort().setSpeed(before.baud());
    station.setLineSpeedText(after.speedText());
    co_await station.start_network();
    station.comPort().setSpeed(after.baud());
    station.setLineSpeedText(after.speedText());
    co_await station.start_network();
}

QCoro::Task<void> StationApp::portSetupDialog()
{
    QWidget *parent = m_mainShown ? static_cast<QWidget *>(m_main.get()) : m_start.get();
    const auto chosen = co_await ask_port_settings(parent, m_station.comPort().settings());
    if (chosen)
        m_station.comPort().setSettings(*chosen);
}

QCoro::Task<void> StationApp::intervalCommand()
{
    QPointer<StationApp> self(this);
    const int chosen = co_await ask_refresh_interval(m_main.get(), m_polling.interval());
    if (!self)
        co_return;
    m_polling.setInterval(chosen);
    setRefreshCaptions();
    m_station.settings().setRefreshInterval(chosen);
}

void StationApp::connectMenu()
{
    TMainForm &form = *m_main;
    const MainMenuActions &menu = form.actions();
    Station &station = m_station;

    // "Отключить автоматический опрос?" answered OK: the state monitor closes, asking its
    // own question; with no monitor open the run is switched off at once.
    connect(&form, &TMainForm::stopAutoRefreshRequested, this, [this] {
        if (m_monitor && !m_monitor->closing()) {
            if (auto *sub = qobject_cast<QMdiSubWindow *>(m_monitor->parentWidget()))
                sub->close();
            else
                m_monitor->close();
        } else if (m_polling.running()) {
            m_tasks.start(m_polling.mnu_refreshClick());
        }
    });

    // The speed items stand in the order of line_speeds().
    const QStringList &speeds = line_speeds();
    for (qsizetype i = 0; i < speeds.size(); ++i) {
        connect(menu.speeds.at(i), &QAction::triggered, this,
                [this, speed = speeds.at(i)] { m_tasks.start(m_station.change_speed(speed)); });
    }
    connect(&station, &Station::speedTicked, this, [items = menu.speeds](const QString &text) {
        const QStringList &speeds = line_speeds();
        for (qsizetype i = 0; i < speeds.size(); ++i)
            setCheckedQuietly(items.at(i), speeds.at(i) == text);
    });
    connect(menu.resetComPorts, &QAction::toggled, &station, &Station::setResetComPorts);

    QAction *openPort = menu.openPort;
    openPort->setText(QStringLiteral("Закрыть"));
    connect(openPort, &QAction::triggered, this, [this, openPort] {
        openPort->setText(m_station.toggle_port() ? QStringLiteral("Закрыть") : QStringLiteral("Открыть"));
    });
    connect(menu.portSetup, &QAction::triggered, this, [this] { m_tasks.start(portSetupDialog()); });
    connect(menu.portSave, &QAction::triggered, &station, &Station::store_port_settings);
    connect(menu.portLoad, &QAction::triggered, &station, &Station::load_port_settings);
    connect(menu.dsr, &QAction::toggled, &station, &Station::set_dtr);
    connect(menu.rts, &QAction::toggled, &station, &Station::set_rts);
    connect(menu.fastSpeed, &QAction::toggled, &station, &Station::set_fast_speed);

    connect(menu.recordBd, &QAction::toggled, this, [this](bool on) { m_station.settings().setRecordInDb(on); });
    connect(menu.recordFile, &QAction::toggled, this, [this](bool on) { m_station.settings().setRecordInFile(on); });
    connect(menu.interval, &QAction::triggered, this, [this] { m_tasks.start(intervalCommand()); });

    // The polling switch: its check mark is the run's state, set by the engine.
    QAction *refresh = menu.refresh;
    connect(refresh, &QAction::triggered, this, [this, refresh] {
        setCheckedQuietly(refresh, m_polling.running());
        m_tasks.start(m_polling.mnu_refreshClick());
    });
    connect(&form, &TMainForm::autoRefreshButtonClicked, this, [this] { m_tasks.start(BitBtn5Click()); });

    connect(&form, &TMainForm::frontPanelRequested, this,
            [this](int slot, const QString &caption, bool readNow) { openDeviceWindow(slot, caption, readNow); });
    connect(menu.write, &QAction::triggered, this, [this] { openSetpointWrite(); });
    connect(&form, &TMainForm::historyValuesRequested, this, &StationApp::openLogViewer);
    connect(this, &StationApp::logViewerRequested, this, &StationApp::openLogViewer);
    connect(menu.readUstav, &QAction::triggered, this, [this] { openSetpointRead(); });
    connect(menu.historyChart, &QAction::triggered, this, [this] { openHistoryChart(); });
    connect(menu.historyTable, &QAction::triggered, this, [this] { openHistoryTable(); });
    connect(menu.wizard, &QAction::triggered, this, [this] { openWizard(); });

    connect(&form, &TMainForm::hourChanged, this, [this](int hour) {
        try {
            m_logs.day_change(hour);
        } catch (const LogWriteError &e) {
            m_station.eventLog().appendStamped(QStringLiteral(" - ") + QString::fromUtf8(e.what()));
        }
    });
}

QMdiSubWindow *StationApp::addChild(QWidget *window, Qt::WindowFlags flags)
{
    QMdiSubWindow *sub = m_main->mdiArea()->addSubWindow(window, flags);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    window->setAttribute(Qt::WA_DeleteOnClose);
    return sub;
}

TFrm_quorlex *StationApp::openDeviceWindow(int slot, const QString &caption, bool readNow)
{
    if (slot < 1 || slot > kSlots || arr_nodes[slot].address == 0)
        return nullptr;
    // The refresh cycle belongs to the engine: it outlives the window by as long as
    // its last read takes.
    auto *refresh = new DeviceRefresh(m_engine, arr_nodes[slot].address, &m_engine);
    const MainMenuActions &menu = m_main->actions();
    DeviceWindowHooks hooks;
    hooks.writeEnabled = [write = QPointer<QAction>(menu.write)] { return write && write->isEnabled(); };
    hooks.databaseItemEnabled = [bd = QPointer<QAction>(menu.recordBd)] { return bd && bd->isEnabled(); };
    hooks.fileItemEnabled = [file = QPointer<QAction>(menu.recordFile)] { return file && file->isEnabled(); };
    hooks.databaseTicked = menu.recordBd->isEnabled() && menu.recordBd->isChecked();
    hooks.fileTicked = menu.recordFile->isEnabled() && menu.recordFile->isChecked();
    hooks.logNudges = [log = QPointer<QAction>(menu.refreshTimeLog)] { return log && log->isChecked(); };
    hooks.openSetpointWrite = [self = QPointer<StationApp>(this)](int address, int channel) {
        if (self)
            self->openSetpointWrite(address, channel);
    };
    auto *window = new TFrm_quorlex(*refresh, caption, std::move(hooks));
    addChild(window, kFixedBorder)->show();
    if (readNow)
        refresh->requestRefresh(true);
    else
        window->showNotRead();
    return window;
}

QList<TFrm_quorlex *> StationApp::deviceWindows() const
{
    return m_main ? m_main->mdiArea()->findChildren<TFrm_quorlex *>() : QList<TFrm_quorlex *>();
}

void StationApp::openSetpointWrite(int address, int channel)
{
    auto *dialog = address > 0 ? new Tfrm_record(m_station, m_main.get(), address, channel)
                               : new Tfrm_record(m_station, m_main.get());
    addChild(dialog)->show();
}

TFrm_file_history *StationApp::openLogViewer(int slot)
{
    auto *viewer = new TFrm_file_history(m_logs, slot);
    QMdiSubWindow *sub = addChild(viewer);
    sub->resize(900, 500);
    sub->show();
    viewer->Load_file();
    return viewer;
}

TFrm_wizard *StationApp::openWizard()
{
    // The wizard's scan and sends belong to the engine: they outlive the window by as
    // long as the exchange on the line takes.
    auto *wizard = new Wizard(m_station.line(), &m_engine);
    auto *window = new TFrm_wizard(*wizard);
    addChild(window, kFixedBorder)->show();
    return window;
}

HistoryChartWindow *StationApp::openHistoryChart()
{
    auto *chart = new HistoryChartWindow(m_dm);
    QMdiSubWindow *sub = addChild(chart);
    sub->resize(900, 560);
    sub->show();
    return chart;
}

Tfrm_select_interval *StationApp::openHistoryTable()
{
    auto *dialog = new Tfrm_select_interval([self = QPointer<StationApp>(this)](const HistoryPeriod &period) {
        return self ? self->openSensorsTable(period) : nullptr;
    });
    QMdiSubWindow *sub = addChild(dialog, Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                                              | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    sub->adjustSize();
    sub->setFixedSize(sub->sizeHint());
    const QSize area = m_main->mdiArea()->viewport()->size();
    sub->move(std::max(0, (area.width() - sub->width()) / 2), std::max(0, (area.height() - sub->height()) / 2));
    sub->show();
    return dialog;
}

Tfrm_sensors *StationApp::openSensorsTable(const HistoryPeriod &period)
{
    const StationFolder &folder = m_engine.folder();
    auto *table = new Tfrm_sensors(m_dm, period, folder.iniFile(kGridIniName), folder.iniFile(kGrid2IniName),
                                   [self = QPointer<StationApp>(this)] {
                                       if (self)
                                           self->openHistoryTable();
                                   });
    QMdiSubWindow *sub = addChild(table);
    sub->resize(900, 560);
    sub->show();
    return table;
}

void StationApp::openSetpointRead()
{
    auto *dialog = new Tfrm_read_ustav(m_station, m_main.get());
    addChild(dialog)->show();
}

void StationApp::autostart()
{
    m_tasks.start(BitBtn5Click());
}

QCoro::Task<void> StationApp::BitBtn5Click()
{
    QPointer<StationApp> self(this);
    QPushButton *button = m_main->buttons().autoRefresh;
    button->setEnabled(false);
    if (m_station.nodeList().count() == 0)
        co_await m_station.mnu_refresh_networkClick();
    if (!self || m_closing)
        co_return;
    m_station.nodeList().setAllChecked(true);
    co_await m_polling.mnu_refreshClick();
    if (self && !m_closing)
        button->setEnabled(true);
}

QCoro::Task<void> StationApp::message(const QString &caption, const QString &text)
{
    co_await DialogSeam::ask(m_main.get(), caption, text, QMessageBox::Information, QMessageBox::Ok);
}

void StationApp::notice(const QString &caption, const QString &text)
{
    // Shown without holding anything up; a newer notice replaces one still open.
    if (m_notice)
        m_notice->close();
    auto *box = new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok, m_main.get());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    m_notice = box;
}

void StationApp::databaseCameBack()
{
    QAction *bd = m_main->actions().recordBd;
    bd->setEnabled(true);
    setCheckedQuietly(bd, m_station.settings().recordInDb());
    m_main->actions().history->setEnabled(true);
    m_main->updateRecordPanels();
}

void StationApp::dailyLogsCameBack()
{
    QAction *file = m_main->actions().recordFile;
    file->setEnabled(true);
    setCheckedQuietly(file, m_station.settings().recordInFile());
    m_main->updateRecordPanels();
}

bool StationApp::recordToDatabase() const
{
    const QAction *bd = m_main->actions().recordBd;
    return bd->isEnabled() && bd->isChecked();
}

bool StationApp::recordToFile() const
{
    return m_main->actions().recordFile->isChecked();
}

void StationApp::runStateChanged(bool running)
{
    setCheckedQuietly(m_main->actions().refresh, running);
    if (running) {
        m_main->actions().refresh->setText(QStringLiteral("Авт. обновление с интервалом ")
                                           + seconds_text(m_polling.interval()) + QStringLiteral(" сек."));
        m_main->resetElapsedClock();
        m_main->startElapsedClock();
    } else {
        m_main->stopElapsedClock();
    }
}

void StationApp::switchToggled()
{
    m_main->actions().hidePanel->setChecked(true);
}

void StationApp::createMonitor(const QString &caption)
{
    // One monitor at a time: switched on again while it is open, it stays.
    if (m_monitor && !m_monitor->closing()) {
        m_monitor->setWindowTitle(caption);
        if (auto *sub = qobject_cast<QMdiSubWindow *>(m_monitor->parentWidget()))
            sub->showMaximized();
        return;
    }
    auto *monitor = new Tfrm_monitor_auto2(m_station);
    monitor->setWindowTitle(caption);
    QMdiSubWindow *sub = m_main->mdiArea()->addSubWindow(monitor);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->showMaximized();
    m_monitor = monitor;
    monitor->setReportsDir(m_engine.folder().reportsDir());
    // Report windows are children of the main window like the monitor itself.
    connect(monitor, &Tfrm_monitor_auto2::reportWindowCreated, this, [this](TFrm_print *window) {
        QMdiSubWindow *reportSub = m_main->mdiArea()->addSubWindow(window);
        reportSub->setAttribute(Qt::WA_DeleteOnClose);
        reportSub->show();
    });
    connect(monitor, &Tfrm_monitor_auto2::logViewerRequested, this, &StationApp::logViewerRequested);
    // Its "Монитор" menu stands in the main menu bar while it is open. The menu
    // belongs to the monitor and goes with it; it leaves the bar as soon as
    // closing is confirmed, so a monitor opened right after has the bar to itself.
    QPointer<QAction> menu = m_main->menuBar()->addMenu(monitor->monitorMenu());
    connect(monitor, &Tfrm_monitor_auto2::closeConfirmed, this, [this, menu] {
        if (menu)
            m_main->menuBar()->removeAction(menu);
        m_polling.stopRead();
        // Closing the monitor switches polling off and gives the node panel back.
        if (m_polling.running())
            m_tasks.start(m_polling.mnu_refreshClick());
        m_main->actions().hidePanel->setChecked(false);
        m_main->buttons().autoRefresh->setEnabled(true);
        m_main->actions().refresh->setEnabled(true);
    });
}

void StationApp::formatCell(int col, int row, double value, int alarm_nu, int alarm_vu)
{
    if (m_monitor && !m_monitor->closing())
        m_monitor->formatCell(col, row, value, alarm_nu, alarm_vu);
    else
        format_cell(m_station, false, col, row, value, alarm_nu, alarm_vu); // the cells still carry the reading
}

void StationApp::repaintMonitor()
{
    if (m_monitor && !m_monitor->closing())
        m_monitor->refresh();
}

} // namespace qlx
