#include "engine/log_viewer.h"

#include "storage/unit_files.h"

#include <QFile>

#include <algorithm>

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
    load.header = cells(Parse_csv_record(from_cp1251(file.readLine())));
    const qint64 bodyStart = file.pos();

    // A busy day's log holds millions of lines; only the node's newest `limit` are
    // shown. The file is read backwards a block at a time, newest line first, and
    // only lines that can belong to the node are decoded, so the load stops as soon
    // as it has enough.
    const QString node = QString::number(address);
    const QByteArray nodeBytes = node.toLatin1();
    const auto blank = [](char c) { return quint8(c) <= 0x20 || quint8(c) == 0x7F || quint8(c) == 0xA0; };
    const auto mayBeTheNode = [&](const QByteArray &line) {
        qsizetype i = 0;
        while (i < line.size() && blank(line.at(i)))
            ++i;
        if (line.mid(i, nodeBytes.size()) != nodeBytes)
            return false;
        i += nodeBytes.size();
        return i == line.size() || blank(line.at(i));
    };
    QList<QStringList> newestFirst;
    const auto take = [&](const QByteArray &line) {
        if (!mayBeTheNode(line))
            return;
        const Tarr_csv_record r = Parse_csv_record(from_cp1251(line));
        if (r.count() > 0 && r.fields.first().trimmed() == node)
            newestFirst << cells(r);
    };
    constexpr qint64 kBlock = 1 << 20;
    qint64 end = file.size();
    QByteArray tail; // the start of a line whose beginning lies in the block before
    while (end > bodyStart && (limit <= 0 || newestFirst.size() < limit)) {
        const qint64 begin = std::max(bodyStart, end - kBlock);
        if (!file.seek(begin))
            return std::nullopt;
        QByteArray block = file.read(end - begin);
        if (block.size() != end - begin)
            return std::nullopt;
        block += tail;
        end = begin;
        qsizetype lineEnd = block.size();
        for (qsizetype nl = block.lastIndexOf('\n', lineEnd - 1); nl >= 0 && (limit <= 0 || newestFirst.size() < limit);
             nl = block.lastIndexOf('\n', lineEnd - 1)) {
            take(block.mid(nl + 1, lineEnd - nl - 1));
            lineEnd = nl;
            if (nl == 0)
                break;
        }
        tail = block.left(lineEnd);
        if (end == bodyStart && (limit <= 0 || newestFirst.size() < limit))
            take(tail); // the first line after the header
    }
    load.records = QList<QStringList>(newestFirst.crbegin(), newestFirst.crend());
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
