// The history table's file writers: an HTML page, a spreadsheet workbook and
// plain text, each fed a header, group rows and data rows in the grid's order.
//
// Every writer writes into a temporary file beside the target (QSaveFile): the
// target appears only on commit(), complete, and a writer dropped or cancelled
// before that leaves nothing behind. An existing target is replaced only on commit.
//
//   - HTML: UTF-8, declared in the page; every text escaped; one table with the
//     header row, group rows spanning the table, and data rows.
//   - Spreadsheet: a BIFF8 workbook ("Excel 97-2003", .xls) in an OLE2 compound
//     file. Numbers are number cells, times date cells shown as
//     "dd.mm.yyyy hh:mm:ss", captions Unicode text. A sheet holds at most 65,536
//     rows: further rows go on to further sheets, each with the header again.
//     Group rows are left out, so every column keeps one type.
//   - Text: code page 1251, CR LF: the captions separated by three blanks, an
//     empty line, then each data row's display texts separated by three blanks.
#pragma once

#include "storage/history_table.h"

#include <QList>
#include <QSaveFile>
#include <QString>

#include <memory>

namespace qlx {

enum class ExportFormat { Html, Excel, Text };

// Rows a sheet of the workbook holds, the header included.
inline constexpr qsizetype kSheetRows = 65536;

class TableFileWriter {
public:
    virtual ~TableFileWriter();

    static std::unique_ptr<TableFileWriter> create(ExportFormat format, const QString &path);

    // Opens the temporary file and writes the header of `columns` (logical
    // columns of `table`, in their on-screen order). `dataRows` is the number of
    // data rows that will follow.
    bool begin(const HistoryTable &table, const QList<int> &columns, qsizetype dataRows);
    // A group row: the caption of the group at nesting `level` (0 outermost).
    bool group(const QString &caption, int level);
    // One data row of the table.
    bool row(qsizetype row);
    // Everything is written; the target is not there yet.
    bool end();
    // Puts the finished file in place of the target.
    bool commit();
    // Drops the temporary file.
    void cancel();

    QString path() const { return m_file.fileName(); }
    QString errorString() const { return m_error; }

protected:
    explicit TableFileWriter(const QString &path);

    virtual void writeHeader() = 0;
    virtual void writeGroup(const QString &caption, int level) = 0;
    virtual void writeRow(qsizetype row) = 0;
    virtual void writeEnd() = 0;

    // Buffered output; a failed write is remembered and reported by the next step.
    void put(const QByteArray &bytes);
    void put(const char *bytes, qsizetype size);
    void flushBuffer();
    bool seekAndWrite(qint64 position, const QByteArray &bytes);
    qint64 position() const { return m_written + m_buffer.size(); }

    const HistoryTable *m_table = nullptr;
    QList<int> m_columns;
    qsizetype m_dataRows = 0;

private:
    bool check();

    QSaveFile m_file;
    QByteArray m_buffer;
    qint64 m_written = 0;
    QString m_error;
    bool m_open = false;
};

} // namespace qlx
