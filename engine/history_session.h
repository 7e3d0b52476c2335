// One history table's data without the window: its own period, the count that
// decides whether there is anything to show, the rows of "Вид 1" and "Вид 2"
// loaded a page at a time, and the export of both views into files.
//
// What a session promises:
//   - its rows are those of its own period, whatever another window or program
//     stores in the shared `interval` row (which it still writes, for outside readers);
//   - a load reads a page of rows, then lets the event loop turn, so polling and
//     the windows go on while a large period comes in;
//   - a period above the row limit is refused before anything is loaded;
//   - the window that shows it may close at any time: release() ends the load at
//     the next page and the session deletes itself once its loads have returned.
#pragma once

#include "engine/history_grid.h"
#include "storage/history_export.h"
#include "storage/history_table.h"

#include <QObject>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>

#include <qcoro/qcorotask.h>

namespace qlx {

class TDM_local;

// The most rows of "Вид 1" a table loads: a day of 255 nodes at the fastest line rate fits.
inline constexpr qint64 kHistoryRowLimit = 5'000'000;
// Rows read between two turns of the event loop.
inline constexpr int kHistoryPageRows = 20'000;
// Lines written between two turns of the event loop.
inline constexpr int kExportPageRows = 2'000;

// The text the operator gets when the period holds more rows than the limit.
QString history_limit_text(qint64 limit);

class HistorySession : public QObject {
    Q_OBJECT
public:
    HistorySession(TDM_local &dm, const HistoryPeriod &period, QObject *parent = nullptr);
    ~HistorySession() override;

    const HistoryPeriod &period() const { return m_period; }

    enum class Opening { Opened, Empty, TooMany, Failed };
    struct OpenResult {
        Opening status = Opening::Failed;
        qint64 count = 0;
        QString error; // Failed: the database's text
    };
    // Stores the period in `interval` (a failure there is ignored), then counts
    // the period's rows, no further than the limit.
    QCoro::Task<OpenResult> open();

    // Reads the view's rows (again, for "Обновить"). False with error() on
    // failure, or when the session was released meanwhile; the rows shown before stay.
    QCoro::Task<bool> load(HistoryView view);
    // The view's rows, loading them first if they never were; a load under way is joined.
    QCoro::Task<bool> ensureLoaded(HistoryView view);

    // Empty rows until a load has finished.
    std::shared_ptr<const HistoryTable> table(HistoryView view) const { return m_tables[index(view)]; }
    bool isLoaded(HistoryView view) const { return m_loaded[index(view)]; }
    bool isLoading(HistoryView view) const { return m_loading[index(view)]; }
    QString error() const { return m_error; }

    void setRowLimit(qint64 rows) { m_rowLimit = rows; }
    qint64 rowLimit() const { return m_rowLimit; }
    void setPageRows(int rows) { m_pageRows = rows; }

    // Writes both views with all their rows, arranged by their layouts, into the
    // two files of export_targets(format, chosen); "Вид 1" is loaded first if it
    // never was. Empty on success, else what failed (nothing is left of a failed file).
    QCoro::Task<QString> exportTo(ExportFormat format, QString chosen, GridLayout rows, GridLayout cross);

    // The window is gone.
    void release();

signals:
    void loadingChanged(qlx::HistoryView view, bool loading);
    // A load of the view has finished; when it succeeded, table() holds the new rows.
    void loadFinished(qlx::HistoryView view, bool ok);

private:
    static std::size_t index(HistoryView view) { return view == HistoryView::Rows ? 0 : 1; }
    void leave();

    TDM_local &m_dm;
    HistoryPeriod m_period;
    qint64 m_count = 0;
    qint64 m_rowLimit = kHistoryRowLimit;
    int m_pageRows = kHistoryPageRows;
    std::array<std::shared_ptr<const HistoryTable>, 2> m_tables;
    std::array<bool, 2> m_loaded{false, false};
    std::array<bool, 2> m_loading{false, false};
    QString m_error;
    int m_active = 0; // coroutines of this session under way
    bool m_released = false;
};

// `F_extract_file_name`: the name without its last four characters when the
// fourth from the end is a full stop (a three-letter extension), else unchanged.
QString F_extract_file_name(const QString &name);
// ".htm", ".xls", ".txt".
QString export_extension(ExportFormat format);
// The two files an export writes for the chosen name: base + extension ("Вид 1")
// and base + "2" + extension ("Вид 2").
QStringList export_targets(ExportFormat format, const QString &chosen);
// Those of `targets` that exist.
QStringList existing_targets(const QStringList &targets);

// The format an export file's name asks for: .htm/.html, .xls, .txt; none for another.
std::optional<ExportFormat> export_format_of(const QString &file);

// The export without a window (`--export`): counts the period, refuses it above
// the row limit, refuses to replace an existing file, loads both views and writes
// them with the given layouts into the two files of export_targets(format, file).
// Empty on success, else what failed.
QCoro::Task<QString> export_period(TDM_local &dm, HistoryPeriod period, QString file, GridLayout rows,
                                   GridLayout cross);

// One file of an export.
struct ExportPart {
    std::shared_ptr<const HistoryTable> table;
    GridLayout layout;
    QString path;
};
// Writes the parts, turning the event loop every `pageRows` lines; every file is
// committed only once all are complete. Empty on success, else what failed.
QCoro::Task<QString> export_tables(ExportFormat format, QList<ExportPart> parts, int pageRows = kExportPageRows);

} // namespace qlx
