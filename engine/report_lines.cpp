#include "engine/report_lines.h"

#include "base/node_table.h"
#include "storage/unit_files.h"

#include <QDir>
#include <QSaveFile>

#include <array>

namespace qlx {

namespace {

const QString kTab = QStringLiteral("\t");
const QString kRowEnd = QStringLiteral("| ");

QString pad_left(const QString &text, int width)
{
    return text.size() >= width ? text : QString(width - text.size(), QLatin1Char(' ')) + text;
}

// One grid row as the report's tab-separated text, or three of them (upper,
// middle, lower) in the multi-line layout.
QString singleLineRow(int row)
{
    QString line;
    for (int column = 0; column < kGridColumns; ++column) {
        line += arr_cells(column, row).text.trimmed();
        line += column + 1 < kGridColumns ? kTab : kRowEnd;
    }
    return line;
}

std::array<QString, 3> multiLineRow(int row)
{
    std::array<QString, 3> lines; // upper, middle, lower
    for (int column = 0; column < kGridColumns; ++column) {
        const T_cell &cell = arr_cells(column, row);
        const int target = cell.top_offset == 2 ? 0 : cell.top_offset == 30 ? 2 : 1;
        for (int i = 0; i < 3; ++i) {
            lines[i] += i == target ? cell.text.trimmed() : QStringLiteral(" ");
            lines[i] += column + 1 < kGridColumns ? kTab : kRowEnd;
        }
    }
    return lines;
}

} // namespace

QString format_report_line(const QString &text)
{
    const QString body = text.left(text.size() - 1); // without the blank after the closing bar
    const QStringList pieces = body.split(kTab);
    QString line;
    for (qsizetype i = 0; i + 1 < pieces.size(); ++i)
        line += QLatin1Char('|') + pad_left(pieces.at(i), i == 0 ? 4 : 8);
    line += QLatin1Char('|') + pad_left(pieces.last(), 10);
    return line;
}

QStringList report_lines(const ReportSource &source)
{
    QStringList lines;
    for (int i = 0; i < 5; ++i)
        lines << kReportMargin;
    lines << kReportMargin + QStringLiteral("Монитор состояний");
    lines << kReportMargin + QStringLiteral("Дата печати ") + source.printed.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    lines << kReportMargin + source.updateLabel;
    lines << kReportMargin << kReportMargin;
    const QString separator = kReportMargin + QString(133, QLatin1Char('-'));
    lines << separator;

    const int rows = qBound(0, source.rowCount, kGridRows);
    for (int row = 0; row < rows; ++row) {
        // Rows never updated (and the spare last row) have no date: left out.
        if (arr_cells(1, row).text.trimmed().isEmpty())
            continue;
        if (!source.multiLine) {
            lines << kReportMargin + format_report_line(singleLineRow(row));
        } else {
            const auto [upper, middle, lower] = multiLineRow(row);
            if (row != 0)
                lines << kReportMargin + format_report_line(upper);
            lines << kReportMargin + format_report_line(middle);
            if (row != 0)
                lines << kReportMargin + format_report_line(lower);
        }
        lines << separator;
    }
    lines << kReportMargin << kReportMargin + QStringLiteral("************ Конец отчета ************");
    return lines;
}

QString save_report_lines(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += to_cp1251(line) + "\r\n";
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("Не удалось записать файл \"%1\": %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return {};
}

} // namespace qlx
