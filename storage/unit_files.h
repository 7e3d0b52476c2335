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
//
// The station runs unattended for months, so the logs look after themselves:
// - A row (and a header line) reaches its file whole or not at all: it is
//   built in memory and handed to the unbuffered file in one write; a write
//   that fails or falls short (disk full) is cut back to the file's size
//   before the row, and LogWriteError names the file and the reason. Nothing
//   stays broken: the next row is tried as if nothing had happened.
// - Before each row the writer checks that its open file is still the file at
//   today's path (device and inode). A file deleted, moved or replaced while
//   open is opened again at the path: appended to when a file is there, else
//   created with its header line. A file found empty (truncated in place by an
//   archiving script) gets its header line in the same write as the row.
// - Between open_daily_logs and close_daily_logs the logs are active even when
//   a file could not be opened (logs folder missing, no permission): each row
//   tries to open its file again and raises LogWriteError while it cannot.
//   So a logs folder that comes back is written again from the next row on.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QString>

#include <array>
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
    // From here on the logs are active: they follow the date, and a log that
    // is not open is tried again at its next row, until close_daily_logs.
    bool open_daily_logs();
    // Closes the open logs in the order alerts, value, setpoint. The logs are
    // no longer active.
    void close_daily_logs();

    // Each writer first rolls the logs over when the date has changed since
    // they were opened, then makes sure its file is today's file at its path
    // (reopening or recreating it), then appends its row in one write.
    // LogWriteError: the file cannot be opened or the row was not written; the
    // file then holds exactly what it held before the row.
    //
    // One value row for the node slot; raises also when the logs are not active.
    // A device window's row ends with one blank before the line end.
    void write_value_row(int slot, bool deviceWindow = false);
    // One setpoint row for the slot while the logs are active (nothing otherwise).
    void write_setpoint_row(int slot);
    // One alerts row for the slot while the logs are active (nothing otherwise).
    void write_alert_row(int slot, const QString &message);
    // One alerts row of the line itself (a port lost or regained): it belongs to
    // no node and stands under address 0. As write_alert_row otherwise.
    void write_line_alert(const QString &message);

    // The hour of the current-time clock changed (hour 0 at midnight, any hour
    // after a sleep over midnight): the logs roll over when the date differs
    // from the date they were opened on. A roll-over already made by a write
    // is not repeated.
    //
    // A roll-over starts the new setpoint log with one row per node of the node
    // table. When that snapshot cannot be written (the setpoint log cannot be
    // opened or written), the rest of it is written before the next row of any
    // log; only write_setpoint_row and day_change raise its LogWriteError, the
    // value and alerts writers go on with their own rows.
    void day_change(int hour);

    // Whether the file object currently stands for today's file, open for
    // appending (a row may still find it deleted or moved and reopen it).
    bool log_open() const { return m_logs[Value].open; }
    bool ustav_open() const { return m_logs[Setpoint].open; }
    bool alerts_open() const { return m_logs[Alerts].open; }
    bool all_open() const { return log_open() && ustav_open() && alerts_open(); }

    // Today's file names, from current_time().
    QString valueLogPath() const;
    QString setpointLogPath() const;
    QString alertsLogPath() const;

    // The value log's file object, shared with the text-log viewer, which may
    // reopen it for reading; the next value row reopens it for appending.
    QFile &value_log_file() { return m_logs[Value].file; }

private:
    enum Kind { Value, Setpoint, Alerts };
    struct Log {
        QFile file;
        bool open = false;  // `file` is today's file, open for appending
        qint64 cutTo = -1;  // a failed row could not be cut back: the size it must be cut to
    };

    static QLatin1String prefixOf(Kind kind);
    static QByteArray headerOf(Kind kind);
    QString pathFor(const QString &prefix, const QDate &date) const;
    QString pathOf(Kind kind) const; // the file of the open logs' date
    void followDate(const QDate &today);
    bool openLog(Kind kind, QString *why);
    void ensureOpen(Kind kind);
    QString append(Kind kind, const QByteArray &row);
    void writeRow(Kind kind, const QByteArray &row);
    QByteArray setpointRow(int slot, const QDateTime &now) const;
    void writeAlert(int address, const QString &message);
    void writeSnapshot(const QDateTime &now);
    void trySnapshot(const QDateTime &now);
    bool active() const { return !m_date.isNull(); }

    QString m_dir;
    std::array<Log, 3> m_logs;
    QDate m_date;          // the date of the active logs; null while the logs are closed
    int m_snapshotNext = 0; // the next slot of a roll-over's setpoint snapshot; 0: none due
};

} // namespace qlx
