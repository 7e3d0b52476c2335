// The refresh cycle of one device window, without the window: reads its node,
// keeps what the front panel shows (displayed parameter and channel, the
// settings-changed notice), records each complete read to the history database
// and the value log, and runs the window's own refresh timer with its random
// nudge. The window observes it and forwards its commands.
//
// It is bound to the node's bus address: after a rescan it reads the slot that
// now holds that address, or says the node is gone, and never reads address 0.
// One refresh at a time: a tick during the refresh is skipped, a command is
// refused. Closing the window releases it: its own read stops before the next
// channel (never another caller's), nothing of the stopped refresh is recorded,
// and the object deletes itself once its refresh has ended, so a refresh never
// touches a window that is gone.
#pragma once

#include "line/unit_protocol.h"

#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QTimer>

#include <qcoro/qcorotask.h>

namespace qlx {

class StationEngine;

class DeviceRefresh : public QObject {
    Q_OBJECT
public:
    static constexpr int kInitialIntervalMs = 10000;
    static constexpr int kMinIntervalMs = 1000;
    static constexpr int kMaxIntervalMs = 24 * 60 * 60 * 1000;
    static constexpr int kNudgeMs = 100;

    // Owned by the engine's object tree (parent), not by the window.
    DeviceRefresh(StationEngine &engine, int address, QObject *parent);
    ~DeviceRefresh() override;

    int address() const { return m_address; }
    // The slot now holding the address; 0 when no slot does (the node is gone).
    int slot() const;

    // "F": the next read is a full one; "NF": a short one.
    QString mode() const { return m_full ? QStringLiteral("F") : QStringLiteral("NF"); }
    // "Обновить все параметры": the next read is a full one.
    void forceFull() { m_full = true; }

    // "Сохранять режим": the operator's displayed parameter survives a read.
    bool keepDisplay() const { return m_keepDisplay; }
    void setKeepDisplay(bool on) { m_keepDisplay = on; }
    // "Записывать историю в БД" / "в файл".
    bool recordToDatabase() const { return m_recordDb; }
    void setRecordToDatabase(bool on) { m_recordDb = on; }
    bool recordToFile() const { return m_recordFile; }
    void setRecordToFile(bool on) { m_recordFile = on; }
    // "Учет времени обновления": every nudge of the interval leaves an event-log line.
    void setLogNudges(bool on) { m_logNudges = on; }

    // The channel this window shows (1..12), its own; a value outside 1..12 keeps it.
    int selectedChannel() const { return m_channel; }
    void selectChannel(int channel);

    // True from the start of a refresh to its end ("Идет обновление информации"); a
    // refresh stopped at the busy test leaves it set, as the label stays up.
    bool updating() const { return m_updating; }
    bool refreshRunning() const { return m_running; }
    // "Настройка прибора была изменена - " and the time of the last report; empty before.
    QString settingsChangedNotice() const { return m_settingsNotice; }

    // The refresh timer: interval in ms, bounded to 1 s .. a day.
    int interval() const { return m_timer.interval(); }
    void setInterval(int ms);
    bool autoRefresh() const { return m_timer.isActive(); }
    // Switches automatic refresh on (one refresh at once, then one a tick) or off.
    void setAutoRefresh(bool on);

    // One refresh; never raises. Skipped when this window's refresh is running or
    // the object was released.
    QCoro::Task<void> refresh_data();
    // "Обновить" / "Обновить все параметры": false when the line is busy or this
    // window's refresh runs ("Ошибка обновления"), else refreshes.
    QCoro::Task<bool> refreshCommand(bool full);
    // The same for a window: the refresh runs on by itself; false at once when refused.
    bool requestRefresh(bool full);
    // `Change_interval`: the interval moves 100 ms up (64 in 100) or down.
    void Change_interval();

    // The window is closing: the timer stops, its own read stops, and the object goes
    // once its refresh has ended.
    void release();
    bool released() const { return m_released; }

    // Refreshes this object has completed, recorded or not (for observers and tests).
    int refreshes() const { return m_refreshes; }
    // What the last refresh's read did.
    const NodeRead &lastRead() const { return m_lastRead; }

signals:
    // The node slot's data or the window's display choices changed: redraw.
    void changed();
    void updatingChanged(bool updating);
    void intervalChanged(int ms);
    void autoRefreshChanged(bool on);

private:
    void setUpdating(bool on);
    void errorTrap(const QString &why);
    void record(int slot);
    void onTick();

    StationEngine &m_engine;
    const int m_address;
    QTimer m_timer;
    QRandomGenerator m_random;
    ReadStop m_stop;
    NodeRead m_lastRead;
    QString m_settingsNotice;
    int m_channel = 1;
    int m_refreshes = 0;
    bool m_full = true;
    bool m_keepDisplay = false;
    bool m_recordDb = true;
    bool m_recordFile = true;
    bool m_logNudges = false;
    bool m_updating = false;
    bool m_running = false;
    bool m_released = false;
};

} // namespace qlx
