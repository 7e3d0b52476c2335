#include "base/station_settings.h"

#include <QFileInfo>

#include <utility>

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

int StationSettings::checkedInteger(const IniFile &ini, const QString &section, const QString &key, int fallback,
                                    int min, int max) const
{
    if (!ini.hasKey(section, key))
        return fallback;
    const QString text = ini.readString(section, key).trimmed();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    int used = fallback;
    if (ok && value >= min && value <= max)
        return static_cast<int>(value);
    if (ok && value > max)
        used = max;
    m_corrections << QStringLiteral("Недопустимое значение настройки %1 = \"%2\" (%3, раздел [%4]); используется %5")
                         .arg(key, text, QFileInfo(ini.path()).fileName(), section)
                         .arg(used);
    return used;
}

int StationSettings::takeAnswerWait()
{
    const int ms = checkedInteger(m_time, kQuorlex, QStringLiteral("TimOut"), kDefaultAnswerWait, 1, kDayMs);
    m_time.writeInteger(kQuorlex, QStringLiteral("TimOut"), ms);
    return ms;
}

int StationSettings::takeNodeRetry()
{
    const QString key = QStringLiteral("Node_retry");
    if (!m_qlxn.hasKey(kMonitor, key))
        m_qlxn.writeInteger(kMonitor, key, kDefaultNodeRetry);
    return checkedInteger(m_qlxn, kMonitor, key, kDefaultNodeRetry, 0, kDayMs / 1000);
}

QStringList StationSettings::takeCorrections()
{
    return std::exchange(m_corrections, {});
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
    const int ms = checkedInteger(m_qlxn, kMonitor, QStringLiteral("Time_refresh"), kDefaultRefreshInterval, 0, kDayMs);
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
