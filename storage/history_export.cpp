#include "storage/history_export.h"

#include "storage/unit_files.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <cstring>
#include <vector>

namespace qlx {

namespace {

constexpr qsizetype kFlushBytes = 1 << 16;

// ---------------------------------------------------------------- HTML

QString escapeHtml(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&': out += QLatin1String("&amp;"); break;
        case u'<': out += QLatin1String("&lt;"); break;
        case u'>': out += QLatin1String("&gt;"); break;
        case u'"': out += QLatin1String("&quot;"); break;
        case u'\'': out += QLatin1String("&#39;"); break;
        default: out += c;
        }
    }
    return out;
}

class HtmlWriter : public TableFileWriter {
public:
    using TableFileWriter::TableFileWriter;

private:
    void writeHeader() override
    {
        QString head = QStringLiteral("<!DOCTYPE html>\r\n<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n"
                                      "<title>История состояний</title>\r\n</head>\r\n<body>\r\n"
                                      "<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\">\r\n<tr>");
        for (const int c : std::as_const(m_columns))
            head += QStringLiteral("<th>") + escapeHtml(m_table->columns().at(c).caption) + QStringLiteral("</th>");
        head += QStringLiteral("</tr>\r\n");
        put(head.toUtf8());
    }

    void writeGroup(const QString &caption, int level) override
    {
        const QString line = QStringLiteral("<tr class=\"group%1\"><td colspan=\"%2\"><b>%3</b></td></tr>\r\n")
                                 .arg(level)
                                 .arg(m_columns.size())
                                 .arg(escapeHtml(caption));
        put(line.toUtf8());
    }

    void writeRow(qsizetype row) override
    {
        QString line = QStringLiteral("<tr>");
        for (const int c : std::as_const(m_columns)) {
            const TableColumn &column = m_table->columns().at(c);
            const char *align = column.alignment & Qt::AlignRight ? " align=\"right\""
                : column.alignment & Qt::AlignHCenter               ? " align=\"center\""
                                                                    : "";
            line += QStringLiteral("<td") + QLatin1String(align) + u'>' + escapeHtml(m_table->text(row, c))
                + QStringLiteral("</td>");
        }
        line += QStringLiteral("</tr>\r\n");
        put(line.toUtf8());
    }

    void writeEnd() override { put(QByteArrayLiteral("</table>\r\n</body>\r\n</html>\r\n")); }
};

// ---------------------------------------------------------------- text

class TextWriter : public TableFileWriter {
public:
    using TableFileWriter::TableFileWriter;

private:
    static constexpr const char *kSeparator = "   ";

    void writeHeader() override
    {
        QStringList captions;
        for (const int c : std::as_const(m_columns))
            captions << m_table->columns().at(c).caption;
        put(to_cp1251(captions.join(QLatin1String(kSeparator))) + "\r\n\r\n");
    }

    void writeGroup(const QString &, int) override {}

    void writeRow(qsizetype row) override
    {
        QString line;
        for (qsizetype i = 0; i < m_columns.size(); ++i) {
            if (i > 0)
                line += QLatin1String(kSeparator);
            line += m_table->text(row, m_columns.at(i));
        }
        put(to_cp1251(line) + "\r\n");
    }

    void writeEnd() override {}
};

// ---------------------------------------------------------------- BIFF8 workbook

// Little-endian record builder.
class Bytes {
public:
    Bytes &u8(unsigned v) { m_data.append(char(v & 0xff)); return *this; }
    Bytes &u16(unsigned v) { return u8(v).u8(v >> 8); }
    Bytes &u32(quint32 v) { return u16(v & 0xffff).u16(v >> 16); }
    Bytes &f64(double v)
    {
        quint64 bits;
        std::memcpy(&bits, &v, sizeof bits);
        return u32(quint32(bits)).u32(quint32(bits >> 32));
    }
    Bytes &raw(const QByteArray &b) { m_data.append(b); return *this; }
    Bytes &utf16(const QString &s)
    {
        for (const QChar c : s)
            u16(c.unicode());
        return *this;
    }
    Bytes &zeros(int n)
    {
        m_data.append(QByteArray(n, '\0'));
        return *this;
    }
    const QByteArray &data() const { return m_data; }
    qsizetype size() const { return m_data.size(); }

private:
    QByteArray m_data;
};

