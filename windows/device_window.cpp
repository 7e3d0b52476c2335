#include "windows/device_window.h"

#include "base/node_table.h"
#include "engine/device_refresh.h"
#include "engine/seven_segment.h"
#include "widgets/dialog_seam.h"
#include "widgets/interval_dialog.h"
#include "widgets/seven_segment_display.h"
#include "widgets/task_owner.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <cstdlib>
#include <optional>

namespace qlx {

namespace {

constexpr QSize kClientSize(383, 307);
const QColor kLampOff(0x60, 0x00, 0x00);
const QColor kLampOn(0xFF, 0x20, 0x20);
const QColor kCaption(0xC0, 0xC0, 0xC0);

const QString kRefreshErrorCaption = QStringLiteral("Ошибка обновления");
const QString kRefreshErrorText =
    QStringLiteral("В настоящее время обновление невозможно.\n\rCom порт занят другим процессом. Повторите попытку позже.");

// a / b rounded to the nearest integer, halves to the even neighbour.
qint64 dividedEven(qint64 a, qint64 b)
{
    qint64 q = a / b;
    const qint64 r = a % b;
    const qint64 twice = 2 * std::llabs(r);
    if (twice > b || (twice == b && (q % 2) != 0))
        q += (a < 0) ? -1 : 1;
    return q;
}

QLabel *caption(const QString &text, QWidget *parent, const QRect &where, const QColor &color = kCaption)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(where);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
    return label;
}

} // namespace

Lamp::Lamp(int diameter, QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(diameter, diameter);
}

void Lamp::setOn(bool on)
{
    if (m_on == on)
        return;
    m_on = on;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_on ? kLampOn : kLampOff);
    painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

void Lamp::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

TFrm_quorlex::TFrm_quorlex(DeviceRefresh &refresh, const QString &caption, DeviceWindowHooks hooks, QWidget *parent)
    : QWidget(parent),
      m_refresh(&refresh),
      m_baseCaption(caption),
      m_hooks(std::move(hooks)),
      m_tasks(new TaskOwner(this, this))
{
    setObjectName(QStringLiteral("TFrm_quorlex"));
    setWindowTitle(caption);
    setFixedSize(kClientSize);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    buildPanel();
    buildMenus();

    connect(&refresh, &DeviceRefresh::changed, this, &TFrm_quorlex::refresh_disp);
    connect(&refresh, &DeviceRefresh::updatingChanged, this, [this](bool on) {
        if (on)
            m_updating->setText(QStringLiteral("Идет обновление информации"));
        m_updating->setVisible(on);
        m_notice->setText(m_refresh ? m_refresh->settingsChangedNotice() : QString());
    });
    refresh.setRecordToDatabase(m_hooks.databaseTicked);
    refresh.setRecordToFile(m_hooks.fileTicked);
    m_saveDb->setChecked(m_hooks.databaseTicked);
    m_saveFile->setChecked(m_hooks.fileTicked);

    m_dostup = new QTimer(this);
    m_dostup->setInterval(500);
    connect(m_dostup, &QTimer::timeout, this, &TFrm_quorlex::Refresh_dostup);
    Refresh_dostup();
    m_dostup->start();
    refresh_disp();
}

TFrm_quorlex::~TFrm_quorlex()
{
    if (m_refresh)
        m_refresh->release();
}

