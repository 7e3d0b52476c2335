#include "storage/history_table.h"

#include "storage/unit_dm.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace qlx {

namespace {

constexpr qint64 kSecondsPerDay = 86400;
constexpr qint64 kJulianDay1970 = 2440588;
constexpr double kSerialDay1970 = 25569.0; // 01.01.1970 as a spreadsheet date number

QString errorText(const QSqlError &error)
{
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

int nextReaderNumber()
{
    static int number = 0;
    return ++number;
}

// "yyyy-MM-dd hh:mm:ss" (what the station stores) read without the general
// date parser, which costs more than the rest of a row.
std::optional<qint64> parseStoredTime(const QString &text)
{
    if (text.size() < 19)
        return std::nullopt;
    const QChar *s = text.constData();
    const auto digits = [s](int at, int count, int *out) {
        int v = 0;
        for (int i = at; i < at + count; ++i) {
            const char16_t c = s[i].unicode();
            if (c < u'0' || c > u'9')
                return false;
            v = v * 10 + (c - u'0');
        }
        *out = v;
        return true;
    };
    int y, mo, d, h, mi, se;
    if (!digits(0, 4, &y) || !digits(5, 2, &mo) || !digits(8, 2, &d) || !digits(11, 2, &h)
        || !digits(14, 2, &mi) || !digits(17, 2, &se) || s[4] != u'-' || s[7] != u'-' || s[13] != u':'
        || s[16] != u':')
        return std::nullopt;
    const QDate date(y, mo, d);
    if (!date.isValid() || h > 23 || mi > 59 || se > 59)
        return std::nullopt;
    return (date.toJulianDay() - kJulianDay1970) * kSecondsPerDay + h * 3600 + mi * 60 + se;
}

qint64 storedSeconds(const QVariant &value)
{
    if (value.metaType().id() == QMetaType::QDateTime)
        return history_seconds(value.toDateTime());
    const QString text = value.toString();
    if (const std::optional<qint64> fast = parseStoredTime(text))
        return *fast;
    const QDateTime t = QDateTime::fromString(text.left(19), Qt::ISODate);
    return t.isValid() ? history_seconds(t) : 0;
}

double nullableDouble(const QVariant &value)
{
    return value.isNull() ? std::numeric_limits<double>::quiet_NaN() : value.toDouble();
}

} // namespace

const QList<TableColumn> &history_columns(HistoryView view)
{
    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
    static const QList<TableColumn> rows{
        {QStringLiteral("rec_time"), QStringLiteral("Дата/Время"), CellKind::DateTime, left, true},
        {QStringLiteral("Sensor"), QStringLiteral("Узел"), CellKind::Integer, left, true},
        {QStringLiteral("chanel"), QStringLiteral("Канал"), CellKind::Integer, left, true},
        {QStringLiteral("NU"), QStringLiteral("Нижний уровень"), CellKind::Number, left, false},
        {QStringLiteral("Izm"), QStringLiteral("Измерение"), CellKind::Number, left, false},
        {QStringLiteral("VU"), QStringLiteral("Верхний уровень"), CellKind::Number, left, false},
    };
    static const QList<TableColumn> cross = [left] {
        QList<TableColumn> columns{
            {QStringLiteral("rec_time"), QStringLiteral("Дата/время"), CellKind::DateTime, left, true},
            {QStringLiteral("Sensor"), QStringLiteral("Узел"), CellKind::Integer, Qt::AlignCenter, true},
        };
        for (int c = 1; c <= 12; ++c)
            columns.append({QString::number(c), QStringLiteral("Канал %1").arg(c), CellKind::Number,
                            c == 1 ? Qt::AlignRight | Qt::AlignVCenter : left, true});
        return columns;
    }();
    return view == HistoryView::Rows ? rows : cross;
}

qint64 history_seconds(const QDateTime &time)
{
    return (time.date().toJulianDay() - kJulianDay1970) * kSecondsPerDay + time.time().msecsSinceStartOfDay() / 1000;
}

QDateTime history_datetime(qint64 seconds)
{
    const qint64 day = seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
    const qint64 rest = seconds - day * kSecondsPerDay;
    return QDateTime(QDate::fromJulianDay(day + kJulianDay1970), QTime::fromMSecsSinceStartOfDay(int(rest * 1000)));
}

QString history_time_display(qint64 seconds)
{
    const qint64 day = seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
    const int rest = int(seconds - day * kSecondsPerDay);
    int y, m, d;
    QDate::fromJulianDay(day + kJulianDay1970).getDate(&y, &m, &d);
    char16_t out[19];
    const auto put = [&out](int at, int value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            out[at + i] = char16_t(u'0' + value % 10);
    };
    put(0, d, 2);
    out[2] = u'.';
    put(3, m, 2);
    out[5] = u'.';
    put(6, y, 4);
    out[10] = u' ';
    put(11, rest / 3600, 2);
    out[13] = u':';
    put(14, rest / 60 % 60, 2);
    out[16] = u':';
    put(17, rest % 60, 2);
    return QString(reinterpret_cast<const QChar *>(out), 19);
}

double history_serial_date(qint64 seconds)
{
    return kSerialDay1970 + double(seconds) / double(kSecondsPerDay);
}

QString history_number_text(double value)
{
    if (std::isnan(value))
        return QString();
    if (value == 0)
        value = 0; // no "-0"
    char buffer[400];
    const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    QString text = QString::fromLatin1(buffer, r.ptr - buffer);
    text.replace(u'.', u',');
    return text;
}

HistoryTable::HistoryTable(HistoryView view)
    : m_view(view)
{
}

int HistoryTable::integer(qsizetype row, int column) const
{
    return m_ints[std::size_t(row) * std::size_t(intsPerRow()) + std::size_t(column - 1)];
}

double HistoryTable::number(qsizetype row, int column) const
{
    const int first = 1 + intsPerRow();
    return m_values[std::size_t(row) * std::size_t(valuesPerRow()) + std::size_t(column - first)];
}

bool HistoryTable::isNull(qsizetype row, int column) const
{
    return kind(column) == CellKind::Number && std::isnan(number(row, column));
}

double HistoryTable::sortKey(qsizetype row, int column) const
{
    switch (kind(column)) {
    case CellKind::DateTime:
        return double(time(row));
    case CellKind::Integer:
        return integer(row, column);
    case CellKind::Number:
        break;
    }
    const double v = number(row, column);
    return std::isnan(v) ? -std::numeric_limits<double>::infinity() : v;
}

QString HistoryTable::text(qsizetype row, int column) const
{
    switch (kind(column)) {
    case CellKind::DateTime:
        return history_time_display(time(row));
    case CellKind::Integer:
        return QString::number(integer(row, column));
    case CellKind::Number:
        break;
    }
    return history_number_text(number(row, column));
}

void HistoryTable::reserve(qsizetype rows)
{
    m_time.reserve(std::size_t(rows));
    m_ints.reserve(std::size_t(rows) * std::size_t(intsPerRow()));
    m_values.reserve(std::size_t(rows) * std::size_t(valuesPerRow()));
}

void HistoryTable::appendRow(qint64 time, int sensor, int chanel, double nu, double izm, double vu)
{
    Q_ASSERT(m_view == HistoryView::Rows);
    m_time.push_back(time);
    m_ints.push_back(sensor);
    m_ints.push_back(chanel);
    m_values.push_back(nu);
    m_values.push_back(izm);
    m_values.push_back(vu);
}

void HistoryTable::appendCross(qint64 time, int sensor, const std::array<double, 12> &izm)
{
    Q_ASSERT(m_view == HistoryView::Cross);
    m_time.push_back(time);
    m_ints.push_back(sensor);
    m_values.insert(m_values.end(), izm.begin(), izm.end());
}

void HistoryTable::squeeze()
{
    m_time.shrink_to_fit();
    m_ints.shrink_to_fit();
    m_values.shrink_to_fit();
}

std::size_t HistoryTable::memoryBytes() const
{
    return m_time.capacity() * sizeof(qint64) + m_ints.capacity() * sizeof(qint32)
        + m_values.capacity() * sizeof(double);
}

HistoryReader::HistoryReader(TDM_local &dm)
    : m_dm(dm),
      m_name(QStringLiteral("qlx_history_reader_%1").arg(nextReaderNumber()))
{
}

HistoryReader::~HistoryReader()
{
    finish();
    m_query = QSqlQuery();
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

bool HistoryReader::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool HistoryReader::openConnection()
{
    if (m_db.isValid() && m_db.isOpen())
        return true;
    if (!m_dm.isConnected())
        return fail(QStringLiteral("база данных истории не открыта"));
    m_postgres = m_dm.engine() == HistoryEngine::PostgreSQL;
    if (!m_db.isValid())
        m_db = QSqlDatabase::cloneDatabase(m_dm.ADOCon(), m_name);
    if (!m_db.open())
        return fail(errorText(m_db.lastError()));
    return true;
}

std::optional<qint64> HistoryReader::count(const HistoryPeriod &period, qint64 cap)
{
    if (!openConnection())
        return std::nullopt;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const QString text = QStringLiteral("select count(*) as coun from (select 1 from Sensors_history "
                                        "where rec_time >= ? and rec_time <= ? limit ?) t");
    if (!query.prepare(text)) {
        fail(errorText(query.lastError()));
        return std::nullopt;
    }
    query.addBindValue(history_time_text(period.from));
    query.addBindValue(history_time_text(period.to));
    query.addBindValue(cap);
    if (!query.exec() || !query.next()) {
        fail(errorText(query.lastError()));
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

bool HistoryReader::start(const HistoryPeriod &period, HistoryTable &table)
{
    finish();
    m_error.clear();
    if (!openConnection())
        return false;
    m_table = &table;
    m_block.clear();
    const QString columns = QStringLiteral("sensor, chanel, nu, izm, vu");
    if (!m_db.transaction())
        return fail(errorText(m_db.lastError()));
    m_inTransaction = true;
    m_query = QSqlQuery(m_db);
    m_query.setForwardOnly(true);
    if (m_postgres) {
        // A server cursor hands the rows over a page at a time; a plain query would
        // bring the whole period into memory in one step. DECLARE takes no
        // parameters: the two limits go in as literals of the stored form, which
        // holds nothing but digits and separators.
        const QString from = history_time_text(period.from);
        const QString to = history_time_text(period.to);
        static const QRegularExpression stored(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
        if (!stored.match(from).hasMatch() || !stored.match(to).hasMatch())
            return fail(QStringLiteral("неверный период"));
        const QString declare =
            QStringLiteral("declare qlx_history no scroll cursor for "
                           "select to_char(rec_time, 'YYYY-MM-DD HH24:MI:SS') as rec_text, %1 from Sensors_history "
                           "where rec_time >= timestamp '%2' and rec_time <= timestamp '%3' "
                           "order by rec_time")
                .arg(columns, from, to);
        // A plan that hands over its first rows at once (the time index, then a sort
        // of each poll's rows) rather than one that sorts the whole period before
        // the first page: the first FETCH must not hold the thread for seconds.
        if (!m_query.exec(QStringLiteral("set local cursor_tuple_fraction = 0.0001")) || !m_query.exec(declare))
            return fail(errorText(m_query.lastError()));
    } else {
        const QString select = QStringLiteral("select rec_time, %1 from Sensors_history "
                                              "where rec_time >= ? and rec_time <= ? "
                                              "order by rec_time")
                                   .arg(columns);
        if (!m_query.prepare(select))
            return fail(errorText(m_query.lastError()));
        m_query.addBindValue(history_time_text(period.from));
        m_query.addBindValue(history_time_text(period.to));
        if (!m_query.exec())
            return fail(errorText(m_query.lastError()));
    }
    m_done = false;
    return true;
}

void HistoryReader::flushBlock()
{
    if (m_block.empty())
        return;
    std::stable_sort(m_block.begin(), m_block.end(), [](const RawRow &a, const RawRow &b) {
        return a.sensor != b.sensor ? a.sensor < b.sensor : a.chanel < b.chanel;
    });
    if (m_table->view() == HistoryView::Rows) {
        for (const RawRow &r : m_block)
            m_table->appendRow(m_blockTime, r.sensor, r.chanel, r.nu, r.izm, r.vu);
    } else {
        // One row per poll (time and node); a channel written twice in one poll
        // keeps the larger value.
        std::size_t i = 0;
        while (i < m_block.size()) {
            const int sensor = m_block[i].sensor;
            std::array<double, 12> izm;
            izm.fill(std::numeric_limits<double>::quiet_NaN());
            for (; i < m_block.size() && m_block[i].sensor == sensor; ++i) {
                const RawRow &r = m_block[i];
                if (r.chanel < 1 || r.chanel > 12)
                    continue;
                double &cell = izm[std::size_t(r.chanel - 1)];
                if (std::isnan(cell) || r.izm > cell)
                    cell = r.izm;
            }
            m_table->appendCross(m_blockTime, sensor, izm);
        }
    }
    m_block.clear();
}

bool HistoryReader::fetch(int rows)
{
    if (m_done || !m_table)
        return true;
    if (m_postgres && !m_query.exec(QStringLiteral("fetch forward %1 from qlx_history").arg(rows)))
        return fail(errorText(m_query.lastError()));
    int read = 0;
    while (read < rows && m_query.next()) {
        ++read;
        const qint64 time = storedSeconds(m_query.value(0));
        if (!m_block.empty() && time != m_blockTime)
            flushBlock();
        m_blockTime = time;
        m_block.push_back({m_query.value(1).toInt(), m_query.value(2).toInt(), nullableDouble(m_query.value(3)),
                           nullableDouble(m_query.value(4)), nullableDouble(m_query.value(5))});
    }
    if (m_query.lastError().isValid())
        return fail(errorText(m_query.lastError()));
    if (read < rows) {
        flushBlock();
        finish();
        m_done = true;
    }
    return true;
}

void HistoryReader::finish()
{
    if (m_query.isActive())
        m_query.finish();
    if (m_inTransaction) {
        if (m_postgres) {
            QSqlQuery close(m_db);
            close.exec(QStringLiteral("close qlx_history"));
        }
        m_query = QSqlQuery();
        m_db.rollback(); // nothing was written: ending the snapshot is all
        m_inTransaction = false;
    }
    m_done = true;
}

} // namespace qlx