QByteArray record(unsigned type, const Bytes &body)
{
    Bytes r;
    r.u16(type).u16(unsigned(body.size())).raw(body.data());
    return r.data();
}

// A value as an RK number when it can be one exactly (4 bytes instead of 8).
std::optional<quint32> rkValue(double v)
{
    if (!std::isfinite(v))
        return std::nullopt;
    constexpr double kMaxInt = 536870911.0; // 30-bit signed
    if (v == std::floor(v) && v >= -kMaxInt - 1 && v <= kMaxInt && !(v == 0 && std::signbit(v)))
        return (quint32(qint32(v)) << 2) | 2u;
    const double hundred = v * 100.0;
    if (hundred == std::nearbyint(hundred) && hundred >= -kMaxInt - 1 && hundred <= kMaxInt
        && double(qint32(hundred)) / 100.0 == v)
        return (quint32(qint32(hundred)) << 2) | 3u;
    quint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    if ((bits & 0x3ffffffffULL) == 0)
        return quint32(bits >> 32) & 0xfffffffcU;
    return std::nullopt;
}

enum : unsigned { kXfCell = 15, kXfDate = 16, kXfHeader = 17 };

class XlsWriter : public TableFileWriter {
public:
    using TableFileWriter::TableFileWriter;

private:
    static constexpr qint64 kStreamStart = 512; // the workbook stream follows the compound file's header

    qsizetype sheetCount() const { return std::max<qsizetype>(1, (m_dataRows + kSheetRows - 2) / (kSheetRows - 1)); }

    QString sheetName(qsizetype index) const
    {
        const QString base = m_table->view() == HistoryView::Rows ? QStringLiteral("Вид 1") : QStringLiteral("Вид 2");
        return index == 0 ? base : QStringLiteral("%1 (%2)").arg(base).arg(index + 1);
    }

    void writeHeader() override
    {
        put(QByteArray(int(kStreamStart), '\0')); // the compound file header, written last
        writeGlobals();
        startSheet();
    }

    void writeGroup(const QString &, int) override {}

    void writeRow(qsizetype row) override
    {
        if (m_sheetRow == kSheetRows) {
            endSheet();
            startSheet();
        }
        const unsigned r = unsigned(m_sheetRow);
        // Cells in on-screen order; runs of RK numbers go out as one MULRK record.
        std::vector<std::pair<unsigned, quint32>> run; // column, rk
        const auto flushRun = [&] {
            if (run.size() == 1) {
                Bytes b;
                b.u16(r).u16(run[0].first).u16(kXfCell).u32(run[0].second);
                put(record(0x027E, b));
            } else if (run.size() > 1) {
                Bytes b;
                b.u16(r).u16(run.front().first);
                for (const auto &[col, rk] : run)
                    b.u16(kXfCell).u32(rk);
                b.u16(run.back().first);
                put(record(0x00BD, b));
            }
            run.clear();
        };
        for (qsizetype i = 0; i < m_columns.size(); ++i) {
            const int c = m_columns.at(i);
            const unsigned col = unsigned(i);
            if (m_table->isNull(row, c)) {
                flushRun();
                continue;
            }
            double value = 0;
            unsigned xf = kXfCell;
            switch (m_table->kind(c)) {
            case CellKind::DateTime:
                value = history_serial_date(m_table->time(row));
                xf = kXfDate;
                break;
            case CellKind::Integer:
                value = m_table->integer(row, c);
                break;
            case CellKind::Number:
                value = m_table->number(row, c);
                break;
            }
            const std::optional<quint32> rk = xf == kXfCell ? rkValue(value) : std::nullopt;
            if (rk) {
                run.emplace_back(col, *rk);
                continue;
            }
            flushRun();
            Bytes b;
            b.u16(r).u16(col).u16(xf).f64(value);
            put(record(0x0203, b));
        }
        flushRun();
        ++m_sheetRow;
    }

