// The station folder: where the settings (ini/), daily logs (logs/), database
// link (bd/) and saved reports (Reports/) live. It is the executable's folder
// unless `--home DIR` names another.
#pragma once

#include <QString>
#include <QStringList>

namespace qlx {

class StationFolder {
public:
    explicit StationFolder(QString root);

    // `--home DIR` from the arguments, else the executable's folder.
    static StationFolder fromArguments(const QStringList &arguments);

    QString root() const { return m_root; }
    QString iniFile(const QString &name) const; // ini/<name>
    QString logsDir() const;
    QString bdDir() const;
    QString reportsDir() const;

private:
    QString m_root;
};

} // namespace qlx
