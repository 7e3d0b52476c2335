// What the text-log viewer shows of a node, without the window: the day's value
// log read through its own read-only handle (code page 1251), the node's records
// split into date, time and twelve channel values, and the search for a time of
// day. It needs no database.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace qlx {

// One log line split at its tabs.
struct Tarr_csv_record {
    QStringList fields; // from field 1; at most 30
    int count() const { return int(fields.size()); }
};

// Splits one log line at its tabs after trimming blanks and control characters at
// both ends. An empty field keeps its place, so the values after it stay in their
// own columns. At most 30 fields are kept.
Tarr_csv_record Parse_csv_record(const QString &line);

inline constexpr int kViewerColumns = 14;     // date, time, channels 1..12
inline constexpr int kViewerRecordLimit = 1000;

// The grid rows of one load: the header (the log's fields 2..15) and the node's
// records in file order, each 14 cells (short lines padded with empty cells).
struct ViewerLoad {
    QStringList header;
    QList<QStringList> records;
};

// Reads the value log at `path` for the node with this bus address, keeping the
// newest `limit` of its records. Empty when the file cannot be read.
std::optional<ViewerLoad> Load_file(const QString &path, int address, int limit = kViewerRecordLimit);

// `Find_record`: the index into `rows` (the records in the order shown) of the newest
// record whose time (cell 1) is not later than `searched` ("hh:nn.ss", blanks where
// nothing was typed), compared as text. Rows with an empty time are skipped. None
// when no record qualifies.
std::optional<int> Find_record(const QList<QStringList> &rows, const QString &searched, bool newestFirst);

} // namespace qlx
