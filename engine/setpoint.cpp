#include "engine/setpoint.h"

#include "base/node_table.h"
#include "base/unit_crc.h"
#include "line/transaction.h"
#include "line/unit_protocol.h"

#include <QRegularExpression>

#include <limits>

namespace qlx {

std::optional<std::int32_t> parse_thousandths(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^([+-]?)([0-9]*)(?:[.,]([0-9]*))?$"));
    const QRegularExpressionMatch m = number.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QString whole = m.captured(2);
    const QString fraction = m.captured(3);
    if (whole.isEmpty() && fraction.isEmpty())
        return std::nullopt;
    QString w = whole;
    while (w.size() > 1 && w.startsWith(QLatin1Char('0')))
        w.remove(0, 1);
    if (w.size() > 10)
        return std::nullopt;
    // Exact decimal arithmetic: the thousandths are the whole part and the first three
    // decimals; the decimals after them decide the rounding, a tie going to the even side.
    qint64 magnitude = w.isEmpty() ? 0 : w.toLongLong();
    const QString decimals = (fraction + QStringLiteral("000")).left(3);
    magnitude = magnitude * 1000 + decimals.toLongLong();
    const QString rest = fraction.mid(3);
    if (!rest.isEmpty()) {
        const QChar lead = rest[0];
        const bool moreAfterLead = rest.mid(1).count(QLatin1Char('0')) != rest.size() - 1;
        if (lead > QLatin1Char('5') || (lead == QLatin1Char('5') && (moreAfterLead || magnitude % 2 == 1)))
            ++magnitude;
    }
    const qint64 value = m.captured(1) == QStringLiteral("-") ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

int setpoint_register(int channel, int quantity)
{
    return 16 * (channel - 1) + 8 + 2 * quantity;
}

bool setpoint_confirmed(const QString &answerHex, int address, int first)
{
    // A node confirms a write by echoing its address, the function, the first register
    // and the register count, with a valid checksum; anything else is no confirmation.
    QByteArray echo;
    echo.append(char(address & 0xFF)).append(char(0x10));
    echo.append(char((first >> 8) & 0xFF)).append(char(first & 0xFF));
    echo.append(char(0x00)).append(char(0x02));
    try {
        return hex_to_bytes(answerHex) == append_crc(echo);
    } catch (const ConvertError &) {
        return false;
    }
}

bool SetpointWrite::valid() const
{
    return address >= 1 && address <= 255 && channel >= 1 && channel <= 12 && quantity >= 0 && quantity <= 3;
}

QCoro::Task<SetpointResult> write_setpoint(Transaction &line, SetpointWrite write)
{
    SetpointResult result;
    if (!write.valid())
        co_return result;
    result.sent = true;
    const int first = write.firstRegister();
    result.answer = co_await Write_value(line, write.address, first, 2, write.thousandths);
    result.confirmed = result.answer != word::TimeOut && setpoint_confirmed(result.answer, write.address, first);
    co_return result;
}

int find_slot(int address)
{
    int found = 0;
    for (int n = 1; n <= kSlots && arr_nodes[n].address != 0; ++n)
        if (arr_nodes[n].address == address)
            found = n;
    return found;
}

void store_setpoint(const SetpointWrite &write)
{
    if (!write.valid())
        return;
    const int n = find_slot(write.address);
    if (n == 0)
        return;
    Tarr_node &node = arr_nodes[n];
    const std::int32_t point = node.channels[write.channel].point;
    const std::int32_t v = point >= 1 && point <= 4 ? write.thousandths : 0;
    Tarr_setup &s = node.setup[write.channel];
    switch (static_cast<Threshold>(write.quantity)) {
    case Threshold::Nu:
        s.nu = v;
        break;
    case Threshold::Vu:
        s.vu = v;
        break;
    case Threshold::GisNu:
        s.gis_nu = v;
        break;
    case Threshold::GisVu:
        s.gis_vu = v;
        break;
    }
}

} // namespace qlx
