// quorlex-ctl argument checking and value conversion, without a line.
#include "tools/ctl/ctl_app.h"

#include "base/unit_crc.h"

#include <QTest>

#include <limits>

using namespace qlx::ctl;

Q_DECLARE_METATYPE(qlx::ctl::Options)

namespace {

Options on(const QString &port, Command command)
{
    Options o;
    o.port = port;
    o.command = command;
    return o;
}

} // namespace

class TestCtlArgs : public QObject {
    Q_OBJECT
private slots:
    void accepted_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Options>("expected");

        QTest::newRow("scan defaults to the whole range") << QStringList{"--port", "/dev/x", "scan"}
                                                           << on("/dev/x", Command::Scan);
        {
            Options e = on("/dev/x", Command::Scan);
            e.first = 10;
            e.last = 20;
            e.waitMs = 250;
            QTest::newRow("line options after the command")
                << QStringList{"scan", "10", "20", "--port", "/dev/x", "--wait", "250"} << e;
        }
        {
            Options e = on("/dev/ttyUSB0", Command::Read);
            e.address = 255;
            e.baud = 19200;
            e.fast = true;
            e.json = true;
            QTest::newRow("read with every line option")
                << QStringList{"--port=/dev/ttyUSB0", "--baud", "19200", "--fast", "--json", "read", "255"} << e;
        }
        {
            Options e = on("p", Command::Watch);
            e.address = 5;
            e.intervalMs = 250;
            e.count = 3;
            QTest::newRow("watch") << QStringList{"--port", "p", "watch", "5", "--interval", "250", "--count=3"}
                                   << e;
        }
        {
            Options e = on("p", Command::Write);
            e.address = 17;
            e.channel = 12;
            e.quantity = 3;
            e.thousandths = -1500;
            QTest::newRow("write a negative value with a comma")
                << QStringList{"--port", "p", "write", "17", "12", "gis_vu", "-1,5"} << e;
        }
        {
            Options e = on("p", Command::Write);
            e.address = 1;
            e.channel = 1;
            e.quantity = 0;
            e.thousandths = 250;
            QTest::newRow("write nu") << QStringList{"--port", "p", "write", "1", "1", "nu", ".25"} << e;
        }
        {
            Options e = on("p", Command::Diag);
            e.address = 9;
            e.diag = DiagKind::Listen;
            QTest::newRow("diag listen") << QStringList{"--port", "p", "diag", "9", "listen"} << e;
        }
        {
            Options e = on("p", Command::Baud);
            e.speed = "4800";
            QTest::newRow("baud keeps the speed it is sent at") << QStringList{"--port", "p", "baud", "4800"} << e;
        }
        {
            Options e = on("p", Command::Raw);
            e.frame = QByteArray("\x01\x11", 2);
            e.crc = true;
            e.cap = 13;
            QTest::newRow("raw, lower-case hex") << QStringList{"--port", "p", "raw", "0111", "--crc", "--cap", "13"}
                                                 << e;
            e.frame = QByteArray("\xAB\xCD", 2);
            e.crc = false;
            e.cap = 256;
            QTest::newRow("raw, mixed case") << QStringList{"--port", "p", "raw", "aBcD"} << e;
        }
        QTest::newRow("help wins over everything") << QStringList{"read", "0", "--bogus", "--help"} << Options{};
    }

    void accepted()
    {
        QFETCH(QStringList, args);
        QFETCH(Options, expected);
        QCOMPARE(parse_arguments(args), expected);
    }

    void rejected_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no command") << QStringList{"--port", "p"};
        QTest::newRow("no port") << QStringList{"read", "1"};
        QTest::newRow("unknown command") << QStringList{"--port", "p", "reboot", "1"};
        QTest::newRow("unknown parameter") << QStringList{"--port", "p", "read", "1", "--verbose"};
        QTest::newRow("option of another command") << QStringList{"--port", "p", "read", "1", "--crc"};
        QTest::newRow("option without its value") << QStringList{"read", "1", "--port"};
        QTest::newRow("option followed by an option") << QStringList{"--port", "--json", "read", "1"};
        QTest::newRow("switch with a value") << QStringList{"--port", "p", "--json=1", "read", "1"};
        QTest::newRow("negative wait") << QStringList{"--port", "p", "--wait", "-5", "read", "1"};
        QTest::newRow("baud not a number") << QStringList{"--port", "p", "--baud", "fast", "read", "1"};
        QTest::newRow("address 0") << QStringList{"--port", "p", "read", "0"};
        QTest::newRow("address 256") << QStringList{"--port", "p", "identify", "256"};
        QTest::newRow("address in hex") << QStringList{"--port", "p", "read", "0x11"};
        QTest::newRow("extra argument") << QStringList{"--port", "p", "read", "1", "2"};
        QTest::newRow("scan range reversed") << QStringList{"--port", "p", "scan", "20", "10"};
        QTest::newRow("channel 0") << QStringList{"--port", "p", "write", "1", "0", "nu", "1"};
        QTest::newRow("channel 13") << QStringList{"--port", "p", "write", "1", "13", "nu", "1"};
        QTest::newRow("unknown quantity") << QStringList{"--port", "p", "write", "1", "1", "range_max", "1"};
        QTest::newRow("value missing") << QStringList{"--port", "p", "write", "1", "1", "nu"};
        QTest::newRow("bad number") << QStringList{"--port", "p", "write", "1", "1", "nu", "1.2.3"};
        QTest::newRow("unknown diagnostic") << QStringList{"--port", "p", "diag", "1", "reset"};
        QTest::newRow("line speed outside the five") << QStringList{"--port", "p", "baud", "14400"};
        QTest::newRow("bad hex digit") << QStringList{"--port", "p", "raw", "01G1"};
        QTest::newRow("odd hex") << QStringList{"--port", "p", "raw", "011"};
        QTest::newRow("empty frame") << QStringList{"--port", "p", "raw", ""};
        QTest::newRow("cap 0") << QStringList{"--port", "p", "raw", "0111", "--cap", "0"};
    }

    void rejected()
    {
        QFETCH(QStringList, args);
        try {
            parse_arguments(args);
            QFAIL("accepted");
        } catch (const UsageError &e) {
            QVERIFY(!e.message().isEmpty());
            QVERIFY(!e.message().contains(QLatin1Char('\n')));
        }
    }
};

QTEST_GUILESS_MAIN(TestCtlArgs)
#include "test_ctl_args.moc"
