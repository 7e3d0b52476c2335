#include "core/station_folder.h"

#include "core/comport.h"
#include "core/ini_file.h"

#include <QCoreApplication>
#include <QDir>

namespace qlx {

StationFolder::StationFolder(QString root)
    : m_root(QDir(root).absolutePath())
{
}

StationFolder StationFolder::fromArguments(const QStringList &arguments)
{
    const qsizetype i = arguments.indexOf(QStringLiteral("--home"));
    if (i >= 0 && i + 1 < arguments.size())
        return StationFolder(arguments.at(i + 1));
    return StationFolder(QCoreApplication::applicationDirPath());
}

QString StationFolder::iniFile(const QString &name) const
{
    return QDir(m_root).filePath(QStringLiteral("ini/") + name);
}

QString StationFolder::logsDir() const
{
    return QDir(m_root).filePath(QStringLiteral("logs"));
}

QString StationFolder::bdDir() const
{
    return QDir(m_root).filePath(QStringLiteral("bd"));
}

QString StationFolder::reportsDir() const
{
    return QDir(m_root).filePath(QStringLiteral("Reports"));
}

bool StationFolder::initialise(const QString &port, QString *error) const
{
    QDir dir(m_root);
    for (const char *sub : {"ini", "logs", "bd", "Reports"}) {
        if (!dir.mkpath(QString::fromLatin1(sub))) {
            if (error)
                *error = QStringLiteral("cannot create %1").arg(dir.filePath(QString::fromLatin1(sub)));
            return false;
        }
    }
    ComPort com;
    PortSettings s;
    if (!port.isEmpty())
        s.port = port;
    com.setSettings(s);
    IniFile ini(iniFile(QStringLiteral("Com_setup_modbus.ini")));
    if (!com.storeSettings(ini)) {
        if (error)
            *error = QStringLiteral("cannot write %1").arg(ini.path());
        return false;
    }
    return true;
}

} // namespace qlx
