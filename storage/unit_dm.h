// The data module: the one shared connection to the history database and the
// statements the station runs on it.
//
// The database is described by the data-link file bd/connect_mdb.udl: an
// OLE-DB-style connection string on its last non-comment line, naming the
// provider (SQLite or PostgreSQL) and where the database lies. Times are stored
// so that comparisons order them chronologically: TEXT "yyyy-MM-dd hh:mm:ss" in
// SQLite, timestamp in PostgreSQL.
//
// What recording may cost the one thread that also runs the window:
//   - a node's rows are one transaction: all of them are written or none;
//   - a lock held by another program (SQLite write lock, a PostgreSQL table
//     lock) is waited for at most kHistoryLockWaitMs, then the node's rows fail;
//   - a lost connection is reopened at most once per node, a PostgreSQL connect
//     waits at most kPgConnectTimeoutS, and after a failed reopen no further
//     attempt is made for the reconnect back-off (10 s): the rows of the nodes
//     in between fail at once, without touching the connection.
// A database that lacks one of the tables or views gets the shipped schema.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <QElapsedTimer>

#include <array>
#include <chrono>
#include <optional>

namespace qlx {

inline constexpr const char *kLinkFileName = "connect_mdb.udl";

// Longest wait for a lock another program holds on the history (SQLite busy
// timeout, PostgreSQL lock_timeout). A held lock costs at most this per node.
inline constexpr int kHistoryLockWaitMs = 150;
// PostgreSQL connect timeout in seconds (libpq before version 18 makes 1 into 2).
inline constexpr int kPgConnectTimeoutS = 1;
// PostgreSQL over TCP: data left unacknowledged this long drops the connection,
// so a server host that vanishes mid-statement does not hold the thread for minutes.
inline constexpr int kPgTcpUserTimeoutMs = 2000;
// After a failed reopen of a lost connection, no new attempt for this long.
inline constexpr std::chrono::milliseconds kReconnectBackoff{10000};

enum class HistoryEngine { SQLite, PostgreSQL };

// What the data-link file describes.
struct HistoryLink {
    HistoryEngine engine = HistoryEngine::SQLite;
    QString dataSource;     // SQLite: database file (relative to bd/); PostgreSQL: host or socket folder
    int port = 0;           // PostgreSQL; 0 = the driver's default
    QString catalog;        // PostgreSQL database
    QString user;
    QString password;
};

// Reads the key=value pairs of a connection string; keys come back lower-case,
// values without their quotes.
QMap<QString, QString> parse_connection_string(const QString &text);

// Reads bd/connect_mdb.udl (UTF-8 or UTF-16LE with BOM). Empty on failure, with
// the reason in *error.
std::optional<HistoryLink> read_history_link(const QString &bdDir, QString *error = nullptr);

// Writes a link to an SQLite database file in bdDir (for `--init`).
bool write_sqlite_link(const QString &bdDir, const QString &file = QStringLiteral("history.db"));

// One row of Sensors_history or of the view sensors_history1.
struct HistoryRow {
    int sensor = 0;
    int chanel = 0;
    double nu = 0;
    double vu = 0;
    double izm = 0;
    QDateTime rec_time;
};

// Min/max of one channel since a moment; null values when there are no rows.
struct MaxMinRow {
    QVariant min_nu, min_vu, min_izm, max_nu, max_vu, max_izm;
};

// One row of query_sensors_history: one poll, izm of each channel (null when
// the channel has no row).
struct CrossRow {
    QDateTime rec_time;
    int sensor = 0;
    std::array<QVariant, 12> izm;
};

// Statement texts of one engine. The texts are those the station runs;
// placeholders are bound by position.
struct HistoryStatements {
    QString ADOCmd;
    QString ADOQuery_max_min;
    QString ADOQuery_history_chart;
    QString ADOQuery_sensors;
    QString ADOComd1;
    QString ADOQuery_alert;
    QString ADOQuery_kross_table;
    QString ADOQuery_history_table;

