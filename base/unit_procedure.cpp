#include "base/unit_procedure.h"

#include <cmath>

#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <algorithm>

namespace qlx {

QString seconds_text(int ms)
{
    return QString::number(static_cast<qint64>(std::nearbyint(ms / 1000.0)));
}

namespace {

std::function<QDateTime()> &clock()
{
    static std::function<QDateTime()> c;
    return c;
}

} // namespace

QDateTime current_time()
{
    return clock() ? clock()() : QDateTime::currentDateTime();
}

void set_clock(std::function<QDateTime()> c)
{
    clock() = std::move(c);
}

QString time_stamp()
{
    return current_time().toString(QStringLiteral("dd.MM.yyyy hh:mm.ss"));
}

QCoro::Task<void> service_events(int ms)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(std::max(ms, 0));
    co_await qCoro(timer).waitForTimeout();
}

} // namespace qlx
