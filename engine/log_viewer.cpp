#include "engine/log_viewer.h"

#include "storage/unit_files.h"

#include <QFile>

namespace qlx {

namespace {

bool blankOrControl(QChar c)
{
    return c.isSpace() || c.category() == QChar::Other_Control;
}

} // namespace

Tarr_csv_record Parse_csv_record(const QString &line)
{
    qsizetype first = 0;
    qsizetype last = line.size();
    while (first < last && blankOrControl(line.at(first)))
        ++first;
    while (last > first && blankOrControl(line.at(last - 1)))
        --last;
    Tarr_csv_record record;
    if (first == last)
        return record;
    record.fields = line.mid(first, last - first).split(QLatin1Char('\t'));
    if (record.fields.size() > 30)
        record.fields.resize(30);
    return record;
}

std::optional<ViewerLoad> Load_file(const QString &path, int address, int limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto cells = [](const Tarr_csv_record &r) {
        QStringList row = r.fields.mid(1, kViewerColumns);
        while (row.size() < kViewerColumns)
            row << QString();
        return row;
    };
    ViewerLoad load;
    bool header = true;
    const QString node = QString::number(address);
    while (!file.atEnd()) {
        const Tarr_csv_record r = Parse_csv_record(from_cp1251(file.readLine()));
        if (header) {
            header = false;
            load.header = cells(r);
            continue;
        }
        if (r.count() == 0 || r.fields.first().trimmed() != node)
            continue;
        load.records << cells(r);
    }
    // The newest records are the ones worth keeping on a busy day.
    if (limit > 0 && load.records.size() > limit)
        load.records = load.records.mid(load.records.size() - limit);
    return load;
}

std::optional<int> Find_record(const QList<QStringList> &rows, const QString &searched, bool newestFirst)
{
    const auto fits = [&](const QStringList &row) {
        const QString time = row.value(1);
        return !time.trimmed().isEmpty() && time <= searched;
    };
    if (newestFirst) {
        for (int i = 0; i < rows.size(); ++i)
            if (fits(rows.at(i)))
                return i;
    } else {
        for (int i = int(rows.size()) - 1; i >= 0; --i)
            if (fits(rows.at(i)))
                return i;
    }
    return std::nullopt;
}

} // namespace qlx
