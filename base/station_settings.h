// The station's own settings files: ini/QLXN.ini ("Network", "Monitor", "Record")
// and ini/Time.ini ("Quorlex"). Every write reaches the file at once.
#pragma once

#include "base/ini_file.h"
#include "base/station_folder.h"

namespace qlx {

class StationSettings {
public:
    static constexpr int kDefaultAnswerWait = 100;       // ms
    static constexpr int kDefaultRefreshInterval = 5000; // ms
    static constexpr int kDefaultNodeRetry = 60;         // s
    static constexpr int kDayMs = 24 * 60 * 60 * 1000;

    explicit StationSettings(const StationFolder &folder);

    // [Quorlex] "TimOut" (default 100); the value in use is written back at once,
    // so the key always exists after the first start. A wait of 0 or less, or one
    // that is not a number, is replaced by 100; one beyond a day is bounded to a day.
    int takeAnswerWait();

    bool fastSpeed() const;            // [Network] "FastSpeed", default false
    void setFastSpeed(bool on);

    // [Monitor] "Time_refresh"; 0 or absent means the built-in 5000 ms. A negative
    // interval, or one that is not a number, means 5000 ms too; one beyond a day is
    // bounded to a day.
    int refreshInterval() const;
    void setRefreshInterval(int ms);

    // [Monitor] "Node_retry", seconds: how long after its exclusion a silent node is
    // tested again; 0 never. Absent: 60, written back so that the key can be found.
    // A negative value, or one that is not a number, means 60; beyond a day, a day.
    int takeNodeRetry();

    // What the reads above found wrong and what they use instead, one text each, for
    // the event log; taken once.
    QStringList takeCorrections();

    bool recordInDb() const;           // [Record] "in_bd", default false
    void setRecordInDb(bool on);
    bool recordInFile() const;         // [Record] "in_file", default true
    void setRecordInFile(bool on);

    IniFile &qlxn() { return m_qlxn; }
    IniFile &time() { return m_time; }

private:
    // The key as an integer within [min, max]: `fallback` when absent, `fallback` with a
    // correction when not a number or below min, max with a correction when above it.
    int checkedInteger(const IniFile &ini, const QString &section, const QString &key, int fallback, int min,
                       int max) const;

    IniFile m_qlxn;
    IniFile m_time;
    mutable QStringList m_corrections;
};

} // namespace qlx
