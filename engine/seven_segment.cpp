#include "engine/seven_segment.h"

#include <QByteArray>

namespace qlx {

SplitDigits split_digits(std::int32_t n)
{
    const QByteArray text = QByteArray::number(n);
    const auto fromEnd = [&](qsizetype k) { return text.at(text.size() - k) - '0'; };
    SplitDigits d;
    d.d1 = fromEnd(1);
    if (n >= 10)
        d.d2 = fromEnd(2);
    if (n >= 100)
        d.d3 = fromEnd(3);
    if (n >= 1000)
        d.d4 = fromEnd(4);
    if (n < 0) {
        d.d4 = kNegativeMarker;
        if (n <= -10)
            d.d2 = fromEnd(2);
        if (n <= -100)
            d.d3 = fromEnd(3);
        if (n <= -1000)
            d.d4 = fromEnd(4);
    }
    return d;
}

namespace {

// The readout's digits by place, place 4 leftmost. Writing a number 0..9 shows
// its mask; any other number (the negative marker) leaves the digit as it was.
struct Readout {
    std::array<quint8, 5> mask{};

    quint8 &at(int place) { return mask[static_cast<std::size_t>(place)]; }
    void write(int place, int digit)
    {
        if (digit >= 0 && digit <= 9)
            at(place) = kDigitMasks[static_cast<std::size_t>(digit)];
    }
    void writeOrBlank(int place, bool blank, int digit)
    {
        if (blank)
            at(place) = segment::kBlank;
        else
            write(place, digit);
    }
};

} // namespace

std::array<quint8, 4> red_value(std::int32_t n, int p)
{
    Readout r;
    for (int place = 1; place <= 4; ++place)
        r.write(place, 0);
    const SplitDigits d = split_digits(n);
    const bool negative = n < 0;
    switch (p) {
    case 1: // x.xxx
        r.write(4, d.d4);
        r.write(3, d.d3);
        r.write(2, d.d2);
        r.write(1, d.d1);
        if (negative)
            r.at(4) = segment::kMinus;
        r.at(4) |= segment::kPoint;
        break;
    case 2: // xx.xx
        r.writeOrBlank(4, d.d4 == 0, d.d4);
        if (negative)
            r.at(4) = segment::kMinus;
        r.write(3, d.d3);
        r.write(2, d.d2);
        r.write(1, d.d1);
        r.at(3) |= segment::kPoint;
        break;
    case 3: // xxx.x
        r.writeOrBlank(4, d.d4 == 0, d.d4);
        r.writeOrBlank(3, d.d3 == 0 && (d.d4 == 0 || d.d4 == kNegativeMarker), d.d3);
        r.write(2, d.d2);
        r.write(1, d.d1);
        if (negative)
            r.at(4) = segment::kMinus;
        r.at(2) |= segment::kPoint;
        break;
    case 4: // xxxx
        r.writeOrBlank(4, d.d4 == 0, d.d4);
        r.writeOrBlank(3, r.at(4) == segment::kBlank && d.d3 == 0, d.d3);
        r.writeOrBlank(2, r.at(3) == segment::kBlank && d.d2 == 0, d.d2);
        r.write(1, d.d1);
        if (negative)
            r.at(4) = segment::kMinus;
        break;
    default:
        break;
    }
    if (n < -999) {
        r.at(4) = d.d4 == 1 ? segment::kMinusOne : segment::kThreeBars;
        if (p == 1)
            r.at(4) |= segment::kPoint;
    }
    return {r.at(4), r.at(3), r.at(2), r.at(1)};
}

std::array<quint8, 2> green_value(int c)
{
    const SplitDigits d = split_digits(c);
    const quint8 tens = d.d2 == 0 ? segment::kBlank : kDigitMasks[1];
    const quint8 units = d.d1 >= 0 && d.d1 <= 9 ? kDigitMasks[static_cast<std::size_t>(d.d1)] : kDigitMasks[0];
    return {tens, units};
}

} // namespace qlx
