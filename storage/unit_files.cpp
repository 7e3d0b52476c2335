#include "storage/unit_files.h"

#include "base/node_table.h"
#include "base/unit_procedure.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <array>
#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>

namespace qlx {

namespace {

// Code page 1251 bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
// 0x98 is unassigned.
constexpr std::array<char16_t, 64> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

char encodeChar(char16_t c)
{
    if (c < 0x80)
        return static_cast<char>(c);
    if (c >= 0x0410 && c <= 0x044F)
        return static_cast<char>(0xC0 + (c - 0x0410));
    if (c != 0xFFFD) {
        for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
            if (kHighHalf[i] == c)
                return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

// Russian regional settings, fixed: the machine's locale plays no part.
QString logDate(const QDateTime &t)
{
    return QLocale::c().toString(t, QStringLiteral("dd.MM.yyyy"));
}

QString logTime(const QDateTime &t)
{
    return QLocale::c().toString(t, QStringLiteral("hh:mm.ss"));
}

QByteArray headerLine(const QString &text)
{
    return to_cp1251(text) + "\r\n";
}

QByteArray valueHeader()
{
    QString h = QStringLiteral("Узел\tДата\tВремя\t");
    for (int c = 1; c <= kChannels; ++c)
        h += QStringLiteral("Канал_%1\t").arg(c);
    return headerLine(h);
}

QByteArray setpointHeader()
{
    QString h = QStringLiteral("Узел\tДата\tВремя\t");
    for (int c = 1; c <= kChannels; ++c) {
        h += QStringLiteral("Канал_%1_Nu\tКанал_%1_Gis_Nu\tКанал_%1_Vu\tКанал_%1_GIS_Vu\t").arg(c);
    }
    return headerLine(h + QLatin1Char(' '));
}

QByteArray alertsHeader()
{
    return headerLine(QStringLiteral("Узел\tДата\tВремя\tСообщение"));
}

QString channelValue(const Tarr_channel &ch)
{
    return log_number(ch.value, point_divisor(ch.point));
}

QString setpointValue(std::int32_t thousandths, std::int32_t point)
{
    return log_number(thousandths, point >= 1 && point <= 4 ? 1000 : 1);
}

QByteArray field(const QString &text)
{
    return to_cp1251(text) + '\t';
}

} // namespace

QByteArray to_cp1251(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar ch : text)
        out.append(encodeChar(ch.unicode()));
    return out;
}

QString from_cp1251(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (u < 0x80)
            out.append(QChar(u));
        else if (u >= 0xC0)
            out.append(QChar(static_cast<char16_t>(0x0410 + (u - 0xC0))));
        else
            out.append(QChar(kHighHalf[u - 0x80]));
    }
    return out;
}

QString log_number(qint64 units, int divisor)
{
    // Exact integer arithmetic: every divisor divides 10000, so the value in
    // ten-thousandths is a whole number and needs no rounding.
    const qint64 scaled = units * (10000 / divisor);
    const qint64 magnitude = scaled < 0 ? -scaled : scaled;
    QString text = QString::number(magnitude / 10000) + QLatin1Char(',')
        + QStringLiteral("%1").arg(magnitude % 10000, 4, 10, QLatin1Char('0'));
    if (scaled < 0)
        text.prepend(QLatin1Char('-'));
    return text;
}

DailyLogs::DailyLogs(QString logsDir)
    : m_dir(std::move(logsDir))
{
}

DailyLogs::~DailyLogs()
{
    close_daily_logs();
}

namespace {

constexpr QIODevice::OpenMode kAppend = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// True when the open file is the file now found at `path` (same device and
// inode); false when the path is gone or names another file.
bool stillAtPath(const QFile &file, const QString &path)
{
    struct stat opened {};
    struct stat named {};
    if (::fstat(file.handle(), &opened) != 0)
        return false;
    if (::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

QLatin1String DailyLogs::prefixOf(Kind kind)
{
    switch (kind) {
    case Value:
        return QLatin1String("log_");
    case Setpoint:
        return QLatin1String("ustav_");
    case Alerts:
        break;
    }
    return QLatin1String("alerts_");
}

QByteArray DailyLogs::headerOf(Kind kind)
{
    switch (kind) {
    case Value:
        return valueHeader();
    case Setpoint:
        return setpointHeader();
    case Alerts:
        break;
    }
    return alertsHeader();
}

QString DailyLogs::pathFor(const QString &prefix, const QDate &date) const
{
    return QDir(m_dir).filePath(prefix + QLocale::c().toString(date, QStringLiteral("yyMMdd")) + QStringLiteral(".txt"));
}

QString DailyLogs::pathOf(Kind kind) const
{
    return pathFor(prefixOf(kind), m_date);
}

QString DailyLogs::valueLogPath() const
{
    return pathFor(prefixOf(Value), current_time().date());
}

QString DailyLogs::setpointLogPath() const
{
    return pathFor(prefixOf(Setpoint), current_time().date());
}

QString DailyLogs::alertsLogPath() const
{
    return pathFor(prefixOf(Alerts), current_time().date());
}

// Appends `row` to the open file in one write; an empty regular file gets the
// header line first, in the same write. Returns the reason when the bytes did
// not all reach the file; whatever part of them did is cut off again, so the
// file ends as it was before. Empty: written.
QString DailyLogs::append(Kind kind, const QByteArray &row)
{
    Log &log = m_logs[kind];
    QFile &file = log.file;
    if (log.cutTo >= 0) {
        // An earlier failed row is still in the file: it goes before anything else.
        if (!file.resize(log.cutTo))
            return QStringLiteral("не удается удалить незаконченную строку (%1)").arg(file.errorString());
        log.cutTo = -1;
    }
    struct stat before {};
    if (::fstat(file.handle(), &before) != 0)
        return qt_error_string(errno);
    QByteArray bytes = row;
    if (before.st_size == 0 && S_ISREG(before.st_mode))
        bytes.prepend(headerOf(kind));
    if (bytes.isEmpty())
        return {};

    errno = 0;
    const qint64 written = file.write(bytes);
    if (written == bytes.size())
        return {};
    const int error = errno;
    QString reason;
    if (written < 0)
        reason = file.errorString();
    else
        reason = QStringLiteral("записано %1 байт из %2 (%3)")
                     .arg(written)
                     .arg(bytes.size())
                     .arg(qt_error_string(error != 0 ? error : ENOSPC));

    struct stat after {};
    if (::fstat(file.handle(), &after) != 0 || after.st_size > before.st_size) {
        if (!file.resize(before.st_size)) {
            log.cutTo = before.st_size;
            reason += QStringLiteral("; незаконченную строку не удается удалить (%1)").arg(file.errorString());
        }
    }
    return reason;
}

// Opens the file of the active date for appending: an existing file as it is
// (an empty one gets its header line), else a new one with its header line.
// False with the reason when the file cannot be opened or the header line of
// a new file cannot be written (the new file is removed again).
bool DailyLogs::openLog(Kind kind, QString *why)
{
    Log &log = m_logs[kind];
    QFile &file = log.file;
    if (file.isOpen())
        file.close();
    log.open = false;
    log.cutTo = -1;
    const QString path = pathOf(kind);
    file.setFileName(path);
    // Twice: a file made by someone else between the two opens is appended to.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool created = false;
        if (!file.open(kAppend | QIODevice::ExistingOnly)) {
            const QString appendError = file.errorString();
            if (!file.open(kAppend | QIODevice::NewOnly)) {
                const bool exists = QFileInfo::exists(path);
                *why = exists ? appendError : file.errorString();
                if (exists)
                    continue;
                return false;
            }
            created = true;
        }
        const QString error = append(kind, QByteArray());
        if (error.isEmpty()) {
            log.open = true;
            return true;
        }
        *why = error;
        file.close();
        if (created)
            QFile::remove(path);
        return false;
    }
    return false;
}

// Makes the log's file object today's file at its path, open for appending.
void DailyLogs::ensureOpen(Kind kind)
{
    Log &log = m_logs[kind];
    const QString path = pathOf(kind);
    // The viewer may have taken the value log for reading.
    const QIODevice::OpenMode mode =
        log.file.openMode() & (QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered);
    if (log.open && log.file.isOpen() && mode == kAppend && log.file.fileName() == path
        && stillAtPath(log.file, path)) {
        return;
    }
    QString why;
    if (!openLog(kind, &why)) {
        throw LogWriteError(
            QStringLiteral("Не удается открыть файл %1: %2").arg(nativePath(path), why).toStdString());
    }
}

void DailyLogs::writeRow(Kind kind, const QByteArray &row)
{
    ensureOpen(kind);
    const QString error = append(kind, row);
    if (!error.isEmpty()) {
        throw LogWriteError(
            QStringLiteral("Ошибка записи в файл %1: %2").arg(nativePath(pathOf(kind)), error).toStdString());
    }
}

bool DailyLogs::open_daily_logs()
{
    // One date for the three names, and the date the writers compare with.
    m_date = current_time().date();
    for (const Kind kind : {Value, Setpoint, Alerts}) {
        QString why;
        openLog(kind, &why);
    }
    return all_open();
}

void DailyLogs::close_daily_logs()
{
    for (const Kind kind : {Alerts, Value, Setpoint}) {
        Log &log = m_logs[kind];
        if (log.file.isOpen())
            log.file.close();
        log.open = false;
        log.cutTo = -1;
    }
    m_date = QDate();
    m_snapshotNext = 0;
}

// Rolls over to the files of `today` when the active logs belong to another
// date (later, or earlier after the clock was set back), and makes the new
// setpoint log's snapshot due. Logs that are not active stay as they are.
void DailyLogs::followDate(const QDate &today)
{
    if (!active() || today == m_date)
        return;
    close_daily_logs();
    open_daily_logs();
    m_snapshotNext = 1;
}

// Writes what is left of a roll-over's snapshot: one setpoint row per node of
// the node table, up to the first empty slot.
void DailyLogs::writeSnapshot(const QDateTime &now)
{
    while (m_snapshotNext > 0) {
        const int n = m_snapshotNext;
        if (n > kSlots || arr_nodes[n].address == 0) {
            m_snapshotNext = 0;
            break;
        }
        writeRow(Setpoint, setpointRow(n, now));
        ++m_snapshotNext;
    }
}

// The snapshot before a value or alerts row: its failure belongs to the
// setpoint log, which says it at its own next row or clock tick.
void DailyLogs::trySnapshot(const QDateTime &now)
{
    try {
        writeSnapshot(now);
    } catch (const LogWriteError &) {
    }
}

QByteArray DailyLogs::setpointRow(int slot, const QDateTime &now) const
{
    const Tarr_node &node = arr_nodes[slot];
    QByteArray row = field(QString::number(node.address)) + field(logDate(now)) + field(logTime(now));
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_setup &s = node.setup[c];
        const std::int32_t point = node.channels[c].point;
        row += field(setpointValue(s.nu, point));
        row += field(setpointValue(s.gis_nu, point));
        row += field(setpointValue(s.vu, point));
        row += field(setpointValue(s.gis_vu, point));
    }
    return row + "\r\n";
}

void DailyLogs::write_value_row(int slot, bool deviceWindow)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (!active()) {
        throw LogWriteError(QStringLiteral("Не удается открыть файл %1: журналы закрыты")
                                .arg(nativePath(valueLogPath()))
                                .toStdString());
    }
    trySnapshot(now);
    const Tarr_node &node = arr_nodes[slot];
    QByteArray row = field(QString::number(node.address)) + field(logDate(now)) + field(logTime(now));
    for (int c = 1; c <= kChannels; ++c)
        row += field(channelValue(node.channels[c]));
    writeRow(Value, row + (deviceWindow ? " \r\n" : "\r\n"));
}

void DailyLogs::write_setpoint_row(int slot)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (!active())
        return;
    writeSnapshot(now);
    writeRow(Setpoint, setpointRow(slot, now));
}

void DailyLogs::writeAlert(int address, const QString &message)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (!active())
        return;
    trySnapshot(now);
    const QByteArray row = field(QString::number(address)) + field(logDate(now)) + field(logTime(now))
        + to_cp1251(message) + "\r\n";
    writeRow(Alerts, row);
}

void DailyLogs::write_alert_row(int slot, const QString &message)
{
    writeAlert(arr_nodes[slot].address, message);
}

void DailyLogs::write_line_alert(const QString &message)
{
    writeAlert(0, message);
}

void DailyLogs::day_change(int /*hour*/)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (active())
        writeSnapshot(now);
}

} // namespace qlx
