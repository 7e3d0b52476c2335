// Unit_files: the three daily text logs (values, setpoints, alerts) kept in
// the station's "logs" folder, one set of files per calendar day.
//
// The logs roll over to the files of a new date before the first row written
// on that date, and at the clock's hour change, whichever comes first: a
// machine suspended over midnight writes no row of the new day into the old
// day's files. Every roll-over starts the new setpoint log with one row per
// node of the node table.
//
// Files are code page 1251, tab-separated, lines ending in CR LF. Numbers,
// dates and times are written the Russian way whatever the machine's locale.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QString>

#include <functional>
#include <stdexcept>

namespace qlx {

// Code page 1251 conversion. Characters outside the code page become '?';
// the one unassigned byte (0x98) reads back as U+FFFD.
QByteArray to_cp1251(const QString &text);
QString from_cp1251(const QByteArray &bytes);

// A log file could not be reopened or written; the message names the file.
class LogWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Alert messages written to the alerts log.
inline const QString kAlertNoAnswer = QStringLiteral("Прибор не отвечает на запросы");
inline const QString kAlertDbWriteFailed = QStringLiteral("Ошибка записи данных в БД");

// Log text of a number: fixed, four decimals, decimal comma, no grouping.
// `units` is the value in 1/divisor units, divisor one of 1, 10, 100, 1000.
QString log_number(qint64 units, int divisor);

class DailyLogs {
public:
    // `logsDir` is the station's "logs" folder; it is never created here.
    explicit DailyLogs(QString logsDir);
    ~DailyLogs();
    DailyLogs(const DailyLogs &) = delete;
    DailyLogs &operator=(const DailyLogs &) = delete;

    // Opens today's value, setpoint and alerts logs in that order, appending to
    // an existing file or creating one with its header line. True when all
    // three are open; a failing log does not stop the attempt on the next.
    // From here on the logs follow the date until close_daily_logs.
    bool open_daily_logs();
    // Closes the open logs in the order alerts, value, setpoint.
    void close_daily_logs();

    // Each writer first rolls the logs over when the date has changed since
    // they were opened.
    // One value row for the node slot. Reopens the value log itself, whatever
    // its flag; raises LogWriteError when that or any write fails.
    void write_value_row(int slot);
    // One setpoint row for the slot when the setpoint log is open.
    void write_setpoint_row(int slot);
    // One alerts row for the slot when the alerts log is open.
    void write_alert_row(int slot, const QString &message);

    // The hour of the current-time clock changed (hour 0 at midnight, any hour
    // after a sleep over midnight): the logs roll over when the date differs
    // from the date they were opened on. A roll-over already made by a write
    // is not repeated.
    void day_change(int hour);

    bool log_open() const { return m_logOpen; }
    bool ustav_open() const { return m_ustavOpen; }
    bool alerts_open() const { return m_alertsOpen; }

    // Today's file names, from current_time().
    QString valueLogPath() const;
    QString setpointLogPath() const;
    QString alertsLogPath() const;

    // The value log's file object, shared with the text-log viewer, which may
    // reopen it for reading; the next value row reopens it for appending.
    QFile &value_log_file() { return m_log; }

private:
    QString pathFor(const QString &prefix, const QDate &date) const;
    void followDate(const QDate &today);
    bool openOne(QFile &file, const QString &path, const QByteArray &header);
    void writeField(QFile &file, const QByteArray &bytes);

    QString m_dir;
    QFile m_log;
    QFile m_ustav;
    QFile m_alerts;
    bool m_logOpen = false;
    bool m_ustavOpen = false;
    bool m_alertsOpen = false;
    QDate m_date;            // the date of the open logs; null while the logs are closed
    bool m_rolling = false;  // a roll-over is writing its setpoint rows
};

} // namespace qlx
