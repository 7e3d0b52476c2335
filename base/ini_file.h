// Windows-profile style INI file: "[Section]" lines and "Key=Value" lines.
//
// Section and key names match without regard to case, as the profile API does.
// Every write goes to the file at once; other lines of the file are kept.
#pragma once

#include <QString>
#include <QStringList>

namespace qlx {

class IniFile {
public:
    explicit IniFile(QString path);

    const QString &path() const { return m_path; }

    // The value, or `fallback` when the section or key (or the file) is missing.
    QString readString(const QString &section, const QString &key, const QString &fallback = {}) const;
    // A decimal integer; `fallback` when missing or not a number.
    int readInteger(const QString &section, const QString &key, int fallback) const;
    // True for any non-zero integer.
    bool readBool(const QString &section, const QString &key, bool fallback) const;
    bool hasKey(const QString &section, const QString &key) const;

    // Write-through; returns false when the file cannot be written.
    bool writeString(const QString &section, const QString &key, const QString &value);
    bool writeInteger(const QString &section, const QString &key, int value);
    bool writeBool(const QString &section, const QString &key, bool value); // "1" / "0"

private:
    QStringList load() const;
    bool save(const QStringList &lines) const;

    QString m_path;
};

} // namespace qlx