    void writeEnd() override
    {
        endSheet();
        // The sheets' positions, now known, into their BOUNDSHEET records.
        flushBuffer();
        for (qsizetype i = 0; i < m_sheetPositions.size(); ++i) {
            Bytes at;
            at.u32(quint32(m_sheetPositions.at(i) - kStreamStart));
            if (!seekAndWrite(m_boundSheetFields.at(i), at.data()))
                return;
        }
        writeCompoundFile();
    }

    void writeGlobals()
    {
        const auto simple = [this](unsigned type, unsigned value) {
            Bytes b;
            b.u16(value);
            put(record(type, b));
        };
        Bytes bof;
        bof.u16(0x0600).u16(0x0005).u16(0x0DBB).u16(0x07CC).u32(0).u32(0x06);
        put(record(0x0809, bof));
        simple(0x00E1, 0x04B0); // INTERFACEHDR
        simple(0x00C1, 0);      // MMS
        put(record(0x00E2, Bytes()));
        Bytes access;
        access.u16(7).u8(0).raw("Quorlex");
        access.raw(QByteArray(int(112 - access.size()), ' '));
        put(record(0x005C, access)); // WRITEACCESS
        simple(0x0042, 1200);        // CODEPAGE: UTF-16
        simple(0x0161, 0);           // DSF
        Bytes tabs;
        for (qsizetype i = 0; i < sheetCount(); ++i)
            tabs.u16(unsigned(i + 1));
        put(record(0x013D, tabs)); // TABID
        simple(0x009C, 0x0E);      // FNGROUPCOUNT
        simple(0x0019, 0);         // WINDOWPROTECT
        simple(0x0012, 0);         // PROTECT
        simple(0x0013, 0);         // PASSWORD
        simple(0x01AF, 0);         // PROT4REV
        simple(0x01BC, 0);         // PROT4REVPASS
        simple(0x0040, 0);         // BACKUP
        simple(0x008D, 0);         // HIDEOBJ
        Bytes window;
        window.u16(0).u16(0).u16(0x4000).u16(0x2000).u16(0x0038).u16(0).u16(0).u16(1).u16(0x0258);
        put(record(0x003D, window)); // WINDOW1
        simple(0x0022, 0);           // DATEMODE: 1900
        simple(0x000E, 1);           // PRECISION
        simple(0x01B7, 0);           // REFRESHALL
        simple(0x00DA, 0);           // BOOKBOOL
        // Fonts 0..3 and 5 (index 4 does not exist in BIFF); 5 is bold, for the header.
        for (int i = 0; i < 5; ++i) {
            Bytes font;
            const QString name = QStringLiteral("Arial");
            font.u16(200).u16(0).u16(0x7FFF).u16(i == 4 ? 700 : 400).u16(0).u8(0).u8(0).u8(204).u8(0);
            font.u8(unsigned(name.size())).u8(1).utf16(name);
            put(record(0x0031, font));
        }
        Bytes format;
        const QString dateFormat = QStringLiteral("dd.mm.yyyy hh:mm:ss");
        format.u16(164).u16(unsigned(dateFormat.size())).u8(1).utf16(dateFormat);
        put(record(0x041E, format));
        const auto xf = [this](unsigned font, unsigned numberFormat, unsigned flags, unsigned used) {
            Bytes b;
            b.u16(font).u16(numberFormat).u16(flags).u8(0x20).u8(0).u8(0).u8(used).u32(0).u32(0).u16(0x20C0);
            put(record(0x00E0, b));
        };
        xf(0, 0, 0xFFF5, 0);
        for (int i = 1; i < 15; ++i)
            xf(i <= 2 ? 1 : i <= 4 ? 2 : 0, 0, 0xFFF5, 0xF4);
        xf(0, 0, 0x0001, 0);      // 15: cells
        xf(0, 164, 0x0001, 0x04); // 16: dates
        xf(5, 0, 0x0001, 0x08);   // 17: captions, bold
        Bytes style;
        style.u16(0x8000).u8(0).u8(0xFF);
        put(record(0x0293, style)); // STYLE "Normal"
        for (qsizetype i = 0; i < sheetCount(); ++i) {
            const QString name = sheetName(i);
            m_boundSheetFields.append(position() + 4);
            Bytes sheet;
            sheet.u32(0).u8(0).u8(0).u8(unsigned(name.size())).u8(1).utf16(name);
            put(record(0x0085, sheet));
        }
        Bytes country;
        country.u16(7).u16(7);
        put(record(0x008C, country));
        writeSharedStrings();
        put(record(0x000A, Bytes())); // EOF
    }

