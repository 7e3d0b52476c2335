// The station's engine behind the main window: the serial port and the line,
// the node list, the event log, the status-bar texts and the network scan.
// Windows show this state and forward their commands to it; it has no widgets.
#pragma once

#include "core/comport.h"
#include "core/event_log.h"
#include "core/node_list.h"
#include "protocol/transaction.h"

#include <QObject>

#include <array>

#include <qcoro/qcorotask.h>

namespace qlx {

class Station : public QObject {
    Q_OBJECT
public:
    static constexpr int kStatusPanels = 5;

    explicit Station(QObject *parent = nullptr);
    ~Station() override;

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

    // The scan command: starts a scan, or stops the one that runs. Completes when the
    // scan it started has ended (at once when it only stopped one).
    QCoro::Task<void> mnu_refresh_networkClick();
    // The scan of addresses 1..255.
    QCoro::Task<void> Refresh_network();
    // One identify probe of address a; an answer of any kind records a found node.
    QCoro::Task<void> Test_net_quorlex(int a);
    // Presence test: up to three identify probes; true at the first answer of any kind.
    QCoro::Task<bool> test_quorlex_in_net(int a);

signals:
    void statusPanelChanged(int panel, const QString &text);
    void scanCaptionChanged(const QString &caption);

private:
    void setScanCaption(const QString &caption);
    QCoro::Task<QByteArray> identify(int a);

    ComPort m_port;
    Transaction m_line;
    NodeList m_nodeList;
    EventLog m_eventLog;
    std::array<QString, kStatusPanels> m_status;
    QString m_scanCaption;
    QString m_lineSpeedText = QStringLiteral("9600");
    bool m_resetComPorts = false;
    bool m_scanActive = false;
};

// Scan command captions.
inline const QString kScanCaption = QStringLiteral("Опросить сеть");
inline const QString kStopScanCaption = QStringLiteral("Остановить опрос");

} // namespace qlx
