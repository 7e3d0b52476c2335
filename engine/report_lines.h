// The state report as text: the monitor cell grid laid out as fixed-width lines,
// and the report saved as a file. Window-less; the report window shows, prints
// and saves these lines.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace qlx {

// The blanks that start every report line.
inline const QString kReportMargin = QStringLiteral("     ");
inline const QString kReportDocumentTitle = QStringLiteral("Отчет программы Quorlink");

// Turns a tab-separated row ("a\tb\t...\tz| ") into bar-separated columns: the
// first right-aligned in 4 characters, the others in 8, the last (with its
// closing bar) in 10. Longer texts are not cut.
QString format_report_line(const QString &text);

// What the report is built from besides the cell grid.
struct ReportSource {
    int rowCount = 0;      // rows of the monitor's grid widget, header included
    QString updateLabel;   // the monitor's "Последнее обновление - ..." label
    bool multiLine = false; // "В несколько строк"
    QDateTime printed;     // the print date
};

// The report text over arr_cells, line by line, each line starting with the margin.
QStringList report_lines(const ReportSource &source);

// Writes the lines to a file in code page 1251, each followed by CR LF. Returns
// an empty string, or what went wrong.
QString save_report_lines(const QString &path, const QStringList &lines);

} // namespace qlx
