// Small shared routines: the station clock and the event-log time stamp.
#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace qlx {

// The station's notion of now; tests replace it to cross midnight or an hour.
QDateTime current_time();
void set_clock(std::function<QDateTime()> clock); // empty function: the system clock

// The current time as "dd.mm.yyyy hh:nn.ss" (seconds after a full stop).
QString time_stamp();

} // namespace qlx
