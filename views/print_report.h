// The printed state report: the fixed-width text built from the monitor cell
// grid, and the report window that shows, prints and saves it.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <qcoro/qcorotask.h>

class QPlainTextEdit;
class QPrinter;

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

// The printer reports go to: one for the whole program, so that the choice made
// in the print dialog also holds for the monitor's direct print.
QPrinter &current_printer();

// Prints the lines on the printer in landscape with the report's document title,
// in a fixed-pitch font, as many lines a page as fit. Returns an empty string, or
// what went wrong.
QString print_report_lines(QPrinter &printer, const QStringList &lines);

// Writes the lines to a file in code page 1251, each followed by CR LF. Returns
// an empty string, or what went wrong.
QString save_report_lines(const QString &path, const QStringList &lines);

// The report window: the text, "Печать" and "Сохранить...". Closing destroys it.
class TFrm_print : public QWidget {
    Q_OBJECT
public:
    // reportsDir: where "Сохранить..." starts (the system default if it is missing).
    explicit TFrm_print(const QString &reportsDir, QWidget *parent = nullptr);

    void setLines(const QStringList &lines);
    QStringList lines() const;
    QPlainTextEdit *Memo() const { return m_memo; }

    // Prints at once on the current printer in landscape, then closes the window.
    // A printing failure goes to the general error message and the window stays.
    void Print_report();
    // "Печать": the print dialog, then the report; the window stays.
    QCoro::Task<void> printClick();
    // "Сохранить...": the save dialog, then the file.
    QCoro::Task<void> saveClick();

private:
    void reportError(const QString &what);

    QString m_reportsDir;
    QPlainTextEdit *m_memo = nullptr;
};

} // namespace qlx
