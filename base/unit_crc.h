// Hex codec and the CRC-16 frame checksum of the controller line.
//
// Frames are byte strings (QByteArray, one byte per character, no code page).
// Hex text is two uppercase hexadecimal digits per byte without separators.
// Every function here is pure.
#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

namespace qlx {

// Raised when a text cannot be converted into a number (a bad hex digit, an
// empty text, a negative number where only non-negative ones make sense).
class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const QString &offending);
    QString text() const { return m_text; }

private:
    QString m_text;
};

inline const QString kHexAlphabet = QStringLiteral("0123456789ABCDEF");
inline const QString kBinAlphabet = QStringLiteral("01");

// The two lowest hexadecimal digits of n (n mod 256), uppercase. n < 0 raises ConvertError.
QString byte_to_hex(int n);
// First two characters of a hex text as a byte; one character reads as "0" + it.
// Any non-hex character, or an empty text, raises ConvertError.
int hex_to_byte(const QString &text);
// Positional value of a digit text in the alphabet; a foreign character counts -1.
// Wraps at 32 bits. Only the first (length mod 256) characters are used.
int digits_to_int(const QString &text, const QString &alphabet);
// Digits of n in the alphabet's base without leading zeros. n < 0 raises ConvertError.
QString int_to_digits(int n, const QString &alphabet);
// Digit-by-digit hexadecimal subtraction a - b over 9 digits; the last 8 digits.
// hex_sub("100000000", hex(m)) is the 32-bit two's complement of -m.
QString hex_sub(const QString &a, const QString &b);

// CRC-16/MODBUS of a byte string (register 0xFFFF, polynomial 0xA001 reflected, no final xor).
quint16 crc16(const QByteArray &bytes);
// The frame followed by its CRC, low byte first.
QByteArray append_crc(const QByteArray &frame);
// True when the last two bytes are the CRC of the bytes before them.
bool crc_ok(const QByteArray &frame);

// Hex text of a byte string, and back. A trailing odd character is ignored;
// a bad digit raises ConvertError.
QString bytes_to_hex(const QByteArray &bytes);
QByteArray hex_to_bytes(const QString &hex);

} // namespace qlx
