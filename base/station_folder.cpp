#include "base/station_folder.h"

#include "base/ini_file.h"

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

} // namespace qlx
