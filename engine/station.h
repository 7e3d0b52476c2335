// The station's engine behind the main window: the serial port and the line,
// the node list, the event log, the status-bar texts and the network scan.
// Windows show this state and forward their commands to it; it has no widgets.
#pragma once

#include "line/comport.h"
#include "engine/event_log.h"
#include "engine/node_list.h"
#include "base/station_folder.h"
#include "base/station_settings.h"
#include "line/transaction.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <stdexcept>
#include <optional>

#include <qcoro/qcorotask.h>

namespace qlx {

// An operator command that cannot run now; the text says why, for the operator.
class CommandRefused : public std::runtime_error {
public:
    explicit CommandRefused(const QString &why) : std::runtime_error(why.toStdString()) {}
};

// The three daily logs, for saying which one failed.
enum class DailyLog { Values, Setpoints, Alerts };

class Station : public QObject {
    Q_OBJECT
public:
    static constexpr int kStatusPanels = 5;

    explicit Station(QObject *parent = nullptr);
    ~Station() override;

    // The station folder whose settings files the commands read and write.
    void useFolder(const StationFolder &folder);
    const StationFolder &folder() const { return *m_folder; }
    bool hasFolder() const { return m_folder.has_value(); }
    StationSettings &settings() { return *m_settings; }

    ComPort &comPort() { return m_port; }
    Transaction &line() { return m_line; }
    NodeList &nodeList() { return m_nodeList; }
    EventLog &eventLog() { return m_eventLog; }

    QString statusPanel(int panel) const { return m_status.at(static_cast<std::size_t>(panel)); }
    void setStatusPanel(int panel, const QString &text);

    // Caption of the scan command: "Опросить сеть", or "Остановить опрос" while a scan runs.
    QString scanCaption() const { return m_scanCaption; }
    // "Сбрасывать комм. порты": every scan resets the nodes' communication first.
    bool resetComPorts() const { return m_resetComPorts; }
    void setResetComPorts(bool on) { m_resetComPorts = on; }
    // The current line speed text ("9600"), what the speed broadcast sends.
    QString lineSpeedText() const { return m_lineSpeedText; }
    void setLineSpeedText(const QString &text) { m_lineSpeedText = text; }
    // True while a scan's loop is running (it may already have been asked to stop).
    bool scanActive() const { return m_scanActive; }
    // Polling reads the node table while its run is active: a scan, which clears the
    // table, is refused meanwhile.
    void setPollingActive(bool active) { m_pollingActive = active; }
    bool pollingActive() const { return m_pollingActive; }

    // The scan command: starts a scan, or stops the one that runs. Completes when the
    // scan it started has ended (at once when it only stopped one). Starting raises
    // CommandRefused, with the node list kept, when the port is closed or polling runs.
    QCoro::Task<void> mnu_refresh_networkClick();
    // The scan of addresses 1..255.
    QCoro::Task<void> Refresh_network();
    // One identify probe of address a; an answer of any kind records a found node.
    QCoro::Task<void> Test_net_quorlex(int a);
    // Presence test: up to three identify probes; true at the first answer of any kind.
    QCoro::Task<bool> test_quorlex_in_net(int a);

    // Port and speed commands.
    // Sends the speed broadcast with the current line speed text and ticks its speed item.
    QCoro::Task<void> start_network();
    // A speed item: the broadcast goes out at the old speed, then the port switches.
    QCoro::Task<void> change_speed(QString speedText);
    // "Закрыть"/"Открыть": true when the port is open afterwards; an open failure is silent.
    bool toggle_port();
    bool load_port_settings();  // from ini/Com_setup_modbus.ini; false when there is no file
    bool store_port_settings();
    // "DSR" drives DTR, "RTS" drives RTS; a line the device cannot drive gives an event-log line.
    bool set_dtr(bool on);
    bool set_rts(bool on);
    // "Сократить время ожидания": the transaction layer's early end, stored in [Network] "FastSpeed".
    void set_fast_speed(bool on);

    // A port that fails while open (an adapter unplugged, the device gone) is closed by the
    // port itself; the station says so and tries to open it again every `portRetryMs`
    // until it opens or the operator opens or closes it with "Закрыть"/"Открыть".
    static constexpr int kDefaultPortRetryMs = 5000;
    void setPortRetryInterval(int ms) { m_portRetry.setInterval(ms); }
    int portRetryInterval() const { return m_portRetry.interval(); }
    // True from a port failure until the port is open again or the operator took over.
    bool reopeningPort() const { return m_portRetry.isActive(); }

    // Says a start-up or run-time warning where an unattended station keeps it: the
    // event log (stamped) and standard error.
    void warn(const QString &text);

    // Runs one daily-log write. A write that fails (LogWriteError) is said once per log
    // (event log, status panel 1, standard error) and the caller goes on, so a log that
    // cannot be written keeps nothing else from being recorded; the first write of that
    // log that succeeds again is said too. False when the write failed.
    bool writeLog(DailyLog log, const std::function<void()> &write);
    bool logFailing(DailyLog log) const { return m_logFailing.at(static_cast<std::size_t>(log)); }

signals:
    // The speed item whose caption equals this text is ticked (none for another text).
    void speedTicked(const QString &speedText);
    void statusPanelChanged(int panel, const QString &text);
    void scanCaptionChanged(const QString &caption);
    // The port failed and was closed; `reason` is the device's error text.
    void portLost(const QString &reason);
    // A port lost to a failure is open again.
    void portRestored();

private:
    void setScanCaption(const QString &caption);
    QCoro::Task<QByteArray> identify(int a);
    static bool answersAs(int a, const QByteArray &answer);

    bool set_modem_line(bool dtr, bool on);
    void onPortFailed(const QString &reason);
    void retryPort();

    std::optional<StationFolder> m_folder;
    std::optional<StationSettings> m_settings;
    ComPort m_port;
    Transaction m_line;
    NodeList m_nodeList;
    EventLog m_eventLog;
    std::array<QString, kStatusPanels> m_status;
    QString m_scanCaption;
    QString m_lineSpeedText = QStringLiteral("9600");
    bool m_resetComPorts = false;
    bool m_scanActive = false;
    bool m_pollingActive = false;
    QTimer m_portRetry;
    std::array<bool, 3> m_logFailing{};
};

// Scan command captions.
inline const QString kScanCaption = QStringLiteral("Опросить сеть");
inline const QString kStopScanCaption = QStringLiteral("Остановить опрос");

} // namespace qlx
