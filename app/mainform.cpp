#include "app/mainform.h"

#include "base/progress.h"
#include "engine/station.h"
#include "line/comport.h"
#include "widgets/password_dialog.h"
#include "base/unit_procedure.h"

#include <QAction>
#include <QActionGroup>
#include <QDockWidget>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <qcoro/qcorosignal.h>

namespace qlx {

// ---------------------------------------------------------------- main window

namespace {

const QString kWarningCaption = QStringLiteral("Внимание");
const QString kRecordBdText = QStringLiteral("Запись в базу данных");
const QString kRecordFileText = QStringLiteral("Запись в файл");
const QString kAutoRefreshQuestion =
    QStringLiteral("Просмотр датчиков невозможен при автоматическом опросе сети.\n\rОтключить автоматический опрос?");

QString clockText(qint64 secs)
{
    return QStringLiteral("%1:%2:%3")
        .arg(secs / 3600, 2, 10, QLatin1Char('0'))
        .arg(secs / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(secs % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TMainForm::TMainForm(Station &station, QWidget *parent)
    : QMainWindow(parent),
      m_station(station)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Сеть датчиков Кворлекс"));
    setWindowState(Qt::WindowMaximized);

    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("mdi_area"));
    setCentralWidget(m_mdi);

    buildMenus();
    buildPanels();
    buildToolBar();
    buildBottom();

    m_secondTimer = new QTimer(this);
    m_secondTimer->setInterval(1000);
    connect(m_secondTimer, &QTimer::timeout, this, &TMainForm::tickClock);

    resetElapsedClock();
    applyLock();
    updateRecordPanels();
}

TMainForm::~TMainForm() = default;

QAction *TMainForm::addAction(QMenu *menu, const QString &name, const QString &caption,
                              const QKeySequence &shortcut, bool checkable)
{
    QAction *a = menu->addAction(caption);
    a->setObjectName(name);
    a->setCheckable(checkable);
    if (!shortcut.isEmpty())
        a->setShortcut(shortcut);
    return a;
}

QMenu *TMainForm::addSubmenu(QMenu *menu, const QString &name, const QString &caption)
{
    QMenu *sub = menu->addMenu(caption);
    sub->setObjectName(name + QStringLiteral("_menu"));
    sub->menuAction()->setObjectName(name);
    return sub;
}

QAction *TMainForm::windowCommand(const QString &name, const QString &caption, std::function<void()> command)
{
    // Owned by the window, so rebuilding the menu keeps it.
    auto *a = new QAction(caption, this);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, std::move(command));
    return a;
}

void TMainForm::buildMenus()
{
    MainMenuActions &m = m_actions;
    QMenuBar *bar = menuBar();

    QMenu *file = bar->addMenu(QStringLiteral("&Файл"));
    file->menuAction()->setObjectName(QStringLiteral("mnu_file"));
    m.exit = addAction(file, QStringLiteral("mnu_exit"), QStringLiteral("Вы&xод"));
    connect(m.exit, &QAction::triggered, this, &QWidget::close);

    QMenu *quorlex = bar->addMenu(QStringLiteral("Кворлекс"));
    quorlex->menuAction()->setObjectName(QStringLiteral("mnu_quorlex"));
    m.refreshNetwork = addAction(quorlex, QStringLiteral("mnu_refresh_network"), m_station.scanCaption(),
                                 QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(m.refreshNetwork, &QAction::triggered, this, &TMainForm::startScan);
    m.refresh = addAction(quorlex, QStringLiteral("mnu_refresh"), QStringLiteral("Авт. обновление"), {}, true);
    m.interval = addAction(quorlex, QStringLiteral("N26"), QStringLiteral("Интервал обновления"));
    QMenu *record = addSubmenu(quorlex, QStringLiteral("N1"), QStringLiteral("Записывать историю"));
    m.record = record->menuAction();
    m.recordBd = addAction(record, QStringLiteral("mnu_record_bd"), QStringLiteral("Записывать историю в БД"), {}, true);
    m.recordFile =
        addAction(record, QStringLiteral("mnu_record_file"), QStringLiteral("Записывать историю в файл"), {}, true);
    // `changed` covers the check mark and the enabled state alike.
    connect(m.recordBd, &QAction::changed, this, &TMainForm::updateRecordPanels);
    connect(m.recordFile, &QAction::changed, this, &TMainForm::updateRecordPanels);
    QMenu *history = addSubmenu(quorlex, QStringLiteral("mnu_history"), QStringLiteral("История"));
    m.history = history->menuAction();
    m.historyChart = addAction(history, QStringLiteral("mnu_history_chart"), QStringLiteral("График"));
    m.historyTable = addAction(history, QStringLiteral("mnu_history_table"), QStringLiteral("Таблица"));
    // Ctrl+M goes to this item only; "Мастер отладки" has no shortcut, so the key is never ambiguous.
    m.monitoring = addAction(history, QStringLiteral("mnu_monitoring"), QStringLiteral("Мониторинг состояний"),
                             QKeySequence(Qt::CTRL | Qt::Key_M));
    connect(m.monitoring, &QAction::triggered, this, &TMainForm::showHistoryValues);
    QMenu *speed = addSubmenu(quorlex, QStringLiteral("N21"), QStringLiteral("Скорость"));
    m.speed = speed->menuAction();
    m.resetComPorts =
        addAction(speed, QStringLiteral("mnu_reset_com_ports"), QStringLiteral("Сбрасывать комм. порты"), {}, true);
    m.resetComPorts->setChecked(m_station.resetComPorts());
    connect(m.resetComPorts, &QAction::toggled, this, [this](bool on) { m_station.setResetComPorts(on); });
    speed->addSeparator();
    m_speedGroup = new QActionGroup(this);
    m_speedGroup->setExclusive(true);
    for (const QString &caption : line_speeds()) {
        QAction *a = addAction(speed, QStringLiteral("mnu_speed_") + caption, caption, {}, true);
        m_speedGroup->addAction(a);
        a->setChecked(caption == QStringLiteral("9600"));
        m.speeds.append(a);
    }
    m.hidePanel = addAction(quorlex, QStringLiteral("mnu_hide_panel"), QStringLiteral("Скрыть панель"),
                            QKeySequence(Qt::CTRL | Qt::Key_V), true);

    QMenu *service = bar->addMenu(QStringLiteral("Сервис"));
    service->menuAction()->setObjectName(QStringLiteral("mnu_service"));
    QMenu *port = addSubmenu(service, QStringLiteral("COM1"), QStringLiteral("COM Порт"));
    m.port = port->menuAction();
    m.openPort = addAction(port, QStringLiteral("mnu_open_port"), QStringLiteral("Закрыть"));
    m.portSetup = addAction(port, QStringLiteral("mnu_port_setup"), QStringLiteral("Настройка"));
    m.portSave = addAction(port, QStringLiteral("mnu_port_save"), QStringLiteral("Сохранить настройки"));
    m.portLoad = addAction(port, QStringLiteral("mnu_port_load"), QStringLiteral("Загрузить настройки"));
    m.dsr = addAction(port, QStringLiteral("mnu_dsr"), QStringLiteral("DSR"), {}, true);
    m.rts = addAction(port, QStringLiteral("mnu_rts"), QStringLiteral("RTS"), {}, true);
    m.fastSpeed = addAction(port, QStringLiteral("mnu_fast_speed"), QStringLiteral("Сократить время ожидания"), {}, true);
    m.fastSpeed->setToolTip(QStringLiteral("Только для NT"));
    m.fastSpeed->setStatusTip(QStringLiteral("Только для NT"));
    m.wizard = addAction(service, QStringLiteral("N9"), QStringLiteral("Мастер отладки"));
    m.write = addAction(service, QStringLiteral("N15"), QStringLiteral("Запись"));
    m.readUstav = addAction(service, QStringLiteral("mnu_read_ustav"), QStringLiteral("Чтение"));
    QMenu *events = addSubmenu(service, QStringLiteral("mnu_event_history"), QStringLiteral("История событий"));
    m.eventHistory = events->menuAction();
    m.eventPanel = addAction(events, QStringLiteral("mnu_event_panel"), QStringLiteral("Панель"),
                             QKeySequence(Qt::CTRL | Qt::Key_P), true);
    m.refreshTimeLog =
        addAction(events, QStringLiteral("mnu_refresh_time_log"), QStringLiteral("Учет времени обновления"), {}, true);
    m.resetProcess = addAction(service, QStringLiteral("mnu_reset_process"), QStringLiteral("Сброс процесса"));
    connect(m.resetProcess, &QAction::triggered, this, [] { VrProgressBar().setPosition(0); });
    m.lock = addAction(service, QStringLiteral("mnu_lock"), kUnlockCaption);
    connect(m.lock, &QAction::triggered, this, &TMainForm::mnu_lockClick);

    m_windowMenu = bar->addMenu(QStringLiteral("&Окно"));
    m_windowMenu->menuAction()->setObjectName(QStringLiteral("mnu_window"));
    m.cascade = windowCommand(QStringLiteral("mnu_cascade"), QStringLiteral("&Каскадом"),
                              [this] { m_mdi->cascadeSubWindows(); });
    m.tileHorizontal = windowCommand(QStringLiteral("mnu_tile_horizontal"), QStringLiteral("Выстроить по &горизонтали"),
                                     [this] { tileHorizontally(); });
    m.tileVertical = windowCommand(QStringLiteral("mnu_tile_vertical"), QStringLiteral("Выстроить по &вертикали"),
                                   [this] { tileVertically(); });
    m.minimizeAll = windowCommand(QStringLiteral("mnu_minimize_all"), QStringLiteral("&Свернуть все"),
                                  [this] { minimizeAll(); });
    connect(m_windowMenu, &QMenu::aboutToShow, this, &TMainForm::rebuildWindowMenu);
    rebuildWindowMenu();

    // Panels follow their items; the docks are built later, so look them up on use.
    connect(m.hidePanel, &QAction::toggled, this, [this](bool on) { m_leftDock->setVisible(!on); });
    connect(m.eventPanel, &QAction::toggled, this, [this](bool on) {
        m_logDock->setVisible(on);
        if (on)
            resizeDocks({m_logDock}, {qMax(m_logDock->width(), width() / 3)}, Qt::Horizontal);
    });
}

void TMainForm::rebuildWindowMenu()
{
    // The arrange commands stay; the list of open child windows is made afresh.
    m_windowMenu->clear();
    m_windowMenu->addActions({m_actions.cascade, m_actions.tileHorizontal, m_actions.tileVertical, m_actions.minimizeAll});

    const QList<QMdiSubWindow *> windows = m_mdi->subWindowList();
    if (windows.isEmpty())
        return;
    m_windowMenu->addSeparator();
    int n = 0;
    for (QMdiSubWindow *w : windows) {
        ++n;
        QAction *a = m_windowMenu->addAction(QStringLiteral("&%1 %2").arg(n).arg(w->windowTitle()));
        a->setCheckable(true);
        a->setChecked(w == m_mdi->activeSubWindow());
        QPointer<QMdiSubWindow> target(w);
        connect(a, &QAction::triggered, this, [this, target] {
            if (target)
                m_mdi->setActiveSubWindow(target);
        });
    }
}

void TMainForm::tileHorizontally()
{
    tile(Qt::Vertical); // each child window as wide as the frame, one under another
}

void TMainForm::tileVertically()
{
    tile(Qt::Horizontal); // each child window as high as the frame, side by side
}

void TMainForm::tile(Qt::Orientation direction)
{
    QList<QMdiSubWindow *> windows;
    for (QMdiSubWindow *w : m_mdi->subWindowList())
        if (!w->isMinimized())
            windows.append(w);
    if (windows.isEmpty())
        return;
    const QRect area = m_mdi->viewport()->rect();
    const int n = int(windows.size());
    for (int i = 0; i < n; ++i) {
        windows[i]->showNormal();
        if (direction == Qt::Vertical)
            windows[i]->setGeometry(0, i * (area.height() / n), area.width(), area.height() / n);
        else
            windows[i]->setGeometry(i * (area.width() / n), 0, area.width() / n, area.height());
    }
}

void TMainForm::minimizeAll()
{
    for (QMdiSubWindow *w : m_mdi->subWindowList())
        w->showMinimized();
}

void TMainForm::buildPanels()
{
    // Left panel: the node list and its command buttons.
    auto *left = new QWidget;
    left->setObjectName(QStringLiteral("pnl_nodes"));
    auto *leftLayout = new QVBoxLayout(left);
    auto *caption = new QLabel(QStringLiteral("Обнаруженные узлы"), left);
    caption->setObjectName(QStringLiteral("lbl_nodes"));
    leftLayout->addWidget(caption);
    m_nodes = new QListView(left);
    m_nodes->setObjectName(QStringLiteral("lst_nodes"));
    QFont bold = m_nodes->font();
    bold.setBold(true);
    m_nodes->setFont(bold);
    m_nodes->setModel(&m_station.nodeList());
    m_nodes->setSelectionMode(QAbstractItemView::SingleSelection);
    m_nodes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_nodes, &QListView::doubleClicked, this, &TMainForm::Show_quorlexm);
    leftLayout->addWidget(m_nodes, 1);

    const auto addButton = [&](const QString &name, const QString &text) {
        auto *b = new QPushButton(text, left);
        b->setObjectName(name);
        leftLayout->addWidget(b);
        return b;
    };
    PanelButtons &b = m_buttons;
    b.selectAll = addButton(QStringLiteral("cmb_select_all"), QStringLiteral("Выбрать все"));
    b.unselectAll = addButton(QStringLiteral("cmb_unselect_all"), QStringLiteral("Снять выделение"));
    b.history = addButton(QStringLiteral("cmb_history"), QStringLiteral("История значений"));
    b.frontPanel = addButton(QStringLiteral("cmb_front_panel"), QStringLiteral("Передняя панель"));
    b.refreshNetwork = addButton(QStringLiteral("cmb_refresh_network"), m_station.scanCaption());
    b.autoRefresh = addButton(QStringLiteral("BitBtn5"), QStringLiteral("Автоматическое обновление"));
    connect(b.selectAll, &QPushButton::clicked, this, &TMainForm::selectAll);
    connect(b.unselectAll, &QPushButton::clicked, this, &TMainForm::unselectAll);
    connect(b.history, &QPushButton::clicked, this, &TMainForm::showHistoryValues);
    connect(b.frontPanel, &QPushButton::clicked, this, &TMainForm::Show_quorlexm);
    connect(b.refreshNetwork, &QPushButton::clicked, this, &TMainForm::startScan);
    connect(b.autoRefresh, &QPushButton::clicked, this, [this] {
        m_station.setStatusPanel(1, QString());
        emit autoRefreshButtonClicked();
    });

    QPushButton *scan = b.refreshNetwork;
    QAction *scanItem = m_actions.refreshNetwork;
    connect(&m_station, &Station::scanCaptionChanged, this, [scan, scanItem](const QString &text) {
        scan->setText(text);
        scanItem->setText(text);
    });

    m_leftDock = new QDockWidget(this);
    m_leftDock->setObjectName(QStringLiteral("dock_nodes"));
    m_leftDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    m_leftDock->setTitleBarWidget(new QWidget(m_leftDock));
    m_leftDock->setWidget(left);
    addDockWidget(Qt::LeftDockWidgetArea, m_leftDock);

    // Right panel: the event log, hidden until "Панель" is ticked; the dock's
    // separator is the splitter to its left.
    m_log = new QPlainTextEdit;
    m_log->setObjectName(QStringLiteral("txt_event_log"));
    m_log->setReadOnly(true);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    for (const QString &line : m_station.eventLog().lines())
        m_log->appendPlainText(line);
    connect(&m_station.eventLog(), &EventLog::appended, m_log, &QPlainTextEdit::appendPlainText);
    connect(&m_station.eventLog(), &EventLog::cleared, m_log, &QPlainTextEdit::clear);

    m_logDock = new QDockWidget(this);
    m_logDock->setObjectName(QStringLiteral("dock_event_log"));
    m_logDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    m_logDock->setTitleBarWidget(new QWidget(m_logDock));
    m_logDock->setWidget(m_log);
    addDockWidget(Qt::RightDockWidgetArea, m_logDock);
    m_logDock->hide();
}

void TMainForm::buildToolBar()
{
    QToolBar *bar = addToolBar(QStringLiteral("Часы"));
    bar->setObjectName(QStringLiteral("tb_clocks"));
    bar->setMovable(false);
    bar->setFloatable(false);

    QFont mono = font();
    mono.setFamily(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setBold(true);

    bar->addWidget(new QLabel(QStringLiteral(" Время опроса "), bar));
    m_elapsed = new QLabel(bar);
    m_elapsed->setObjectName(QStringLiteral("clk_elapsed"));
    m_elapsed->setFont(mono);
    bar->addWidget(m_elapsed);
    bar->addSeparator();
    bar->addWidget(new QLabel(QStringLiteral(" Текущее время "), bar));
    m_clock = new QLabel(bar);
    m_clock->setObjectName(QStringLiteral("clk_current"));
    m_clock->setFont(mono);
    bar->addWidget(m_clock);
    bar->addSeparator();
    m_date = new QLabel(bar);
    m_date->setObjectName(QStringLiteral("lbl_date"));
    QFont large = font();
    large.setBold(true);
    large.setPointSize(large.pointSize() > 0 ? large.pointSize() + 6 : 16);
    m_date->setFont(large);
    m_date->setStyleSheet(QStringLiteral("color: blue"));
    bar->addWidget(m_date);
}

void TMainForm::buildBottom()
{
    QToolBar *bar = new QToolBar(QStringLiteral("Ход процесса"), this);
    bar->setObjectName(QStringLiteral("tb_progress"));
    bar->setMovable(false);
    bar->setFloatable(false);
    m_progress = new QProgressBar(bar);
    m_progress->setObjectName(QStringLiteral("VrProgressBar"));
    m_progress->setTextVisible(false);
    m_progress->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_progress->setRange(0, VrProgressBar().maximum());
    m_progress->setValue(VrProgressBar().position());
    connect(&VrProgressBar(), &ProgressValue::changed, m_progress, [this](int position, int maximum) {
        m_progress->setRange(0, maximum);
        m_progress->setValue(position);
    });
    bar->addWidget(m_progress);
    addToolBar(Qt::BottomToolBarArea, bar);

    for (int i = 0; i < Station::kStatusPanels; ++i) {
        auto *label = new QLabel(m_station.statusPanel(i), statusBar());
        label->setObjectName(QStringLiteral("StatusBar_panel%1").arg(i));
        label->setMinimumWidth(i == 0 || i == 1 ? 260 : 160);
        statusBar()->addWidget(label, i == 0 || i == 1 ? 2 : 1);
        m_panels.at(static_cast<std::size_t>(i)) = label;
    }
    connect(&m_station, &Station::statusPanelChanged, this, [this](int panel, const QString &text) {
        if (panel >= 0 && panel < Station::kStatusPanels)
            m_panels.at(static_cast<std::size_t>(panel))->setText(text);
    });
}

QWidget *TMainForm::leftPanel() const
{
    return m_leftDock;
}

QWidget *TMainForm::eventLogPanel() const
{
    return m_logDock;
}

QString TMainForm::elapsedClockText() const
{
    return m_elapsed->text();
}

QString TMainForm::currentClockText() const
{
    return m_clock->text();
}

QString TMainForm::dateText() const
{
    return m_date->text();
}

// ---------------------------------------------------------------- operator lock

bool TMainForm::isLocked() const
{
    return m_station.statusPanel(4).trimmed().isEmpty();
}

void TMainForm::setLockedItemsEnabled(bool enabled)
{
    for (QAction *item : m_actions.locked())
        item->setEnabled(enabled);
}

void TMainForm::applyLock()
{
    setLockedItemsEnabled(false);
    m_station.setStatusPanel(4, QString());
    m_actions.lock->setText(kUnlockCaption);
}

void TMainForm::liftLock()
{
    setLockedItemsEnabled(true);
    m_station.setStatusPanel(4, kUnlockedPanelText);
}

void TMainForm::mnu_lockClick()
{
    if (!isLocked()) {
        applyLock();
        return;
    }
    // The command reads "Установить блокировку" from the moment the dialog opens,
    // whatever the operator then does in it.
    m_actions.lock->setText(kLockCaption);
    auto *dialog = new TFrm_PasswordDlg(this);
    QPointer<TMainForm> self(this);
    connect(dialog, &TFrm_PasswordDlg::passwordAccepted, this, [self] {
        if (self)
            self->liftLock();
    });
    DialogSeam::open(dialog);
}

// ---------------------------------------------------------------- clocks

void TMainForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    tickClock();
    m_secondTimer->start();
}

void TMainForm::tickClock()
{
    const QDateTime now = current_time();
    m_clock->setText(now.toString(QStringLiteral("hh:mm:ss")));
    const int hour = now.time().hour();
    const bool first = m_shownHour < 0;
    const bool changed = hour != m_shownHour;
    m_shownHour = hour;
    if (changed && !(first && hour == 0)) {
        m_date->setText(QStringLiteral(" ") + now.toString(QStringLiteral("dd.MM.yyyy")) + QStringLiteral(" г."));
        emit hourChanged(hour);
    }
    showElapsed();
}

void TMainForm::showElapsed()
{
    if (m_elapsedStart.isValid())
        m_elapsedSecs = std::max<qint64>(0, m_elapsedStart.secsTo(current_time()));
    m_elapsed->setText(clockText(m_elapsedSecs));
}

void TMainForm::startElapsedClock()
{
    m_elapsedStart = current_time();
    m_elapsedSecs = 0;
    showElapsed();
}

void TMainForm::stopElapsedClock()
{
    showElapsed();
    m_elapsedStart = QDateTime();
}

void TMainForm::resetElapsedClock()
{
    m_elapsedStart = QDateTime();
    m_elapsedSecs = 0;
    showElapsed();
}

// ---------------------------------------------------------------- recording panels

void TMainForm::updateRecordPanels()
{
    const QAction *inBd = m_actions.recordBd;
    const QAction *inFile = m_actions.recordFile;
    const QString bd = inBd->isChecked() && inBd->isEnabled() ? kRecordBdText : QString();
    const QString file = inFile->isChecked() ? kRecordFileText : QString();
    if (m_station.statusPanel(2) != bd)
        m_station.setStatusPanel(2, bd);
    if (m_station.statusPanel(3) != file)
        m_station.setStatusPanel(3, file);
}

// ---------------------------------------------------------------- node list commands

void TMainForm::selectAll()
{
    m_station.nodeList().setAllChecked(true);
}

void TMainForm::unselectAll()
{
    m_station.nodeList().setAllChecked(false);
}

int TMainForm::highlightedItem() const
{
    if (m_station.nodeList().count() == 0)
        return -1;
    const QModelIndexList selected = m_nodes->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void TMainForm::showHistoryValues()
{
    const int item = highlightedItem();
    if (item < 0) {
        DialogSeam::inform(this, kWarningCaption, kNoDeviceSelected, QMessageBox::Warning);
        return;
    }
    emit historyValuesRequested(item + 1);
}

void TMainForm::Show_quorlexm()
{
    const int item = highlightedItem();
    if (item < 0) {
        DialogSeam::inform(this, kWarningCaption, kNoDeviceSelected, QMessageBox::Warning);
        return;
    }
    if (m_actions.refresh->isChecked()) {
        m_tasks.start(askStopAutoRefresh());
        return;
    }
    emit frontPanelRequested(item + 1, m_station.nodeList().text(item).trimmed(),
                             !VrProgressBar().busy());
}

QCoro::Task<void> TMainForm::askStopAutoRefresh()
{
    QPointer<TMainForm> self(this);
    const int answer = co_await DialogSeam::ask(this, kWarningCaption, kAutoRefreshQuestion, QMessageBox::Warning,
                                                QMessageBox::Ok | QMessageBox::Cancel);
    // The device window is not opened either way.
    if (self && answer == QMessageBox::Ok)
        emit self->stopAutoRefreshRequested();
}

// ---------------------------------------------------------------- scan

void TMainForm::startScan()
{
    // The station outlives the window; the window may close while the scan runs.
    m_tasks.start(m_station.mnu_refresh_networkClick());
}

} // namespace qlx