void TFrm_quorlex::buildPanel()
{
    caption(QStringLiteral("Параметр"), this, QRect(20, 6, 120, 16));
    m_red = new SevenSegmentDisplay(4, QColor(0xFF, 0x20, 0x20), this);
    m_red->setObjectName(QStringLiteral("Digit_r"));
    m_red->setGeometry(20, 24, 200, 70);
    caption(QStringLiteral("Номер канала"), this, QRect(250, 6, 120, 16));
    m_green = new SevenSegmentDisplay(2, QColor(0x20, 0xFF, 0x20), this);
    m_green->setObjectName(QStringLiteral("Digit_g"));
    m_green->setGeometry(250, 24, 100, 70);
    m_green->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_green, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { m_channelMenu->popup(m_green->mapToGlobal(at)); });

    // The parameter lamps: "изм", "НУ", "ВУ", "П" in a row, "MIN" and "MAX" small.
    static const char *const kNames[] = {"изм", "НУ", "ВУ", "П", "MIN", "MAX"};
    for (int q = 0; q < 6; ++q) {
        const bool small = q >= 4;
        const int x = small ? 236 + (q - 4) * 50 : 24 + q * 48;
        caption(QString::fromUtf8(kNames[q]), this, QRect(x - 6, 100, 40, 14));
        auto *lamp = new Lamp(small ? 10 : 14, this);
        lamp->move(x, small ? 118 : 116);
        connect(lamp, &Lamp::clicked, this, [this, q] { selectParameter(q); });
        m_paramLamps[static_cast<std::size_t>(q)] = lamp;
    }

    auto *mode = new QPushButton(QStringLiteral("РЕЖ"), this);
    mode->setObjectName(QStringLiteral("Button3"));
    mode->setGeometry(20, 140, 54, 26);
    connect(mode, &QPushButton::clicked, this, &TFrm_quorlex::nextParameter);

    const auto arrow = [this](Qt::ArrowType type, int x, const char *name) {
        auto *b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setArrowType(type);
        b->setGeometry(x, 140, 26, 26);
        QPalette p = b->palette();
        p.setColor(QPalette::ButtonText, Qt::green);
        p.setColor(QPalette::Button, QColor(0x00, 0x40, 0x00));
        b->setPalette(p);
        return b;
    };
    connect(arrow(Qt::RightArrow, 250, "cmb_right"), &QToolButton::clicked, this, &TFrm_quorlex::nextChannel);
    arrow(Qt::UpArrow, 282, "Cmb_up");
    arrow(Qt::DownArrow, 314, "Cmb_down");

    m_prog = new QPushButton(QStringLiteral("ПРГ"), this);
    m_prog->setObjectName(QStringLiteral("cmb_prog"));
    m_prog->setGeometry(86, 140, 54, 26);
    connect(m_prog, &QPushButton::clicked, this, &TFrm_quorlex::openSetpointWrite);
    m_progLamp = new Lamp(10, this);
    m_progLamp->move(144, 148);

    auto *manual = new QPushButton(QStringLiteral("РУЧ."), this);
    manual->setObjectName(QStringLiteral("Button1"));
    manual->setGeometry(166, 140, 54, 26);
    manual->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(manual, &QPushButton::clicked, this, &TFrm_quorlex::Refresh_dostup);
    connect(manual, &QWidget::customContextMenuRequested, this,
            [this, manual](const QPoint &at) { m_menu->popup(manual->mapToGlobal(at)); });
    m_autoLamp = new Lamp(10, this);
    m_autoLamp->move(224, 148);

    // The alarm lamps: upper row the upper setpoints, lower row the lower ones, in
    // three groups of four channels.
    for (int k = 1; k <= 12; ++k) {
        const int group = (k - 1) / 4;
        const int x = 20 + group * 122 + ((k - 1) % 4) * 26;
        caption(QString::number(k), this, QRect(x, 180, 20, 14));
        auto *vu = new Lamp(14, this);
        vu->move(x + 2, 198);
        auto *nu = new Lamp(14, this);
        nu->move(x + 2, 218);
        m_vuLamps[static_cast<std::size_t>(k - 1)] = vu;
        m_nuLamps[static_cast<std::size_t>(k - 1)] = nu;
    }

    m_updating = caption(QStringLiteral("Идет обновление информации"), this, QRect(20, 244, 340, 18), Qt::red);
    m_updating->setObjectName(QStringLiteral("Label_data_change"));
    m_updating->hide();
    m_notice = caption(QString(), this, QRect(20, 280, 350, 18), QColor(0x00, 0xFF, 0x00));
    m_notice->setObjectName(QStringLiteral("Label14"));
}

