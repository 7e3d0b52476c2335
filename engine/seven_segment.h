// The device window's two seven-segment readouts as masks: which segments of
// each digit are lit. No widget: the window paints what these functions return.
//
// A mask has one bit per segment: 1 top, 2 middle, 4 bottom, 8 upper left,
// 16 upper right, 32 lower left, 64 lower right, 128 the decimal point after
// the digit. Readouts are given left to right.
#pragma once

#include <QtGlobal>

#include <array>
#include <cstdint>

namespace qlx {

namespace segment {
inline constexpr quint8 kBlank = 0;
inline constexpr quint8 kMinus = 2;
inline constexpr quint8 kMinusOne = 82;   // minus joined to a 1: -1999..-1000
inline constexpr quint8 kThreeBars = 7;   // below -1999: does not fit
inline constexpr quint8 kPoint = 128;
// The letters П Р О Г, shown while the controller is in programming mode.
inline constexpr std::array<quint8, 4> kProg = {121, 59, 125, 41};
} // namespace segment

// Masks of the digits 0..9.
inline constexpr std::array<quint8, 10> kDigitMasks = {125, 80, 55, 87, 90, 79, 111, 81, 127, 95};

// The thousands, hundreds, tens and units digit of n's decimal text. Digits left
// of the thousands are dropped. For a negative n above -1000 the thousands place
// holds the marker kNegativeMarker (the place is free for the sign).
inline constexpr int kNegativeMarker = 5555;
struct SplitDigits {
    int d4 = 0, d3 = 0, d2 = 0, d1 = 0;
    bool operator==(const SplitDigits &) const = default;
};
SplitDigits split_digits(std::int32_t n);

// The red four-digit readout for n in units of the last shown decimal place,
// point code p: 1 three decimals, 2 two, 3 one, 4 none. Leading zeros are
// blanked where the point allows, a negative value gets the minus in the
// leftmost place, and a value below -999 gets a joined minus-one (down to -1999)
// or three bars there. Any other p leaves 0000 (apart from that leftmost mark).
std::array<quint8, 4> red_value(std::int32_t n, int p);

// The green two-digit readout of channel c (1..12): a blank or a 1, then the units digit.
std::array<quint8, 2> green_value(int c);

} // namespace qlx
