#include "base/unit_crc.h"

#include <array>
#include <cstdint>

namespace qlx {

ConvertError::ConvertError(const QString &offending)
    : std::runtime_error(QStringLiteral("'%1' is not a valid number").arg(offending).toStdString()),
      m_text(offending)
{
}

namespace {

// Value of one hexadecimal digit, either case; -1 for anything else.
int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

constexpr std::array<quint16, 256> makeCrcTable()
{
    std::array<quint16, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        quint16 reg = static_cast<quint16>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? static_cast<quint16>((reg >> 1) ^ 0xA001u) : static_cast<quint16>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();

} // namespace

QString byte_to_hex(int n)
{
    if (n < 0)
        throw ConvertError(QString::number(n));
    const int b = n % 256;
    return QString(kHexAlphabet[b >> 4]) + kHexAlphabet[b & 0xF];
}

int hex_to_byte(const QString &text)
{
    const QString t = text.size() == 1 ? QStringLiteral("0") + text : text;
    if (t.size() < 2)
        throw ConvertError(text);
    const int hi = hexDigit(t[0]);
    const int lo = hexDigit(t[1]);
    if (hi < 0 || lo < 0)
        throw ConvertError(text);
    return hi * 16 + lo;
}

int digits_to_int(const QString &text, const QString &alphabet)
{
    const int base = static_cast<int>(alphabet.size());
    const qsizetype used = text.size() % 256;
    std::uint32_t value = 0;
    for (qsizetype i = 0; i < used; ++i) {
        const int digit = static_cast<int>(alphabet.indexOf(text[i])); // -1 when absent
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
    return static_cast<int>(value);
}

QString int_to_digits(int n, const QString &alphabet)
{
    if (n < 0)
        throw ConvertError(QString::number(n));
    const int base = static_cast<int>(alphabet.size());
    if (base < 2)
        throw ConvertError(alphabet);
    if (n == 0)
        return QString(alphabet[0]);
    QString out;
    while (n > 0) {
        out.prepend(alphabet[n % base]);
        n /= base;
    }
    return out;
}

QString hex_sub(const QString &a, const QString &b)
{
    auto digits9 = [](QString s) {
        while (s.size() < 9)
            s.prepend(QLatin1Char('0'));
        std::array<int, 9> d{};
        for (int i = 0; i < 9; ++i) {
            d[i] = hexDigit(s[i]);
            if (d[i] < 0)
                throw ConvertError(s);
        }
        return d;
    };
    const auto x = digits9(a);
    const auto y = digits9(b);
    std::array<int, 9> r{};
    int borrow = 0;
    for (int i = 8; i >= 0; --i) {
        int d = x[i] - y[i] - borrow;
        borrow = d < 0 ? 1 : 0;
        if (d < 0)
            d += 16;
        r[i] = d;
    }
    QString out;
    for (int i = 1; i < 9; ++i)
        out += kHexAlphabet[r[i]];
    return out;
}

quint16 crc16(const QByteArray &bytes)
{
    quint16 reg = 0xFFFF;
    for (const char c : bytes)
        reg = static_cast<quint16>((reg >> 8) ^ kCrcTable[(reg ^ static_cast<quint8>(c)) & 0xFFu]);
    return reg;
}

QByteArray append_crc(const QByteArray &frame)
{
    const quint16 crc = crc16(frame);
    QByteArray out = frame;
    out.append(static_cast<char>(crc & 0xFF));
    out.append(static_cast<char>(crc >> 8));
    return out;
}

bool crc_ok(const QByteArray &frame)
{
    if (frame.size() < 2)
        return false;
    return append_crc(frame.left(frame.size() - 2)) == frame;
}

QString bytes_to_hex(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes)
        out += byte_to_hex(static_cast<quint8>(c));
    return out;
}

QByteArray hex_to_bytes(const QString &hex)
{
    QByteArray out;
    for (qsizetype i = 0; i + 1 < hex.size(); i += 2)
        out.append(static_cast<char>(hex_to_byte(hex.mid(i, 2))));
    return out;
}

} // namespace qlx
