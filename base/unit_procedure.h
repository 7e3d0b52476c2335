// Small shared routines: the station clock, the event-log time stamp and the
// turn of the event loop that long operations give the user interface.
#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

#include <qcoro/qcorotask.h>

namespace qlx {

// The station's notion of now; tests replace it to cross midnight or an hour.
QDateTime current_time();
void set_clock(std::function<QDateTime()> clock); // empty function: the system clock

// The current time as "dd.mm.yyyy hh:nn.ss" (seconds after a full stop).
QString time_stamp();

// Seconds text of an interval: the milliseconds divided by 1000, rounded to the
// nearest whole number with halves to the even neighbour, in decimal.
QString seconds_text(int ms);

// Lets pending window events run (the operator's commands among them): finishes
// from the event loop once at least `ms` milliseconds have passed (0 or less:
// at its next turn). The timer is a precise one, so short waits keep their length.
QCoro::Task<void> service_events(int ms = 0);

} // namespace qlx