    // SST: the captions, the only text cells; EXTSST indexes them.
    void writeSharedStrings()
    {
        const qsizetype count = m_columns.size();
        Bytes sst;
        sst.u32(quint32(count * sheetCount())).u32(quint32(count));
        const qint64 recordStart = position();
        Bytes ext;
        ext.u16(8);
        for (qsizetype i = 0; i < count; ++i) {
            const QString caption = m_table->columns().at(m_columns.at(i)).caption.left(255);
            if (i % 8 == 0)
                ext.u32(quint32(recordStart + 4 + sst.size() - kStreamStart)).u16(unsigned(4 + sst.size())).u16(0);
            sst.u16(unsigned(caption.size())).u8(1).utf16(caption);
        }
        put(record(0x00FC, sst));
        put(record(0x00FF, ext));
    }

    void startSheet()
    {
        m_sheetPositions.append(position());
        Bytes bof;
        bof.u16(0x0600).u16(0x0010).u16(0x0DBB).u16(0x07CC).u32(0).u32(0x06);
        put(record(0x0809, bof));
        Bytes width;
        width.u16(10);
        put(record(0x0055, width)); // DEFCOLWIDTH
        for (qsizetype i = 0; i < m_columns.size(); ++i) {
            const CellKind kind = m_table->kind(m_columns.at(i));
            Bytes colinfo;
            colinfo.u16(unsigned(i)).u16(unsigned(i)).u16(kind == CellKind::DateTime ? 20 * 256 : 16 * 256);
            colinfo.u16(kXfCell).u16(0).u16(0);
            put(record(0x007D, colinfo));
        }
        const qsizetype done = qsizetype(m_sheetPositions.size() - 1) * (kSheetRows - 1);
        const qsizetype rows = 1 + std::min<qsizetype>(kSheetRows - 1, std::max<qsizetype>(0, m_dataRows - done));
        Bytes dimensions;
        dimensions.u32(0).u32(quint32(rows)).u16(0).u16(unsigned(m_columns.size())).u16(0);
        put(record(0x0200, dimensions));
        for (qsizetype i = 0; i < m_columns.size(); ++i) {
            Bytes label;
            label.u16(0).u16(unsigned(i)).u16(kXfHeader).u32(quint32(i));
            put(record(0x00FD, label)); // LABELSST
        }
        m_sheetRow = 1;
    }

    void endSheet()
    {
        Bytes window;
        const bool first = m_sheetPositions.size() == 1;
        window.u16(first ? 0x06B6 : 0x00B6).u16(0).u16(0).u16(0x40).u16(0).u16(0).u16(0).u32(0);
        put(record(0x023E, window)); // WINDOW2
        put(record(0x000A, Bytes()));
    }

