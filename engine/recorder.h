// The history half of recording a node reading: the twelve database rows of
// one poll, written as one transaction (all or none), with the failure report
// of every channel whose row could not be written (event-log line, status
// panel 1, alerts-log entry). The interface gets a turn of the event loop
// before each node's rows; none inside the transaction, which holds the
// database's write lock.
#pragma once

#include <functional>

#include <qcoro/qcorotask.h>

namespace qlx {

class DailyLogs;
class Station;
class TDM_local;

// Writes the rows of slot n when `recording()` answers true. It is asked once per node,
// after the turn of the event loop, so unticking the menu item stops the rows from the
// next node on (the node being written keeps all its rows or none). An alerts-log write
// that fails is said by the station and does not stop the report.
QCoro::Task<void> record_history(Station &station, TDM_local &dm, DailyLogs &logs, int slot,
                                 std::function<bool()> recording);

// The values one channel's row carries: izm by the channel's point code, nu and vu from
// its setup block, each in display units.
struct HistoryValues {
    double izm = 0;
    double nu = 0;
    double vu = 0;
};
HistoryValues history_values(int slot, int channel);

} // namespace qlx
