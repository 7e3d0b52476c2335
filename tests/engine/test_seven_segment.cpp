// The seven-segment readouts: the decimal split and what the red and green
// readouts light, read back as text (blank "_", minus "-", the joined minus-one
// "j", three bars "≡", a lit point "." after its digit).
#include "engine/seven_segment.h"

#include <QTest>

using namespace qlx;

namespace {

template <std::size_t N>
QString shown(const std::array<quint8, N> &masks)
{
    QString text;
    for (const quint8 m : masks) {
        const quint8 plain = m & quint8(~segment::kPoint);
        QChar c = QLatin1Char('?');
        for (std::size_t d = 0; d < kDigitMasks.size(); ++d)
            if (kDigitMasks[d] == plain)
                c = QLatin1Char(char('0' + d));
        if (plain == segment::kBlank)
            c = QLatin1Char('_');
        else if (plain == segment::kMinus)
            c = QLatin1Char('-');
        else if (plain == segment::kMinusOne)
            c = QLatin1Char('j');
        else if (plain == segment::kThreeBars)
            c = QChar(0x2261);
        text += c;
        if (m & segment::kPoint)
            text += QLatin1Char('.');
    }
    return text;
}

} // namespace

class TestSevenSegment : public QObject {
    Q_OBJECT
private slots:
    void split_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QList<int>>("digits");
        QTest::newRow("7") << 7 << QList<int>{0, 0, 0, 7};
        QTest::newRow("305") << 305 << QList<int>{0, 3, 0, 5};
        QTest::newRow("-42") << -42 << QList<int>{kNegativeMarker, 0, 4, 2};
        QTest::newRow("-1234") << -1234 << QList<int>{1, 2, 3, 4};
        QTest::newRow("12345: last four") << 12345 << QList<int>{2, 3, 4, 5};
        QTest::newRow("-5") << -5 << QList<int>{kNegativeMarker, 0, 0, 5};
        QTest::newRow("lowest int32") << int(INT32_MIN) << QList<int>{3, 6, 4, 8};
    }
    void split()
    {
        QFETCH(int, n);
        QFETCH(QList<int>, digits);
        const SplitDigits d = split_digits(n);
        QCOMPARE((QList<int>{d.d4, d.d3, d.d2, d.d1}), digits);
    }

    void red_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("p");
        QTest::addColumn<QString>("text");
        QTest::newRow("1234 p1") << 1234 << 1 << "1.234";
        QTest::newRow("1234 p2") << 1234 << 2 << "12.34";
        QTest::newRow("1234 p3") << 1234 << 3 << "123.4";
        QTest::newRow("1234 p4") << 1234 << 4 << "1234";
        QTest::newRow("5 p1") << 5 << 1 << "0.005";
        QTest::newRow("5 p2") << 5 << 2 << "_0.05";
        QTest::newRow("5 p3") << 5 << 3 << "__0.5";
        QTest::newRow("5 p4") << 5 << 4 << "___5";
        QTest::newRow("-5 p1") << -5 << 1 << "-.005";
        QTest::newRow("-5 p2") << -5 << 2 << "-0.05";
        QTest::newRow("-5 p3") << -5 << 3 << "-_0.5";
        QTest::newRow("-5 p4") << -5 << 4 << "-005";
        QTest::newRow("-1234 p4") << -1234 << 4 << "j234";
        QTest::newRow("-999 p4") << -999 << 4 << "-999";
        QTest::newRow("-1000 p1") << -1000 << 1 << "j.000";
        QTest::newRow("-2500 p3") << -2500 << 3 << QString::fromUtf8("≡50.0");
        QTest::newRow("-2500 p1") << -2500 << 1 << QString::fromUtf8("≡.500");
        QTest::newRow("0 p4") << 0 << 4 << "___0";
        QTest::newRow("0 p1") << 0 << 1 << "0.000";
        QTest::newRow("12345 p4") << 12345 << 4 << "2345";
        QTest::newRow("1005 p4 inner zeros") << 1005 << 4 << "1005";
        QTest::newRow("40 p4") << 40 << 4 << "__40";
        QTest::newRow("point code 0") << 1234 << 0 << "0000";
        QTest::newRow("point code 5, negative") << -999 << 5 << "0000";
        QTest::newRow("point code 0, below -999") << -1500 << 0 << "j000";
    }
    void red()
    {
        QFETCH(int, n);
        QFETCH(int, p);
        QFETCH(QString, text);
        QCOMPARE(shown(red_value(n, p)), text);
    }

    void green_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("text");
        QTest::newRow("7") << 7 << "_7";
        QTest::newRow("1") << 1 << "_1";
        QTest::newRow("10") << 10 << "10";
        QTest::newRow("12") << 12 << "12";
    }
    void green()
    {
        QFETCH(int, channel);
        QFETCH(QString, text);
        QCOMPARE(shown(green_value(channel)), text);
    }
};

QTEST_GUILESS_MAIN(TestSevenSegment)
#include "test_seven_segment.moc"