    // The compound file around the workbook stream: the stream fills the sectors
    // from 0 on; the directory, the allocation table and its extension follow;
    // the header goes at the start.
    void writeCompoundFile()
    {
        constexpr quint32 kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFatSect = 0xFFFFFFFD, kDifSect = 0xFFFFFFFC;
        constexpr qint64 kSector = 512;
        qint64 streamSize = position() - kStreamStart;
        // A stream under 4096 bytes would belong in the mini stream: pad the workbook.
        if (streamSize < 4096) {
            put(QByteArray(int(4096 - streamSize), '\0'));
            streamSize = 4096;
        }
        const qint64 padded = (streamSize + kSector - 1) / kSector * kSector;
        put(QByteArray(int(padded - streamSize), '\0'));
        const quint32 streamSectors = quint32(padded / kSector);
        const quint32 dirSector = streamSectors;
        quint32 fatSectors = 0, difatSectors = 0;
        for (;;) {
            const quint32 total = streamSectors + 1 + fatSectors + difatSectors;
            const quint32 needFat = (total + 127) / 128;
            const quint32 needDifat = needFat > 109 ? (needFat - 109 + 126) / 127 : 0;
            if (needFat == fatSectors && needDifat == difatSectors)
                break;
            fatSectors = needFat;
            difatSectors = needDifat;
        }
        const quint32 firstFat = dirSector + 1;
        const quint32 firstDifat = firstFat + fatSectors;

        // Directory: root, the stream "Workbook", two empty entries.
        const auto entry = [](Bytes &b, const QString &name, unsigned type, quint32 child, quint32 start, quint32 size) {
            Bytes n;
            n.utf16(name).u16(0);
            b.raw(n.data()).zeros(int(64 - n.size()));
            b.u16(name.isEmpty() ? 0 : unsigned(n.size())).u8(type).u8(name.isEmpty() ? 0 : 1);
            b.u32(kFree).u32(kFree).u32(child).zeros(16).u32(0).zeros(16).u32(start).u32(size).u32(0);
        };
        Bytes dir;
        entry(dir, QStringLiteral("Root Entry"), 5, 1, kEnd, 0);
        entry(dir, QStringLiteral("Workbook"), 2, kFree, 0, quint32(streamSize));
        entry(dir, QString(), 0, kFree, 0, 0);
        entry(dir, QString(), 0, kFree, 0, 0);
        put(dir.data());

        Bytes fat;
        for (quint32 s = 0; s < streamSectors; ++s) {
            fat.u32(s + 1 == streamSectors ? kEnd : s + 1);
            if (fat.size() >= kFlushBytes) {
                put(fat.data());
                fat = Bytes();
            }
        }
        fat.u32(kEnd); // the directory
        for (quint32 i = 0; i < fatSectors; ++i)
            fat.u32(kFatSect);
        for (quint32 i = 0; i < difatSectors; ++i)
            fat.u32(kDifSect);
        const qint64 entries = qint64(fatSectors) * 128;
        const qint64 used = qint64(streamSectors) + 1 + fatSectors + difatSectors;
        for (qint64 i = used; i < entries; ++i)
            fat.u32(kFree);
        put(fat.data());

        // FAT sectors beyond the header's 109 are listed in DIFAT sectors, 127 a sector and a link.
        Bytes difat;
        for (quint32 d = 0; d < difatSectors; ++d) {
            for (quint32 i = 0; i < 127; ++i) {
                const quint32 index = 109 + d * 127 + i;
                difat.u32(index < fatSectors ? firstFat + index : kFree);
            }
            difat.u32(d + 1 < difatSectors ? firstDifat + d + 1 : kEnd);
        }
        put(difat.data());

        Bytes header;
        header.raw(QByteArray::fromHex("D0CF11E0A1B11AE1")).zeros(16);
        header.u16(0x003E).u16(0x0003).u16(0xFFFE).u16(9).u16(6).zeros(6);
        header.u32(0).u32(fatSectors).u32(dirSector).u32(0).u32(4096).u32(kEnd).u32(0);
        header.u32(difatSectors ? firstDifat : kEnd).u32(difatSectors);
        for (quint32 i = 0; i < 109; ++i)
            header.u32(i < fatSectors ? firstFat + i : kFree);
        flushBuffer();
        seekAndWrite(0, header.data());
    }

