// Hex codec and CRC-16 of the controller line.
#include "base/unit_crc.h"

#include <QTest>

using namespace qlx;

class TestCodec : public QObject {
    Q_OBJECT
private slots:
    void crcFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("withCrc");
        // Published check value of CRC-16/MODBUS: "123456789" -> 0x4B37, sent 37 4B.
        QTest::newRow("check digits") << QByteArray("123456789") << QByteArray("123456789\x37\x4B");
        QTest::newRow("identify node 1") << QByteArray::fromHex("0111") << QByteArray::fromHex("0111C02C");
        QTest::newRow("read 2 registers of node 1")
            << QByteArray::fromHex("010300000002") << QByteArray::fromHex("010300000002C40B");
        QTest::newRow("empty frame") << QByteArray() << QByteArray::fromHex("FFFF");
        QTest::newRow("set baud 9600") << QByteArray::fromHex("001303") << QByteArray::fromHex("0013033CF1");
        QTest::newRow("restart node 200")
            << QByteArray::fromHex("C80800010000") << QByteArray::fromHex("C80800010000A052");
    }
    void crcFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, withCrc);
        QCOMPARE(append_crc(frame), withCrc);
        QVERIFY(crc_ok(withCrc));
        QByteArray broken = withCrc;
        broken[broken.size() - 1] = char(broken.back() ^ 0x01);
        QVERIFY(!crc_ok(broken));
    }

    void crcOkShortStrings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("ok");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("one byte") << QByteArray::fromHex("FF") << false;
        QTest::newRow("FF FF is the CRC of nothing") << QByteArray::fromHex("FFFF") << true;
    }
    void crcOkShortStrings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, ok);
        QCOMPARE(crc_ok(bytes), ok);
    }

    void hexToByte_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -1: conversion error
        QTest::newRow("one digit") << "7" << 7;
        QTest::newRow("only two digits used") << "7F3" << 127;
        QTest::newRow("lowercase") << "fe" << 254;
        QTest::newRow("bad digit") << "G0" << -1;
        QTest::newRow("bad second digit") << "0z" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("sign is not a digit") << "-1" << -1;
    }
    void hexToByte()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        if (value < 0) {
            QVERIFY_THROWS_EXCEPTION(ConvertError, hex_to_byte(text));
            return;
        }
        QCOMPARE(hex_to_byte(text), value);
    }

    void byteToHex_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("text"); // empty: refused
        QTest::newRow("0") << 0 << "00";
        QTest::newRow("10") << 10 << "0A";
        QTest::newRow("255") << 255 << "FF";
        QTest::newRow("300 wraps") << 300 << "2C";
        QTest::newRow("256 wraps") << 256 << "00";
        QTest::newRow("negative refused") << -1 << "";
    }
    void byteToHex()
    {
        QFETCH(int, n);
        QFETCH(QString, text);
        if (text.isEmpty()) {
            QVERIFY_THROWS_EXCEPTION(ConvertError, byte_to_hex(n));
            return;
        }
        QCOMPARE(byte_to_hex(n), text);
    }

    void digits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("alphabet");
        QTest::addColumn<int>("value");
        QTest::newRow("FF") << "FF" << kHexAlphabet << 255;
        QTest::newRow("lowercase counts -1 each") << "ff" << kHexAlphabet << -17;
        QTest::newRow("binary 101") << "101" << kBinAlphabet << 5;
        QTest::newRow("empty") << "" << kHexAlphabet << 0;
        QTest::newRow("wraps at 32 bits") << "100000001" << kHexAlphabet << 1;
        // Only (length mod 256) characters count: 257 ones read as a single "1".
        QTest::newRow("length mod 256") << QString(257, QLatin1Char('1')) << kBinAlphabet << 1;
    }
    void digits()
    {
        QFETCH(QString, text);
        QFETCH(QString, alphabet);
        QFETCH(int, value);
        QCOMPARE(digits_to_int(text, alphabet), value);
    }

    void intToDigits_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("alphabet");
        QTest::addColumn<QString>("text"); // empty: refused
        QTest::newRow("zero binary") << 0 << kBinAlphabet << "0";
        QTest::newRow("five binary") << 5 << kBinAlphabet << "101";
        QTest::newRow("255 hex") << 255 << kHexAlphabet << "FF";
        QTest::newRow("max int hex") << 2147483647 << kHexAlphabet << "7FFFFFFF";
        QTest::newRow("negative refused") << -5 << kHexAlphabet << "";
    }
    void intToDigits()
    {
        QFETCH(int, n);
        QFETCH(QString, alphabet);
        QFETCH(QString, text);
        if (text.isEmpty()) {
            QVERIFY_THROWS_EXCEPTION(ConvertError, int_to_digits(n, alphabet));
            return;
        }
        QCOMPARE(int_to_digits(n, alphabet), text);
        QCOMPARE(digits_to_int(text, alphabet), n);
    }

    void hexSub_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<QString>("result");
        QTest::newRow("-5") << "100000000" << "5" << "FFFFFFFB";
        QTest::newRow("-1") << "100000000" << "1" << "FFFFFFFF";
        QTest::newRow("-123456") << "100000000" << "1E240" << "FFFE1DC0";
        QTest::newRow("-max") << "100000000" << "7FFFFFFF" << "80000001";
        QTest::newRow("plain difference") << "ABC" << "A" << "00000AB2";
    }
    void hexSub()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, result);
        QCOMPARE(hex_sub(a, b), result);
    }

    void hexText()
    {
        const QByteArray frame = QByteArray::fromHex("011000080002C00A");
        QCOMPARE(bytes_to_hex(frame), QStringLiteral("011000080002C00A"));
        QCOMPARE(hex_to_bytes(QStringLiteral("011000080002C00A")), frame);
        QCOMPARE(hex_to_bytes(QStringLiteral("0111C")), QByteArray::fromHex("0111")); // odd tail ignored
        QVERIFY_THROWS_EXCEPTION(ConvertError, hex_to_bytes(QStringLiteral("01X1")));
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "test_codec.moc"
