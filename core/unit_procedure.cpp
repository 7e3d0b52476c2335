#include "core/unit_procedure.h"

namespace qlx {

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

} // namespace qlx
