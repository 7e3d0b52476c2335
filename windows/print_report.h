// The printed state report: the fixed-width text built from the monitor cell
// grid, and the report window that shows, prints and saves it.
#pragma once

#include "engine/report_lines.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <qcoro/qcorotask.h>

class QPlainTextEdit;
class QPrinter;

namespace qlx {

// The printer reports go to: one for the whole program, so that the choice made
// in the print dialog also holds for the monitor's direct print.
QPrinter &current_printer();

// Why nothing can be printed on this printer (none installed, none reachable), or
// an empty string when it can be used.
QString printer_unavailable(const QPrinter &printer);

// Prints the lines on the printer in landscape with the report's document title,
// in a fixed-pitch font, as many lines a page as fit. Returns an empty string, or
// what went wrong.
QString print_report_lines(QPrinter &printer, const QStringList &lines);

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
