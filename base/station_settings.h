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

    explicit StationSettings(const StationFolder &folder);

    // [Quorlex] "TimOut" (default 100); the value in use is written back at once,
    // so the key always exists after the first start.
    int takeAnswerWait();

    bool fastSpeed() const;            // [Network] "FastSpeed", default false
    void setFastSpeed(bool on);

    // [Monitor] "Time_refresh"; 0 or absent means the built-in 5000 ms.
    int refreshInterval() const;
    void setRefreshInterval(int ms);

    bool recordInDb() const;           // [Record] "in_bd", default false
    void setRecordInDb(bool on);
    bool recordInFile() const;         // [Record] "in_file", default true
    void setRecordInFile(bool on);

    IniFile &qlxn() { return m_qlxn; }
    IniFile &time() { return m_time; }

private:
    IniFile m_qlxn;
    IniFile m_time;
};

} // namespace qlx
