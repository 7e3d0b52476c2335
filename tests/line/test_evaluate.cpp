// Frame builders, answer decoding and channel evaluation, without a line.
#include "base/node_table.h"
#include "line/unit_protocol.h"

#include <QTest>

using namespace qlx;

namespace {

Tarr_setup setup(int gain, int zero, int rangeMin, int pointPos, int nu = 0, int vu = 0, int gisNu = 0, int gisVu = 0)
{
    Tarr_setup s;
    s.gain = gain;
    s.zero = zero;
    s.range_min = rangeMin;
    s.point_pos = pointPos;
    s.nu = nu;
    s.vu = vu;
    s.gis_nu = gisNu;
    s.gis_vu = gisVu;
    return s;
}

} // namespace

class TestEvaluate : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    void evaluateChannel_data()
    {
        QTest::addColumn<Tarr_setup>("s");
        QTest::addColumn<int>("raw");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("point");
        QTest::addColumn<int>("alarmNu");
        QTest::addColumn<int>("alarmVu");
        // h = (gain/65536 * (raw - zero) + range_min) / 1000
        QTest::newRow("hundredths, no alarm") << setup(65536, 0, 0, 1, 1000, 2000) << 1234 << 123 << 2 << 0 << 0;
        QTest::newRow("tenths, 2.5 ties to even") << setup(65536, 0, 0, 2, -10000, 10000) << 250 << 2 << 3 << 0 << 0;
        QTest::newRow("tenths, 7.5 ties to even") << setup(65536, 0, 0, 2, -10000, 10000) << 750 << 8 << 3 << 0 << 0;
        QTest::newRow("thousandths") << setup(65536, 0, 0, 0, 0, 5000) << 1234 << 1234 << 1 << 0 << 0;
        QTest::newRow("raw below zero code") << setup(65536, 1000, 0, 0, -5000, 5000) << 400 << -600 << 1 << 0 << 0;
        QTest::newRow("range_min added after scaling")
            << setup(2 * 65536, 0, -50000, 1, -100000, 100000) << 100 << -4980 << 2 << 0 << 0;
        // Units: at most four characters of the decimal text of round(h), from max(1, L-6).
        QTest::newRow("units keep four digits")
            << setup(65536, 0, 1234567000, 3, -1000000000, 2000000000) << 0 << 1234 << 4 << 0 << 0;
        QTest::newRow("units compared in thousandths")
            << setup(65536, 0, -42000, 3, -41000, 0) << 0 << -42 << 4 << 1 << 0;
        QTest::newRow("lower alarm with the upper hysteresis")
            << setup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 1020 << 1020 << 1 << 1 << 0;
        QTest::newRow("below nu - gis_nu") << setup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 899 << 899 << 1 << 1 << 0;
        QTest::newRow("exactly nu + gis_vu is not below")
            << setup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 1050 << 1050 << 1 << 0 << 0;
        QTest::newRow("above vu - gis_nu") << setup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 4901 << 4901 << 1 << 0 << 1;
        QTest::newRow("exactly vu - gis_nu is not above")
            << setup(65536, 0, 0, 0, 1000, 5000, 100, 50) << 4900 << 4900 << 1 << 0 << 0;
        QTest::newRow("both alarms when the band is inverted")
            << setup(65536, 0, 0, 0, 3000, 1000) << 2000 << 2000 << 1 << 1 << 1;
        QTest::newRow("hundredths compared in thousandths")
            << setup(65536, 0, 0, 1, 1000, 1200) << 1250 << 125 << 2 << 0 << 1;
    }
    void evaluateChannel()
    {
        QFETCH(Tarr_setup, s);
        QFETCH(int, raw);
        arr_nodes[1].address = 7;
        Evaluate_channel(1, 3, s, raw);
        const Tarr_channel &ch = arr_nodes[1].channels[3];
        QTEST(int(ch.value), "value");
        QTEST(int(ch.point), "point");
        QTEST(int(ch.alarm_nu), "alarmNu");
        QTEST(int(ch.alarm_vu), "alarmVu");
    }

    void unitsDigitRule_data()
    {
        QTest::addColumn<int>("rounded");
        QTest::addColumn<int>("value");
        QTest::newRow("1234") << 1234 << 1234;
        QTest::newRow("56789") << 56789 << 5678;
        QTest::newRow("1234567") << 1234567 << 1234;
        QTest::newRow("12345678") << 12345678 << 2345;
        QTest::newRow("-42") << -42 << -42;
        QTest::newRow("-56789") << -56789 << -567;
        QTest::newRow("0") << 0 << 0;
    }
    void unitsDigitRule()
    {
        QFETCH(int, rounded);
        QTEST(int(units_display_value(rounded)), "value");
    }

    void unknownPointKeepsReadingButReevaluatesAlarms()
    {
        arr_nodes[1].channels[2] = Tarr_channel{500, 1, 0, 1};
        Evaluate_channel(1, 2, setup(65536, 0, 0, 7, 1000, 2000), 9999);
        const Tarr_channel &ch = arr_nodes[1].channels[2];
        QCOMPARE(ch.value, 500);
        QCOMPARE(ch.point, 1);
        QCOMPARE(int(ch.alarm_nu), 1); // 500 < 1000
        QCOMPARE(int(ch.alarm_vu), 0);
    }

    void regsToInt32_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("value");
        QTest::newRow("low word first") << QByteArray::fromHex("E2400001") << 123456;
        QTest::newRow("minus one") << QByteArray::fromHex("FFFFFFFF") << -1;
        QTest::newRow("negative") << QByteArray::fromHex("1DC0FFFE") << -123456;
        QTest::newRow("two bytes unsigned") << QByteArray::fromHex("FFFE") << 65534;
    }
    void regsToInt32()
    {
        QFETCH(QByteArray, bytes);
        QTEST(int(regs_to_int32(bytes)), "value");
    }

    void setupBlock()
    {
        // gain 65536, zero 10, point 2, min -1000, max 99000, nu 1500, vu 2500, gis 20 / 30, raw 1234
        const QByteArray block = QByteArray::fromHex("00000001" "000A" "0002" "FC18FFFF" "82B80001"
                                                     "05DC0000" "09C40000" "00140000" "001E0000" "04D2");
        QCOMPARE(block.size(), 34);
        const Tarr_setup s = Parse_setup_block(block);
        QCOMPARE(last_result, QString());
        QCOMPARE(s.gain, 65536);
        QCOMPARE(s.zero, 10);
        QCOMPARE(s.point_pos, 2);
        QCOMPARE(s.range_min, -1000);
        QCOMPARE(s.range_max, 99000);
        QCOMPARE(s.nu, 1500);
        QCOMPARE(s.vu, 2500);
        QCOMPARE(s.gis_nu, 20);
        QCOMPARE(s.gis_vu, 30);
        QCOMPARE(s.raw, 1234);
        QCOMPARE(s.conv_error, 0);

        Tarr_setup previous = s;
        previous.nu = 777;
        const Tarr_setup failed = Parse_setup_block(block.left(33), previous);
        QCOMPARE(last_result, word::ErrorConvert);
        QCOMPARE(failed.conv_error, 999);
        QCOMPARE(failed.nu, 777); // undecodable fields keep the previous values
    }

    void parseIdentify_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("spec");
        QTest::newRow("full answer") << QByteArray::fromHex("05110521FF514C58") << "" << 2 << 1 << 255 << QByteArray("QLX");
        QTest::newRow("n = 2, no extra bytes") << QByteArray::fromHex("0511023707") << "" << 3 << 7 << 7 << QByteArray();
        QTest::newRow("identity 4A stops at the letter") << QByteArray::fromHex("0511054AFF514C58") << "" << 4 << 0 << 0
                                                         << QByteArray();
        QTest::newRow("another address") << QByteArray::fromHex("0611023707") << "Bad nomer" << 0 << 0 << 0 << QByteArray();
        QTest::newRow("another function") << QByteArray::fromHex("0591023707") << "Bad command" << 0 << 0 << 0
                                          << QByteArray();
        QTest::newRow("extra bytes cut by the answer") << QByteArray::fromHex("0511082101414243") << "" << 2 << 1 << 1
                                                          << QByteArray("ABC");
    }
    void parseIdentify()
    {
        QFETCH(QByteArray, answer);
        QString w = QStringLiteral("stale");
        const TAnswer_11H a = Parse_identify(5, answer, w);
        QTEST(w, "word");
        QTEST(int(a.device_type), "type");
        QTEST(int(a.device_number), "number");
        QTEST(int(a.run_status), "status");
        QTEST(a.specification, "spec");
    }

    void requestFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("identify 1") << Build_identify(1) << QByteArray::fromHex("0111C02C");
        QTest::newRow("read 2 from 0") << Build_read_request(1, 0, 2) << QByteArray::fromHex("010300000002C40B");
        QTest::newRow("write 123456") << Build_write_request(1, 8, 2, 123456)
                                      << QByteArray::fromHex("01100008000204E24000010465");
        QTest::newRow("baud 9600") << Build_set_baud(QStringLiteral("9600")) << QByteArray::fromHex("0013033CF1");
        QTest::newRow("baud 1200") << Build_set_baud(QStringLiteral("1200")) << QByteArray::fromHex("0013007CF0");
        QTest::newRow("baud 38400 has no code") << Build_set_baud(QStringLiteral("38400")) << QByteArray::fromHex("0013407D");
        QTest::newRow("restart 200") << Build_diag_request(200, 1, 0) << QByteArray::fromHex("C80800010000A052");
    }
    void requestFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, expected);
        QCOMPARE(frame.toHex(' ').toUpper(), expected.toHex(' ').toUpper());
    }

    void writeValueData_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("0") << 0 << QByteArray::fromHex("00000000");
        QTest::newRow("-1") << -1 << QByteArray::fromHex("FFFFFFFF");
        QTest::newRow("-123456") << -123456 << QByteArray::fromHex("1DC0FFFE");
        QTest::newRow("int min") << INT32_MIN << QByteArray::fromHex("00008000");
        QTest::newRow("int max") << INT32_MAX << QByteArray::fromHex("FFFF7FFF");
    }
    void writeValueData()
    {
        QFETCH(int, value);
        QFETCH(QByteArray, data);
        const QByteArray frame = Build_write_request(9, 24, 2, value);
        QCOMPARE(frame.mid(7, 4).toHex().toUpper(), data.toHex().toUpper());
        QCOMPARE(regs_to_int32(frame.mid(7, 4)), value); // what a read of the same registers gives back
    }

    void stateDecoding()
    {
        const Tarr_state st = decode_state(QByteArray::fromHex("E505"));
        QCOMPARE(st, (Tarr_state{1, 1, 1, 5, 5}));
        QCOMPARE(decode_state(QByteArray::fromHex("180C")), (Tarr_state{0, 0, 0, 0, 12})); // bits 4, 3 unused
    }

    void tableWalksEndAtSlot256()
    {
        for (int n = 1; n <= 255; ++n)
            arr_nodes[n].address = n;
        QCOMPARE(filled_slot_count(), 255);
        QCOMPARE(arr_nodes[256].address, 0);
        reset_node_addresses();
        QCOMPARE(filled_slot_count(), 0);
    }

    void gridReset()
    {
        arr_cells(3, 5).font_style = fsBold;
        arr_cells(0, 5).font_style = fsBold;
        arr_cells(3, 5).text = QStringLiteral("12,5");
        reset_cell_grid();
        QCOMPARE(arr_cells(0, 5), (T_cell{QString(), clBlack, 8, 0, clBtnFace, 2}));
        QCOMPARE(arr_cells(3, 5), (T_cell{QString(), clBlack, 8, fsBold, clWhite, 0})); // style kept
        QCOMPARE(arr_cells(14, 255).back_color, clWhite);
    }
};

QTEST_GUILESS_MAIN(TestEvaluate)
#include "test_evaluate.moc"
