#include "storage/unit_files.h"

#include "base/node_table.h"
#include "base/unit_procedure.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>

#include <array>
#include <cstdlib>

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

QString DailyLogs::pathFor(const QString &prefix, const QDate &date) const
{
    return QDir(m_dir).filePath(prefix + QLocale::c().toString(date, QStringLiteral("yyMMdd")) + QStringLiteral(".txt"));
}

QString DailyLogs::valueLogPath() const
{
    return pathFor(QStringLiteral("log_"), current_time().date());
}

QString DailyLogs::setpointLogPath() const
{
    return pathFor(QStringLiteral("ustav_"), current_time().date());
}

QString DailyLogs::alertsLogPath() const
{
    return pathFor(QStringLiteral("alerts_"), current_time().date());
}

// Appends to the existing file, else creates it and writes its header.
// True when the file is open for writing; a created file whose header could
// not be written counts as not open, so its writer stays quiet.
bool DailyLogs::openOne(QFile &file, const QString &path, const QByteArray &header)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
        return true;
    // Reached only when appending failed, so no existing rows are lost here.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(header) != header.size() || !file.flush()) {
        file.close();
        return false;
    }
    return true;
}

bool DailyLogs::open_daily_logs()
{
    // One date for the three names, and the date the writers compare with.
    m_date = current_time().date();
    m_logOpen = openOne(m_log, pathFor(QStringLiteral("log_"), m_date), valueHeader());
    m_ustavOpen = openOne(m_ustav, pathFor(QStringLiteral("ustav_"), m_date), setpointHeader());
    m_alertsOpen = openOne(m_alerts, pathFor(QStringLiteral("alerts_"), m_date), alertsHeader());
    return m_logOpen && m_ustavOpen && m_alertsOpen;
}

void DailyLogs::close_daily_logs()
{
    for (QFile *f : {&m_alerts, &m_log, &m_ustav}) {
        if (f->isOpen())
            f->close();
    }
    m_logOpen = false;
    m_ustavOpen = false;
    m_alertsOpen = false;
    m_date = QDate();
}

// Rolls over to the files of `today` when the open logs belong to another date
// (later, or earlier after the clock was set back). Logs that were never
// opened, or closed at the end, stay as they are. A log that cannot be opened
// on the new date is tried again at the next date change only.
void DailyLogs::followDate(const QDate &today)
{
    if (m_rolling || m_date.isNull() || today == m_date)
        return;
    close_daily_logs();
    open_daily_logs();
    // The new setpoint log begins with the setpoints the node table holds.
    m_rolling = true;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_rolling};
    for (int n = 1; n <= kSlots && arr_nodes[n].address != 0; ++n)
        write_setpoint_row(n);
}

// Hands the field to the operating system at once, so a reader always finds
// complete rows up to the last one written.
void DailyLogs::writeField(QFile &file, const QByteArray &bytes)
{
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        throw LogWriteError(QStringLiteral("Ошибка записи в файл %1: %2")
                                .arg(QDir::toNativeSeparators(file.fileName()), file.errorString())
                                .toStdString());
    }
}

void DailyLogs::write_value_row(int slot)
{
    const QDateTime now = current_time();
    followDate(now.date());
    // Reopening also takes the file back from the viewer's reading.
    if (m_log.isOpen())
        m_log.close();
    if (m_log.fileName().isEmpty()
        || !m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly)) {
        throw LogWriteError(QStringLiteral("Не удается открыть файл %1")
                                .arg(QDir::toNativeSeparators(m_log.fileName()))
                                .toStdString());
    }
    const Tarr_node &node = arr_nodes[slot];
    writeField(m_log, field(QString::number(node.address)));
    writeField(m_log, field(logDate(now)));
    writeField(m_log, field(logTime(now)));
    for (int c = 1; c <= kChannels; ++c)
        writeField(m_log, field(channelValue(node.channels[c])));
    writeField(m_log, "\r\n");
}

void DailyLogs::write_setpoint_row(int slot)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (!m_ustavOpen)
        return;
    const Tarr_node &node = arr_nodes[slot];
    writeField(m_ustav, field(QString::number(node.address)));
    writeField(m_ustav, field(logDate(now)));
    writeField(m_ustav, field(logTime(now)));
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_setup &s = node.setup[c];
        const std::int32_t point = node.channels[c].point;
        writeField(m_ustav, field(setpointValue(s.nu, point)));
        writeField(m_ustav, field(setpointValue(s.gis_nu, point)));
        writeField(m_ustav, field(setpointValue(s.vu, point)));
        writeField(m_ustav, field(setpointValue(s.gis_vu, point)));
    }
    writeField(m_ustav, "\r\n");
}

void DailyLogs::write_alert_row(int slot, const QString &message)
{
    const QDateTime now = current_time();
    followDate(now.date());
    if (!m_alertsOpen)
        return;
    writeField(m_alerts, field(QString::number(arr_nodes[slot].address)));
    writeField(m_alerts, field(logDate(now)));
    writeField(m_alerts, field(logTime(now)));
    writeField(m_alerts, to_cp1251(message));
    writeField(m_alerts, "\r\n");
}

void DailyLogs::day_change(int /*hour*/)
{
    followDate(current_time().date());
}

} // namespace qlx
