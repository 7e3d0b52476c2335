// The history table's rows for one period, read from the history database
// without the window.
//
// What the table promises:
//   - the period is bound as parameters in the stored form ("yyyy-MM-dd hh:mm:ss"),
//     never as regional text, and each reader keeps its own period: the shared
//     `interval` row plays no part in what a reader returns, so two tables of
//     different periods never show each other's rows;
//   - rows are held in a compact typed store (a few machine words a row, no
//     object per cell), in the order of time, node and channel;
//   - a reader has its own connection and reads inside one read transaction
//     (a snapshot), a page at a time, so the caller can let the event loop turn
//     between pages while polling keeps writing through the station's connection.
//
// "Вид 1" holds one row per stored history row; "Вид 2" one row per poll of a
// controller (time and node) with the measured value of each of its 12 channels.
#pragma once

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qlx {

class TDM_local;

enum class HistoryView {
    Rows,  // "Вид 1": rec_time, Sensor, chanel, NU, Izm, VU
    Cross, // "Вид 2": rec_time, Sensor, 1 .. 12
};

enum class CellKind { DateTime, Integer, Number };

struct TableColumn {
    QString field;   // the row source's column name
    QString caption; // the grid's caption
    CellKind kind = CellKind::Number;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool groupable = true;
};

// The columns of a view, in their logical order.
const QList<TableColumn> &history_columns(HistoryView view);

// A time as seconds counted from 1970-01-01 00:00:00 of the same wall clock,
// without any zone.
qint64 history_seconds(const QDateTime &time);
QDateTime history_datetime(qint64 seconds);
// "dd.mm.yyyy hh:mm:ss".
QString history_time_display(qint64 seconds);
// The time as a spreadsheet date number: days since 30.12.1899, time of day as fraction.
double history_serial_date(qint64 seconds);
// A number the Russian way: decimal comma, no group separator, as few digits as
// give the value back exactly, never an exponent.
QString history_number_text(double value);

// The rows of one view.
class HistoryTable {
public:
    explicit HistoryTable(HistoryView view);

    HistoryView view() const { return m_view; }
    const QList<TableColumn> &columns() const { return history_columns(m_view); }
    int columnCount() const { return int(columns().size()); }
    qsizetype rowCount() const { return qsizetype(m_time.size()); }

    CellKind kind(int column) const { return columns().at(column).kind; }
    // Column 0.
    qint64 time(qsizetype row) const { return m_time[std::size_t(row)]; }
    // Sensor, chanel (integer columns).
    int integer(qsizetype row, int column) const;
    // A number column; NaN when the cell is empty (a channel without a row in "Вид 2").
    double number(qsizetype row, int column) const;
    bool isNull(qsizetype row, int column) const;
    // Every cell as one comparable value (times as seconds); an empty cell sorts first.
    double sortKey(qsizetype row, int column) const;
    // The cell's text as the grid shows it.
    QString text(qsizetype row, int column) const;

    void reserve(qsizetype rows);
    // "Вид 1".
    void appendRow(qint64 time, int sensor, int chanel, double nu, double izm, double vu);
    // "Вид 2": izm of channels 1..12, NaN for none.
    void appendCross(qint64 time, int sensor, const std::array<double, 12> &izm);
    void squeeze();
    // Bytes the store holds (its capacity).
    std::size_t memoryBytes() const;

private:
    int intsPerRow() const { return m_view == HistoryView::Rows ? 2 : 1; }
    int valuesPerRow() const { return m_view == HistoryView::Rows ? 3 : 12; }

    HistoryView m_view;
    std::vector<qint64> m_time;
    std::vector<qint32> m_ints;   // Sensor (and chanel), row after row
    std::vector<double> m_values; // NU, Izm, VU or channels 1..12, row after row
};

struct HistoryPeriod {
    QDateTime from;
    QDateTime to;
};

// Reads the rows of one period through a connection of its own.
class HistoryReader {
public:
    explicit HistoryReader(TDM_local &dm);
    ~HistoryReader();
    HistoryReader(const HistoryReader &) = delete;
    HistoryReader &operator=(const HistoryReader &) = delete;

    // The number of history rows in the period, counting no further than `cap`
    // (so a huge period costs no more than `cap` index entries). Empty on failure.
    std::optional<qint64> count(const HistoryPeriod &period, qint64 cap);

    // Opens the snapshot and the ordered query of the period for `table`'s view.
    bool start(const HistoryPeriod &period, HistoryTable &table);
    // Reads up to `rows` database rows into the table given to start(). False on
    // failure; done() once every row is in.
    bool fetch(int rows);
    bool done() const { return m_done; }
    // Ends the snapshot (also on destruction).
    void finish();

    QString lastError() const { return m_error; }

private:
    bool openConnection();
    bool fail(const QString &text);

    TDM_local &m_dm;
    QString m_name;
    QSqlDatabase m_db;
    QSqlQuery m_query;
    HistoryTable *m_table = nullptr;
    bool m_postgres = false;
    bool m_inTransaction = false;
    bool m_done = true;
    QString m_error;
    // The rows of one time read so far: they go into the table sorted by node and
    // channel once the time changes (the query orders by time alone, which an
    // index serves without sorting the period first).
    struct RawRow {
        int sensor;
        int chanel;
        double nu, izm, vu;
    };
    void flushBlock();
    qint64 m_blockTime = 0;
    std::vector<RawRow> m_block;
};

} // namespace qlx