    qsizetype m_sheetRow = 0;
    QList<qint64> m_sheetPositions;   // file offsets of the sheets' BOF records
    QList<qint64> m_boundSheetFields; // file offsets of the BOUNDSHEET position fields
};

} // namespace

TableFileWriter::TableFileWriter(const QString &path)
    : m_file(path)
{
}

TableFileWriter::~TableFileWriter()
{
    cancel();
}

std::unique_ptr<TableFileWriter> TableFileWriter::create(ExportFormat format, const QString &path)
{
    switch (format) {
    case ExportFormat::Html:
        return std::unique_ptr<TableFileWriter>(new HtmlWriter(path));
    case ExportFormat::Excel:
        return std::unique_ptr<TableFileWriter>(new XlsWriter(path));
    case ExportFormat::Text:
        break;
    }
    return std::unique_ptr<TableFileWriter>(new TextWriter(path));
}

bool TableFileWriter::check()
{
    if (!m_error.isEmpty())
        return false;
    if (m_buffer.size() >= kFlushBytes)
        flushBuffer();
    return m_error.isEmpty();
}

void TableFileWriter::put(const QByteArray &bytes)
{
    m_buffer.append(bytes);
}

void TableFileWriter::put(const char *bytes, qsizetype size)
{
    m_buffer.append(bytes, size);
}

void TableFileWriter::flushBuffer()
{
    if (!m_error.isEmpty() || m_buffer.isEmpty())
        return;
    if (m_file.write(m_buffer) != m_buffer.size()) {
        m_error = QStringLiteral("Ошибка записи файла %1: %2")
                      .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return;
    }
    m_written += m_buffer.size();
    m_buffer.clear();
}

bool TableFileWriter::seekAndWrite(qint64 at, const QByteArray &bytes)
{
    flushBuffer();
    if (!m_error.isEmpty())
        return false;
    const qint64 end = m_written;
    if (!m_file.seek(at) || m_file.write(bytes) != bytes.size() || !m_file.seek(end)) {
        m_error = QStringLiteral("Ошибка записи файла %1: %2")
                      .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return false;
    }
    return true;
}

bool TableFileWriter::begin(const HistoryTable &table, const QList<int> &columns, qsizetype dataRows)
{
    m_table = &table;
    m_columns = columns;
    m_dataRows = dataRows;
    m_error.clear();
    m_written = 0;
    m_buffer.clear();
    // The target replaced only once complete: QSaveFile writes beside it and renames.
    m_file.setDirectWriteFallback(false);
    if (!m_file.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("Не удалось создать файл %1: %2")
                      .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return false;
    }
    m_open = true;
    writeHeader();
    return check();
}

bool TableFileWriter::group(const QString &caption, int level)
{
    writeGroup(caption, level);
    return check();
}

bool TableFileWriter::row(qsizetype row)
{
    writeRow(row);
    return check();
}

bool TableFileWriter::end()
{
    writeEnd();
    flushBuffer();
    return m_error.isEmpty();
}

bool TableFileWriter::commit()
{
    if (!m_open || !m_error.isEmpty())
        return false;
    m_open = false;
    if (!m_file.commit()) {
        m_error = QStringLiteral("Не удалось записать файл %1: %2")
                      .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return false;
    }
    return true;
}

void TableFileWriter::cancel()
{
    if (m_open) {
        m_file.cancelWriting();
        m_file.commit(); // with writing cancelled, this only removes the temporary file
        m_open = false;
    }
}

} // namespace qlx
