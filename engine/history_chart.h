// What the history chart draws, without the window: the fields of its top panel
// checked when the operator changes them, the span of time to look back, and at
// every refresh the rows of one channel read back from the history database.
//
// A refresh is one synchronous pass over the database link: it neither waits for
// nor processes events, so a refresh can never start inside another one.
#pragma once

#include "storage/unit_dm.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace qlx {

// "История мин." is 1 minute to a whole day; "Обновление сек." 1 second to an hour.
inline constexpr int kChartMaxMinutes = 24 * 60;
inline constexpr int kChartMaxRefreshSeconds = 3600;

// The value of "История мин.", or the text of the error that refuses it.
std::optional<int> chart_minutes(const QString &text, QString *error);
// The value of "Обновление сек.", or the text of the error that refuses it.
std::optional<int> chart_refresh_seconds(const QString &text, QString *error);
// The start of the chart's window: `minutes` before `now`.
QDateTime chart_window_start(const QDateTime &now, int minutes);

// The rows of one refresh, in ascending time, and the value range of all three
// lines over them.
struct ChartLoad {
    QList<HistoryRow> rows;
    double minValue = 0;
    double maxValue = 0;
};

class HistoryChart {
public:
    explicit HistoryChart(TDM_local &dm) : m_dm(dm) {}

    // The address list at creation: the bus addresses of the node table from slot 1
    // up to the first empty slot.
    static QStringList nodeAddresses();
    // "Заполнить всеми возможными": every controller address in the history, in the
    // order the database lists them. Empty when the database cannot be read.
    std::optional<QStringList> allAddresses();

    // `load_history`: the rows of the channel since `minutes` before `now`. Empty when
    // the address or channel is not a number, when the window holds no row, or when
    // the database cannot be read (the chart then draws nothing until a later refresh).
    std::optional<ChartLoad> load_history(const QString &address, const QString &channel, int minutes,
                                          const QDateTime &now);

private:
    TDM_local &m_dm;
};

} // namespace qlx