void TFrm_quorlex::buildMenus()
{
    m_menu = new QMenu(this);
    QAction *refresh = m_menu->addAction(QStringLiteral("Обновить"));
    refresh->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    connect(refresh, &QAction::triggered, this, [this] { refreshCommand(false); });
    QAction *all = m_menu->addAction(QStringLiteral("Обновить все параметры"));
    connect(all, &QAction::triggered, this, [this] { refreshCommand(true); });
    m_menu->addSeparator();
    m_auto = m_menu->addAction(QStringLiteral("Авт. обновление"));
    m_auto->setShortcut(QKeySequence(QStringLiteral("Ctrl+A")));
    m_auto->setCheckable(true);
    connect(m_auto, &QAction::triggered, this, &TFrm_quorlex::toggleAutoRefresh);
    m_menu->addSeparator();
    QAction *interval = m_menu->addAction(QStringLiteral("Интервал обновления"));
    interval->setVisible(false);
    m_saveDb = m_menu->addAction(QStringLiteral("Записывать историю в БД"));
    m_saveDb->setCheckable(true);
    connect(m_saveDb, &QAction::toggled, this, [this](bool on) {
        if (m_refresh)
            m_refresh->setRecordToDatabase(on);
    });
    m_saveFile = m_menu->addAction(QStringLiteral("Записывать историю в файл"));
    m_saveFile->setCheckable(true);
    connect(m_saveFile, &QAction::toggled, this, [this](bool on) {
        if (m_refresh)
            m_refresh->setRecordToFile(on);
    });
    m_menu->addSeparator();
    m_keep = m_menu->addAction(QStringLiteral("Сохранять режим"));
    m_keep->setCheckable(true);
    connect(m_keep, &QAction::toggled, this, [this](bool on) {
        if (m_refresh)
            m_refresh->setKeepDisplay(on);
    });
    QAction *access = m_menu->addAction(QStringLiteral("Доступ"));
    access->setVisible(false);
    connect(access, &QAction::triggered, this, &TFrm_quorlex::Refresh_dostup);
    // Shortcuts work while the window has the focus, menu shown or not.
    addActions(m_menu->actions());
    for (QAction *a : m_menu->actions())
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);

    m_channelMenu = new QMenu(this);
    for (int k = 1; k <= 12; ++k) {
        QAction *channel = m_channelMenu->addAction(QStringLiteral("Канал %1").arg(k));
        connect(channel, &QAction::triggered, this, [this, k] { selectChannel(k); });
    }
}

void TFrm_quorlex::contextMenuEvent(QContextMenuEvent *event)
{
    m_menu->popup(event->globalPos());
}

DeviceRefresh *TFrm_quorlex::refresh() const
{
    return m_refresh;
}

int TFrm_quorlex::slotNow() const
{
    return m_refresh ? m_refresh->slot() : 0;
}

void TFrm_quorlex::showNotRead()
{
    m_updating->setText(QStringLiteral("Данные не получены. Обновите информацию"));
    m_updating->show();
}

void TFrm_quorlex::refresh_disp()
{
    const int n = slotNow();
    if (n == 0 || !m_refresh)
        return;
    const Tarr_node &node = arr_nodes[n];
    const int c = m_refresh->selectedChannel();
    for (Lamp *lamp : m_paramLamps)
        lamp->setOn(false);
    const std::int32_t p = node.channels[c].point;
    const qint64 scale = p == 2 ? 10 : p == 3 ? 100 : p == 4 ? 1000 : 1;
    const Tarr_setup &s = node.setup[c];
    const int q = node.state.display_quantity;
    std::optional<qint64> x;
    switch (q) {
    case 0:
    case 3:
        x = node.channels[c].value;
        break;
    case 1:
        x = dividedEven(s.nu, scale);
        break;
    case 2:
        x = dividedEven(s.vu, scale);
        break;
    case 4:
        x = dividedEven(s.range_min, scale);
        break;
    case 5:
        x = dividedEven(s.range_max, scale);
        break;
    default:
        break; // a quantity the panel has no lamp for: the readout stays
    }
    if (x) {
        const auto masks = red_value(static_cast<std::int32_t>(*x), p);
        m_red->setMasks({masks.begin(), masks.end()});
        m_paramLamps[static_cast<std::size_t>(q)]->setOn(true);
    }
    const auto green = green_value(c);
    m_green->setMasks({green.begin(), green.end()});
    for (int k = 1; k <= 12; ++k) {
        m_vuLamps[static_cast<std::size_t>(k - 1)]->setOn(node.channels[k].alarm_vu == 1);
        m_nuLamps[static_cast<std::size_t>(k - 1)]->setOn(node.channels[k].alarm_nu == 1);
    }
    m_autoLamp->setOn(node.state.mode_bit7 != 1);
    m_progLamp->setOn(node.state.prog_mode == 1);
    if (node.state.prog_mode == 1)
        m_red->setMasks({segment::kProg.begin(), segment::kProg.end()});
    m_notice->setText(m_refresh->settingsChangedNotice());
}

