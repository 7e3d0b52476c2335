#include "base/ini_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <optional>

namespace qlx {

namespace {

std::optional<QString> sectionName(const QString &line)
{
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')))
        return t.mid(1, t.size() - 2).trimmed();
    return std::nullopt;
}

struct KeyLine {
    QString key;
    QString value;
};

std::optional<KeyLine> keyLine(const QString &line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0 || line.trimmed().startsWith(QLatin1Char(';')))
        return std::nullopt;
    return KeyLine{line.left(eq).trimmed(), line.mid(eq + 1).trimmed()};
}

bool same(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

IniFile::IniFile(QString path)
    : m_path(std::move(path))
{
}

QStringList IniFile::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &l : lines)
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool IniFile::save(const QStringList &lines) const
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray data;
    for (const QString &l : lines)
        data += l.toUtf8() + "\r\n";
    file.write(data);
    return file.commit();
}

QString IniFile::readString(const QString &section, const QString &key, const QString &fallback) const
{
    bool inSection = false;
    for (const QString &line : load()) {
        if (auto name = sectionName(line)) {
            inSection = same(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        if (auto kv = keyLine(line); kv && same(kv->key, key))
            return kv->value;
    }
    return fallback;
}

bool IniFile::hasKey(const QString &section, const QString &key) const
{
    const QString marker = QStringLiteral("\x01missing\x01");
    return readString(section, key, marker) != marker;
}

int IniFile::readInteger(const QString &section, const QString &key, int fallback) const
{
    bool ok = false;
    const int v = readString(section, key).toInt(&ok);
    return ok ? v : fallback;
}

bool IniFile::readBool(const QString &section, const QString &key, bool fallback) const
{
    return readInteger(section, key, fallback ? 1 : 0) != 0;
}

bool IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QStringList lines = load();
    int sectionStart = -1;
    int insertAt = -1;
    bool inSection = false;
    for (int i = 0; i < lines.size(); ++i) {
        if (auto name = sectionName(lines[i])) {
            inSection = same(*name, section);
            if (inSection)
                sectionStart = insertAt = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (auto kv = keyLine(lines[i]); kv && same(kv->key, key)) {
            lines[i] = kv->key + QLatin1Char('=') + value;
            return save(lines);
        }
        if (!lines[i].trimmed().isEmpty())
            insertAt = i + 1;
    }
    const QString entry = key + QLatin1Char('=') + value;
    if (sectionStart < 0) {
        if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
            lines << QString();
        lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
    } else {
        lines.insert(insertAt, entry);
    }
    return save(lines);
}

bool IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    return writeString(section, key, QString::number(value));
}

bool IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    return writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace qlx
