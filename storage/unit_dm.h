// The data module: the one shared connection to the history database and the
// statements the station runs on it.
//
// The database is described by the data-link file bd/connect_mdb.udl: an
// OLE-DB-style connection string on its last non-comment line, naming the
// provider (SQLite or PostgreSQL) and where the database lies. Times are stored
// so that comparisons order them chronologically: TEXT "yyyy-MM-dd hh:mm:ss" in
// SQLite, timestamp in PostgreSQL.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <array>
#include <optional>

namespace qlx {

inline constexpr const char *kLinkFileName = "connect_mdb.udl";

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

class TDM_local {
public:
    TDM_local();
    ~TDM_local();
    TDM_local(const TDM_local &) = delete;
    TDM_local &operator=(const TDM_local &) = delete;

    // Reads the link in bdDir, opens the connection, applies the schema when
    // the tables are missing and prepares the statements. Does nothing when
    // already open. False with last_error() on any failure.
    bool open_history_database(const QString &bdDir);
    bool isOpen() const;
    QString last_error() const { return m_lastError; }
    HistoryEngine engine() const { return m_link.engine; }
    const HistoryStatements &statements() const { return HistoryStatements::forEngine(m_link.engine); }
    QSqlDatabase &ADOCon() { return m_db; }

    // Allows one reopen of the connection for the next node's inserts.
    void begin_node() { m_reopenAllowed = true; }

    // Runs ADOCmd for one channel. When it fails, the connection is reopened
    // once per node (see begin_node) and the insert retried once. False with
    // the error text in *error when it still fails.
    bool insert_poll(int sensor, int chanel, double nu, double vu, double izm,
                     const QDateTime &rec_time, QString *error = nullptr);

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
    bool openConnection();
    bool applySchema();
    bool prepareStatements();
    void closeConnection();
    bool fail(const QString &text);
    bool execInsert(int sensor, int chanel, double nu, double vu, double izm,
                    const QString &time, QString *error);
    std::optional<QList<HistoryRow>> historyRows(QSqlQuery &query);

    QString m_connectionName;
    QSqlDatabase m_db;
    HistoryLink m_link;
    QString m_bdDir;
    QString m_lastError;
    bool m_reopenAllowed = true;
    bool m_haveLink = false;
    QSqlQuery m_insert, m_maxMin, m_chart, m_sensors, m_interval, m_alert, m_kross, m_table;
};

} // namespace qlx
