#include "engine/recorder.h"

#include "base/node_table.h"
#include "engine/station.h"
#include "base/unit_procedure.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"

namespace qlx {

HistoryValues history_values(int slot, int channel)
{
    const Tarr_channel &ch = arr_nodes[slot].channels[channel];
    const Tarr_setup &s = arr_nodes[slot].setup[channel];
    HistoryValues v;
    v.izm = double(ch.value) / point_divisor(ch.point); // units, or a channel never read: the integer itself
    // Every row carries its own channel's setpoints, also for a channel never read.
    v.nu = s.nu / 1000.0;
    v.vu = s.vu / 1000.0;
    return v;
}

QCoro::Task<void> record_history(Station &station, TDM_local &dm, DailyLogs &logs, int slot,
                                 std::function<bool()> recording)
{
    const int address = arr_nodes[slot].address;
    const QDateTime recTime = current_time(); // one time for the twelve rows of the poll
    co_await service_events();                // let the interface run before the node's rows
    if (!recording())
        co_return;
    QList<PollRow> rows;
    rows.reserve(kChannels);
    for (int c = 1; c <= kChannels; ++c) {
        const HistoryValues v = history_values(slot, c);
        rows.append({c, v.nu, v.vu, v.izm});
    }
    if (dm.write_node(address, recTime, rows))
        co_return;
    // None of the node's rows was written: each channel is reported.
    for (int c = 1; c <= kChannels; ++c) {
        const QString line = time_stamp() + QStringLiteral(" - Узел ") + QString::number(address) +
                             QStringLiteral("Ошибка записи в базу данных, канал - ") + QString::number(c);
        station.eventLog().append(line);
        station.setStatusPanel(1, line);
        station.writeLog(DailyLog::Alerts, [&] { logs.write_alert_row(slot, kAlertDbWriteFailed); });
    }
}

} // namespace qlx
