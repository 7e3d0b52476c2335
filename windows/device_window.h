// The device window `TFrm_quorlex`: one controller as its front panel. A red
// four-digit readout shows the selected parameter of the selected channel, a
// green two-digit one the channel; lamps show the parameter, programming mode,
// manual mode and the 24 alarms. The window observes a DeviceRefresh, the
// window-less refresh cycle that reads and records the node, and forwards its
// commands to it; closing the window releases that object, which stops only its
// own read and goes once its refresh has ended.
#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QToolButton;

namespace qlx {

class DeviceRefresh;
class SevenSegmentDisplay;
class TaskOwner;

// A round lamp: dark red when off, bright red when on; a click is a command.
class Lamp : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(int diameter, QWidget *parent = nullptr);
    bool isOn() const { return m_on; }
    void setOn(bool on);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_on = false;
};

// What the window follows of the main window.
struct DeviceWindowHooks {
    // "Запись" of the main window is enabled: the operator lock is lifted.
    std::function<bool()> writeEnabled = [] { return false; };
    // The main window's "Записывать историю в БД" / "в файл": enabled, ticked.
    std::function<bool()> databaseItemEnabled = [] { return false; };
    std::function<bool()> fileItemEnabled = [] { return false; };
    bool databaseTicked = false;
    bool fileTicked = false;
    // "Учет времени обновления" is ticked.
    std::function<bool()> logNudges = [] { return false; };
    // Opens the setpoint-write dialog for this node and channel ("ПРГ").
    std::function<void(int address, int channel)> openSetpointWrite;
};

class TFrm_quorlex : public QWidget {
    Q_OBJECT
public:
    // `refresh` belongs to the engine; the window releases it when it closes.
    TFrm_quorlex(DeviceRefresh &refresh, const QString &caption, DeviceWindowHooks hooks, QWidget *parent = nullptr);
    ~TFrm_quorlex() override;

    DeviceRefresh *refresh() const;
    // "Данные не получены. Обновите информацию": the opener found the line busy.
    void showNotRead();

    // Redraws readouts and lamps from the node slot and the window's channel.
    void refresh_disp();
    // Follows the operator lock and the main window's recording items.
    void Refresh_dostup();

    // Commands, as the controls run them.
    void selectChannel(int channel);
    void nextChannel();         // right arrow
    void nextParameter();       // "РЕЖ"
    void selectParameter(int quantity); // a parameter lamp
    void openSetpointWrite();   // "ПРГ"
    void refreshCommand(bool full); // "Обновить" / "Обновить все параметры"
    void toggleAutoRefresh();   // "Авт. обновление"

    // What the panel shows, for tests and the accessible description.
    std::array<quint8, 4> redMasks() const;
    std::array<quint8, 2> greenMasks() const;
    bool parameterLamp(int quantity) const;
    bool alarmLamp(bool upper, int channel) const;
    bool progLamp() const;
    bool manualLamp() const;
    QString updatingText() const; // empty while hidden
    QString settingsNotice() const;
    QMenu *windowMenu() const { return m_menu; }
    QMenu *channelMenu() const { return m_channelMenu; }
    QPushButton *progButton() const { return m_prog; }
    QAction *autoRefreshItem() const { return m_auto; }
    QAction *databaseItem() const { return m_saveDb; }
    QAction *fileItem() const { return m_saveFile; }
    QAction *keepDisplayItem() const { return m_keep; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void buildPanel();
    void buildMenus();
    void setCaption();
    int slotNow() const;

    QPointer<DeviceRefresh> m_refresh;
    QString m_baseCaption;
    DeviceWindowHooks m_hooks;
    SevenSegmentDisplay *m_red = nullptr;
    SevenSegmentDisplay *m_green = nullptr;
    std::array<Lamp *, 6> m_paramLamps{}; // by display quantity 0..5
    Lamp *m_progLamp = nullptr;
    Lamp *m_autoLamp = nullptr;
    std::array<Lamp *, 12> m_vuLamps{};
    std::array<Lamp *, 12> m_nuLamps{};
    QPushButton *m_prog = nullptr;
    QLabel *m_updating = nullptr;
    QLabel *m_notice = nullptr;
    QMenu *m_menu = nullptr;
    QMenu *m_channelMenu = nullptr;
    QAction *m_auto = nullptr;
    QAction *m_saveDb = nullptr;
    QAction *m_saveFile = nullptr;
    QAction *m_keep = nullptr;
    QTimer *m_dostup = nullptr;
    bool m_closed = false;
    TaskOwner *m_tasks = nullptr;
};

} // namespace qlx