void TFrm_quorlex::Refresh_dostup()
{
    const bool unlocked = m_hooks.writeEnabled();
    m_prog->setEnabled(unlocked);
    m_saveDb->setEnabled(unlocked && m_hooks.databaseItemEnabled());
    m_saveFile->setEnabled(unlocked && m_hooks.fileItemEnabled());
    if (m_refresh)
        m_refresh->setLogNudges(m_hooks.logNudges());
}

void TFrm_quorlex::selectChannel(int channel)
{
    if (m_refresh)
        m_refresh->selectChannel(channel);
    refresh_disp();
}

void TFrm_quorlex::nextChannel()
{
    if (m_refresh)
        selectChannel(m_refresh->selectedChannel() == 12 ? 1 : m_refresh->selectedChannel() + 1);
}

void TFrm_quorlex::nextParameter()
{
    const int n = slotNow();
    if (n == 0)
        return;
    std::int32_t &q = arr_nodes[n].state.display_quantity;
    q = q == 5 ? 0 : q + 1;
    refresh_disp();
}

void TFrm_quorlex::selectParameter(int quantity)
{
    const int n = slotNow();
    if (n == 0)
        return;
    arr_nodes[n].state.display_quantity = quantity;
    refresh_disp();
}

void TFrm_quorlex::openSetpointWrite()
{
    if (m_hooks.openSetpointWrite && m_refresh)
        m_hooks.openSetpointWrite(m_refresh->address(), m_refresh->selectedChannel());
    refresh_disp();
}

void TFrm_quorlex::refreshCommand(bool full)
{
    if (!m_refresh || m_refresh->requestRefresh(full))
        return;
    DialogSeam::inform(this, kRefreshErrorCaption, kRefreshErrorText, QMessageBox::NoIcon);
}

void TFrm_quorlex::setCaption()
{
    if (m_refresh && m_refresh->autoRefresh())
        setWindowTitle(m_baseCaption + QStringLiteral(" Обновление - ")
                       + QString::number(m_refresh->interval() / 1000.0, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(','))
                       + QStringLiteral(" сек."));
    else
        setWindowTitle(m_baseCaption + QStringLiteral(" Обновление - остановлено"));
}

void TFrm_quorlex::toggleAutoRefresh()
{
    if (!m_refresh)
        return;
    if (!m_auto->isChecked()) {
        m_refresh->setAutoRefresh(false);
        setCaption();
        return;
    }
    m_tasks->start([](QPointer<TFrm_quorlex> self) -> QCoro::Task<void> {
        const int chosen = co_await ask_refresh_interval(self, self->m_refresh->interval());
        if (!self || !self->m_refresh || !self->m_auto->isChecked())
            co_return;
        self->m_refresh->setInterval(chosen);
        self->m_refresh->setAutoRefresh(true);
        self->setCaption();
    }(this));
}

void TFrm_quorlex::closeEvent(QCloseEvent *event)
{
    if (!m_closed) {
        m_closed = true;
        m_dostup->stop();
        m_auto->setChecked(false);
        if (m_refresh)
            m_refresh->release(); // its own read only; it goes when its refresh has ended
        m_refresh = nullptr;
    }
    QWidget::closeEvent(event);
}

std::array<quint8, 4> TFrm_quorlex::redMasks() const
{
    const QList<quint8> m = m_red->masks();
    return {m.value(0), m.value(1), m.value(2), m.value(3)};
}

std::array<quint8, 2> TFrm_quorlex::greenMasks() const
{
    const QList<quint8> m = m_green->masks();
    return {m.value(0), m.value(1)};
}

bool TFrm_quorlex::parameterLamp(int quantity) const
{
    return quantity >= 0 && quantity < 6 && m_paramLamps[static_cast<std::size_t>(quantity)]->isOn();
}

bool TFrm_quorlex::alarmLamp(bool upper, int channel) const
{
    const auto &row = upper ? m_vuLamps : m_nuLamps;
    return channel >= 1 && channel <= 12 && row[static_cast<std::size_t>(channel - 1)]->isOn();
}

bool TFrm_quorlex::progLamp() const
{
    return m_progLamp->isOn();
}

bool TFrm_quorlex::manualLamp() const
{
    return m_autoLamp->isOn();
}

QString TFrm_quorlex::updatingText() const
{
    return m_updating->isVisible() || !m_updating->isHidden() ? m_updating->text() : QString();
}

QString TFrm_quorlex::settingsNotice() const
{
    return m_notice->text();
}

} // namespace qlx
