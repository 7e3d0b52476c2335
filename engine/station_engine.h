// The station's engine as one object: the station folder with its settings, the
// serial line and the node list (Station), the daily text logs, the history
// database and automatic polling. The desktop program, the tests and the
// benchmarks all build it this way; windows observe it and never own it.
#pragma once

#include "base/station_folder.h"
#include "engine/polling.h"
#include "engine/station.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"

#include <QObject>
#include <QTimer>

namespace qlx {

class StationEngine : public QObject {
    Q_OBJECT
public:
    explicit StationEngine(const StationFolder &folder, QObject *parent = nullptr);
    ~StationEngine() override;

    const StationFolder &folder() const { return m_folder; }
    Station &station() { return m_station; }
    DailyLogs &logs() { return m_logs; }
    TDM_local &database() { return m_dm; }
    Polling &polling() { return m_polling; }

    // Takes the station's settings into the line and polling: the answer wait
    // (written back to its file), FastSpeed, the refresh interval, the node retry
    // interval and the line speed of the port settings. A value out of range is
    // replaced and said (event log, standard error).
    void applySettings();
    // Opens today's daily logs; false when one of them cannot be opened.
    bool openDailyLogs() { return m_logs.open_daily_logs(); }
    // Opens the history database of bd/; false with database().last_error().
    bool openDatabase() { return m_dm.open_history_database(m_folder.bdDir()); }

    // What an unattended station does by itself once started: a history database that
    // could not be opened is tried again every `databaseRetryMs`, daily logs that could
    // not be opened every `logsRetryMs` (each success said and signalled), and a port
    // lost or regained leaves an alerts-log row.
    static constexpr int kDefaultDatabaseRetryMs = 30000;
    static constexpr int kDefaultLogsRetryMs = 10000;
    void setRecoveryIntervals(int databaseRetryMs, int logsRetryMs);
    void startRecovery();

signals:
    // The history database opened after start-up: recording to it may begin.
    void databaseOpened();
    // The daily logs opened after they could not be: recording to files may begin.
    void dailyLogsOpened();

public:

    // What polling asks of the windows while no window answers: messages go to
    // the event log, recording follows the settings files, cells are written
    // without a monitor to show them.
    PollingView &headlessView();

    // Makes a ready station folder: ini/ with the serial port (empty: the built-in
    // one) in Com_setup_modbus.ini, logs/, bd/ with the SQLite link, Reports/.
    static bool initialiseFolder(const StationFolder &folder, const QString &port, QString *error = nullptr);

private:
    class HeadlessView;
    void retryDatabase();
    void retryDailyLogs();

    StationFolder m_folder;
    Station m_station;
    DailyLogs m_logs;
    TDM_local m_dm;
    std::unique_ptr<HeadlessView> m_headless;
    Polling m_polling;
    QTimer m_databaseRetry;
    QTimer m_logsRetry;
};

} // namespace qlx
