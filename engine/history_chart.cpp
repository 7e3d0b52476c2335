#include "engine/history_chart.h"

#include "base/node_table.h"

#include <algorithm>

namespace qlx {

namespace {

std::optional<int> boundedNumber(const QString &text, int low, int high, const QString &field, QString *error)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok && value >= low && value <= high)
        return value;
    if (error)
        *error = QStringLiteral("\"%1\" - недопустимое значение поля \"%2\": нужно целое число от %3 до %4")
                     .arg(text, field)
                     .arg(low)
                     .arg(high);
    return std::nullopt;
}

std::optional<int> number(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

} // namespace

std::optional<int> chart_minutes(const QString &text, QString *error)
{
    return boundedNumber(text, 1, kChartMaxMinutes, QStringLiteral("История мин."), error);
}

std::optional<int> chart_refresh_seconds(const QString &text, QString *error)
{
    return boundedNumber(text, 1, kChartMaxRefreshSeconds, QStringLiteral("Обновление сек."), error);
}

QDateTime chart_window_start(const QDateTime &now, int minutes)
{
    return now.addSecs(-qint64(minutes) * 60);
}

QStringList HistoryChart::nodeAddresses()
{
    QStringList list;
    for (int slot = 1; slot < kSlots && arr_nodes[slot].address != 0; ++slot)
        list.append(QString::number(arr_nodes[slot].address));
    return list;
}

std::optional<QStringList> HistoryChart::allAddresses()
{
    const auto sensors = m_dm.sensors();
    if (!sensors)
        return std::nullopt;
    QStringList list;
    for (int sensor : *sensors)
        list.append(QString::number(sensor));
    return list;
}

std::optional<ChartLoad> HistoryChart::load_history(const QString &address, const QString &channel, int minutes,
                                                    const QDateTime &now)
{
    const auto sensor = number(address);
    const auto chanel = number(channel);
    if (!sensor || !chanel)
        return std::nullopt;
    const QDateTime time1 = chart_window_start(now, minutes);
    // The aggregate first: its maximum is null when the window holds no row, and
    // then the rows are not read at all.
    const auto range = m_dm.max_min(*sensor, *chanel, time1);
    if (!range || range->max_nu.isNull())
        return std::nullopt;
    auto rows = m_dm.chart_rows(*sensor, *chanel, time1);
    if (!rows || rows->isEmpty())
        return std::nullopt;
    // The value range comes from the rows drawn, so a row stored between the two
    // statements still fits on the chart.
    ChartLoad load;
    load.rows = std::move(*rows);
    load.minValue = load.maxValue = load.rows.first().izm;
    for (const HistoryRow &row : std::as_const(load.rows)) {
        load.minValue = std::min({load.minValue, row.nu, row.vu, row.izm});
        load.maxValue = std::max({load.maxValue, row.nu, row.vu, row.izm});
    }
    return load;
}

} // namespace qlx