    static const HistoryStatements &forEngine(HistoryEngine engine);
};

// Formats a time as the engines take it: "yyyy-MM-dd hh:mm:ss".
QString history_time_text(const QDateTime &time);

// One channel's row of a node's poll; sensor and rec_time are the node's.
struct PollRow {
    int chanel = 0;
    double nu = 0;
    double vu = 0;
    double izm = 0;
};

class TDM_local {
public:
    TDM_local();
    ~TDM_local();
    TDM_local(const TDM_local &) = delete;
    TDM_local &operator=(const TDM_local &) = delete;

    // Reads the link in bdDir, opens the connection, applies the schema when
    // a table or a view is missing and prepares the statements. Does nothing
    // when already open. False with last_error() on any failure.
    bool open_history_database(const QString &bdDir);
    // The history database was opened at start-up; it stays the station's
    // database while a lost connection is being regained.
    bool isOpen() const { return m_opened; }
    // The connection is up as far as the program knows.
    bool isConnected() const;
    QString last_error() const { return m_lastError; }
    HistoryEngine engine() const { return m_link.engine; }
    const HistoryStatements &statements() const { return HistoryStatements::forEngine(m_link.engine); }
    QSqlDatabase &ADOCon() { return m_db; }

    // Writes the rows of one poll of the node `sensor`, all stamped rec_time,
    // through ADOCmd in one transaction: all rows or none. When the connection
    // looks lost it is reopened once (unless within the reconnect back-off)
    // and the rows tried once more. False with the reason in *error when no
    // row was written.
    bool write_node(int sensor, const QDateTime &rec_time, const QList<PollRow> &rows,
                    QString *error = nullptr);

    // The back-off after a failed reopen (kReconnectBackoff unless changed).
    void setReconnectBackoff(std::chrono::milliseconds backoff) { m_backoff = backoff; }

    // ADOQuery_max_min; empty on failure.
    std::optional<MaxMinRow> max_min(int sensor, int chanel, const QDateTime &time1);
    // ADOQuery_history of the chart; empty on failure.
    std::optional<QList<HistoryRow>> chart_rows(int sensor, int chanel, const QDateTime &time1);
    // ADOQuery_sensors; empty on failure.
    std::optional<QList<int>> sensors();
    // ADOComd1.
    bool set_interval(const QDateTime &dat1, const QDateTime &dat2);
    // ADOQuery_alert; -1 on failure.
    qint64 interval_row_count();
    // ADOQuery_kross_table; empty on failure.
    std::optional<QList<CrossRow>> cross_table();
    // ADOQuery_history of the table; empty on failure.
    std::optional<QList<HistoryRow>> interval_rows();

private:
    // What became of a node's transaction.
    enum class Write {
        Written,
        Refused, // the engine answered (a held lock, a failing statement): the connection is fine
        Lost,    // no answer, or the database is gone: worth reopening the connection
    };

    bool openConnection();
    bool applySchema();
    bool prepareStatements();
    void closeConnection();
    bool fail(const QString &text);
    Write writeRows(int sensor, const QString &time, const QList<PollRow> &rows, QString *error);
    Write classify(const QSqlError &error) const;
    bool reconnectDue() const;
    std::optional<QList<HistoryRow>> historyRows(QSqlQuery &query);

    QString m_connectionName;
    QSqlDatabase m_db;
    HistoryLink m_link;
    QString m_bdDir;
    QString m_lastError;
    bool m_opened = false;
    bool m_haveLink = false;
    std::chrono::milliseconds m_backoff = kReconnectBackoff;
    QElapsedTimer m_reconnectFailed; // running since the last failed reopen; invalid otherwise
    QSqlQuery m_insert, m_maxMin, m_chart, m_sensors, m_interval, m_alert, m_kross, m_table;
};

} // namespace qlx
