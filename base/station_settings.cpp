#include "base/station_settings.h"

namespace qlx {

namespace {
const QString kNetwork = QStringLiteral("Network");
const QString kMonitor = QStringLiteral("Monitor");
const QString kRecord = QStringLiteral("Record");
const QString kQuorlex = QStringLiteral("Quorlex");
} // namespace

StationSettings::StationSettings(const StationFolder &folder)
    : m_qlxn(folder.iniFile(QStringLiteral("QLXN.ini"))),
      m_time(folder.iniFile(QStringLiteral("Time.ini")))
{
}

int StationSettings::takeAnswerWait()
{
    const int ms = m_time.readInteger(kQuorlex, QStringLiteral("TimOut"), kDefaultAnswerWait);
    m_time.writeInteger(kQuorlex, QStringLiteral("TimOut"), ms);
    return ms;
}

bool StationSettings::fastSpeed() const
{
    return m_qlxn.readBool(kNetwork, QStringLiteral("FastSpeed"), false);
}

void StationSettings::setFastSpeed(bool on)
{
    m_qlxn.writeBool(kNetwork, QStringLiteral("FastSpeed"), on);
}

int StationSettings::refreshInterval() const
{
    const int ms = m_qlxn.readInteger(kMonitor, QStringLiteral("Time_refresh"), 0);
    return ms != 0 ? ms : kDefaultRefreshInterval;
}

void StationSettings::setRefreshInterval(int ms)
{
    m_qlxn.writeInteger(kMonitor, QStringLiteral("Time_refresh"), ms);
}

bool StationSettings::recordInDb() const
{
    return m_qlxn.readBool(kRecord, QStringLiteral("in_bd"), false);
}

void StationSettings::setRecordInDb(bool on)
{
    m_qlxn.writeBool(kRecord, QStringLiteral("in_bd"), on);
}

bool StationSettings::recordInFile() const
{
    return m_qlxn.readBool(kRecord, QStringLiteral("in_file"), true);
}

void StationSettings::setRecordInFile(bool on)
{
    m_qlxn.writeBool(kRecord, QStringLiteral("in_file"), on);
}

} // namespace qlx
