// Automatic polling: the switch, the run with its "F" and "NF" passes at the
// refresh interval, the presence test and exclusion of silent nodes, and the
// recording of every answering node (value log, history database, monitor cells).
//
// The engine has no widgets. What it needs of the windows (message boxes, the
// state monitor, the recording check marks, the elapsed-time clock) it asks of a
// PollingView that the main window implements and tests replace.
#pragma once

#include <QMap>
#include <QSet>
#include <QObject>
#include <QString>

#include "line/unit_protocol.h"

#include <qcoro/qcorotask.h>

namespace qlx {

class DailyLogs;
class Station;
class TDM_local;

// Alerts-log entry of a node that answers again after it was excluded.
inline const QString kAlertAnswersAgain = QStringLiteral("Прибор снова отвечает на запросы");

class PollingView {
public:
    virtual ~PollingView() = default;
    virtual QCoro::Task<void> message(const QString &caption, const QString &text) = 0;
    // A message that must not hold up the run: shown, and the run goes on at once.
    virtual void notice(const QString &caption, const QString &text) { (void)caption; (void)text; }
    virtual bool recordToDatabase() const = 0; // "Записывать историю в БД"
    virtual bool recordToFile() const = 0;     // "Записывать историю в файл"
    virtual void runStateChanged(bool running) = 0; // check mark and elapsed clock
    virtual void switchToggled() {}                  // the switch ticks "Скрыть панель" both ways
    // Opens the state monitor with this caption, or gives the open one the caption.
    virtual void createMonitor(const QString &caption) = 0;
    // The monitor's cell writer; col and row are one higher than the grid's column and row.
    virtual void formatCell(int col, int row, double value, int alarm_nu, int alarm_vu) = 0;
    virtual void repaintMonitor() = 0;
};

class Polling : public QObject {
    Q_OBJECT
public:
    Polling(Station &station, TDM_local &dm, DailyLogs &logs, PollingView &view, QObject *parent = nullptr);

    // The check mark of "Авт. обновление": the run's on/off state.
    bool running() const { return m_running; }
    bool runActive() const { return m_runActive; }
    // What the run asks of the windows; the view must outlive the run it serves.
    void setView(PollingView &view) { m_view = &view; }
    PollingView &view() { return *m_view; }

    // `Timer_refreshQuorlexM`, ms; 0 or less: passes follow each other at once.
    int interval() const { return m_interval; }
    void setInterval(int ms);

    // A node excluded because it did not answer its presence test is tested again
    // this long after (ms), and after each further silent test; 0: never. One that
    // answers is ticked again and its next read is a full one. While every node is
    // out and some are to be tested again, the run goes on.
    static constexpr int kDefaultNodeRetryMs = 60000;
    int nodeRetryInterval() const { return m_nodeRetryMs; }
    void setNodeRetryInterval(int ms) { m_nodeRetryMs = ms; }
    // Bus addresses of the nodes excluded by the run and waiting to be tested again.
    QList<int> excludedAddresses() const;
    // Switches the run off without a message (the main window is closing).
    void stop() { m_running = false; }
    // Asks the node read of the run to stop before its next channel (a closing window);
    // the stopped node is not recorded. Reads of other callers go on.
    void stopRead() { m_readStop.request(); }

    // The switch; completes when the run it started has ended.
    QCoro::Task<void> mnu_refreshClick();
    QCoro::Task<void> Refresh_QuorlexM();
    QCoro::Task<void> pass(QString mode);
    QCoro::Task<void> record_node(int slot);


signals:
    void intervalRestarted();
    // A pass ("F" or "NF") went over the node table, or stopped early when the run was switched off.
    void passFinished(const QString &mode);

private:
    // A node the run excluded: its address when excluded, and when it is tested next.
    struct Excluded {
        int address = 0;
        qint64 dueMs = 0;
    };

    void setRunning(bool on);
    void exclude(int slot, const QString &mode);
    void reportUnread(int slot, const NodeRead &read);
    QCoro::Task<void> waitInterval();
    // Waits while the port is closed (a lost port being reopened); false when the run was switched off.
    QCoro::Task<bool> waitForPort();
    // Tests the excluded nodes that are due, at most a few per pass.
    QCoro::Task<void> retryExcluded();
    void readmit(int slot);
    // True when the run should go on although no node is ticked: nodes it excluded will be tested again.
    bool waitingForExcluded() const;
    void sayAllOut();

    Station &m_station;
    TDM_local &m_dm;
    DailyLogs &m_logs;
    PollingView *m_view;
    int m_interval = 5000;
    ReadStop m_readStop;
    int m_nodeRetryMs = kDefaultNodeRetryMs;
    QMap<int, Excluded> m_excluded;  // by slot
    QSet<int> m_fullNext;            // slots whose next read is a full one
    bool m_allOutSaid = false;
    bool m_portWaitSaid = false;
    bool m_running = false;
    bool m_runActive = false;
    qint64 m_passStartMs = 0;
};

} // namespace qlx
