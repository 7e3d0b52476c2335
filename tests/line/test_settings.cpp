// INI files and the serial settings file.
#include "line/comport.h"
#include "base/ini_file.h"
#include "base/station_folder.h"
#include "base/station_settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace qlx;

namespace {

QString writeFile(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini"));
    QDir().mkpath(dir.filePath(QStringLiteral("ini")));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void iniReadsWithoutRegardToCase()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, "; comment\r\n[quorlex]\r\ntimout = 250\r\n[Other]\r\nTimOut=7\r\n");
        IniFile ini(path);
        QCOMPARE(ini.readInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 100), 250);
        QCOMPARE(ini.readInteger(QStringLiteral("Quorlex"), QStringLiteral("Missing"), 100), 100);
        QCOMPARE(ini.readInteger(QStringLiteral("Nowhere"), QStringLiteral("TimOut"), 100), 100);
        QVERIFY(ini.hasKey(QStringLiteral("OTHER"), QStringLiteral("timout")));
    }

    void iniWritesThroughAndKeepsOtherLines()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, "[Network]\r\nFastSpeed=0\r\n\r\n[Record]\r\nin_bd=1\r\n");
        IniFile ini(path);
        QVERIFY(ini.writeBool(QStringLiteral("network"), QStringLiteral("fastspeed"), true));
        QVERIFY(ini.writeInteger(QStringLiteral("Monitor"), QStringLiteral("Time_refresh"), 7000));
        QVERIFY(ini.writeBool(QStringLiteral("Record"), QStringLiteral("in_file"), false));
        // A fresh reader sees every write at once.
        QCOMPARE(readFile(path), QByteArray("[Network]\r\nFastSpeed=1\r\n\r\n[Record]\r\nin_bd=1\r\nin_file=0\r\n"
                                            "\r\n[Monitor]\r\nTime_refresh=7000\r\n"));
        QCOMPARE(IniFile(path).readBool(QStringLiteral("Network"), QStringLiteral("FastSpeed"), false), true);
        QCOMPARE(IniFile(path).readBool(QStringLiteral("Record"), QStringLiteral("in_bd"), false), true);
    }

    void iniCreatesMissingFile()
    {
        QTemporaryDir dir;
        IniFile ini(dir.filePath(QStringLiteral("ini/Time.ini")));
        QCOMPARE(ini.readInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 100), 100);
        QVERIFY(ini.writeInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 100));
        QCOMPARE(readFile(ini.path()), QByteArray("[Quorlex]\r\nTimOut=100\r\n"));
    }

    void portSettingsFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("baud");
        QTest::addColumn<QString>("stopBits");
        QTest::addColumn<QString>("dataBits");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<QString>("flow");
        QTest::newRow("missing file keeps built-in") << QByteArray() << "ttyS0" << 9600 << "2" << "8" << "None" << "None";
        QTest::newRow("19200") << QByteArray("[ComPort]\r\nPort=/dev/ttyUSB0\r\nBaudRate=19200\r\n")
                               << "/dev/ttyUSB0" << 19200 << "2" << "8" << "None" << "None";
        QTest::newRow("speed matched without case, odd parity")
            << QByteArray("[ComPort]\r\nBaudRate=cUsToM\r\nCustomBaudRate=31250\r\nParity=odd\r\n")
            << "ttyS0" << 31250 << "2" << "8" << "Odd" << "None";
        QTest::newRow("unknown texts fall back")
            << QByteArray("[ComPort]\r\nBaudRate=fast\r\nStopBits=3\r\nDataBits=9\r\nParity=Weird\r\nFlowControl=x\r\n")
            << "ttyS0" << 9600 << "1" << "8" << "None" << "Custom";
        QTest::newRow("no Port key keeps the name")
            << QByteArray("[ComPort]\r\nBaudRate=4800\r\nStopBits=1.5\r\nFlowControl=hardware\r\n")
            << "ttyS0" << 4800 << "1.5" << "8" << "None" << "Hardware";
    }
    void portSettingsFile()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = content.isEmpty() ? dir.filePath(QStringLiteral("none.ini")) : writeFile(dir, content);
        ComPort port;
        port.loadSettings(IniFile(path));
        const PortSettings &s = port.settings();
        QTEST(s.port, "port");
        QTEST(s.baud(), "baud");
        QTEST(s.stopBits, "stopBits");
        QTEST(s.dataBits, "dataBits");
        QTEST(s.parity, "parity");
        QTEST(s.flowControl, "flow");
    }

    void portSettingsRoundTrip()
    {
        QTemporaryDir dir;
        IniFile ini(dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini")));
        ComPort port;
        PortSettings s;
        s.port = QStringLiteral("/dev/ttyUSB1");
        s.baudRate = QStringLiteral("Custom");
        s.customBaudRate = 500000;
        s.parity = QStringLiteral("Even");
        port.setSettings(s);
        QVERIFY(port.storeSettings(ini));
        ComPort other;
        other.loadSettings(ini);
        QCOMPARE(other.settings(), s);
        QCOMPARE(other.settings().speedText(), QStringLiteral("Custom"));
        QCOMPARE(other.settings().baud(), 500000);
    }

    // The start sets the port to the speed it opened at: a custom speed stays "Custom" in
    // the file, also when it equals one of the listed speeds; a listed speed replaces it.
    void customSpeedSurvivesSettingTheSameSpeed()
    {
        QTemporaryDir dir;
        IniFile ini(dir.filePath(QStringLiteral("port.ini")));
        ComPort port;
        PortSettings s;
        s.baudRate = QStringLiteral("Custom");
        s.customBaudRate = 9600;
        port.setSettings(s);
        port.setSpeed(9600);
        QVERIFY(port.storeSettings(ini));
        QCOMPARE(ini.readString(QStringLiteral("ComPort"), QStringLiteral("BaudRate")), QStringLiteral("Custom"));
        QCOMPARE(ini.readInteger(QStringLiteral("ComPort"), QStringLiteral("CustomBaudRate"), 0), 9600);
        port.setSpeed(19200);
        QCOMPARE(port.settings().speedText(), QStringLiteral("19200"));
        port.setSpeed(31250);
        QCOMPARE(port.settings().speedText(), QStringLiteral("Custom"));
        QCOMPARE(port.settings().baud(), 31250);
    }

    void openFailureIsReported()
    {
        ComPort port;
        PortSettings s;
        s.port = QStringLiteral("/dev/does-not-exist-qlx");
        port.setSettings(s);
        QVERIFY_THROWS_EXCEPTION(PortError, port.open());
        QVERIFY(!port.isOpen());
        QVERIFY_THROWS_EXCEPTION(PortError, port.write(QByteArray("x")));
        QVERIFY_THROWS_EXCEPTION(PortError, port.setDtr(true));
    }

    void stationSettingsFirstStart()
    {
        QTemporaryDir dir;
        StationSettings settings{StationFolder(dir.path())};
        QCOMPARE(settings.takeAnswerWait(), 100);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("ini/Time.ini"))), QByteArray("[Quorlex]\r\nTimOut=100\r\n"));
        QCOMPARE(settings.fastSpeed(), false);
        QCOMPARE(settings.refreshInterval(), 5000);
        QCOMPARE(settings.recordInDb(), false);
        QCOMPARE(settings.recordInFile(), true);
    }

    void stationSettingsStored()
    {
        QTemporaryDir dir;
        StationSettings settings{StationFolder(dir.path())};
        settings.setFastSpeed(true);
        settings.setRefreshInterval(0); // 0 means the built-in interval
        QCOMPARE(settings.refreshInterval(), 5000);
        settings.setRefreshInterval(30000);
        settings.setRecordInDb(true);
        settings.setRecordInFile(false);
        const StationSettings again{StationFolder(dir.path())};
        QCOMPARE(again.fastSpeed(), true);
        QCOMPARE(again.refreshInterval(), 30000);
        QCOMPARE(again.recordInDb(), true);
        QCOMPARE(again.recordInFile(), false);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("ini/QLXN.ini"))),
                 QByteArray("[Network]\r\nFastSpeed=1\r\n\r\n[Monitor]\r\nTime_refresh=30000\r\n\r\n"
                            "[Record]\r\nin_bd=1\r\nin_file=0\r\n"));
    }

    void characterTime()
    {
        PortSettings s; // 8 data bits, no parity, 2 stop bits: 11 bits a character
        QCOMPARE(s.bitsPerCharacter(), 11.0);
        s.parity = QStringLiteral("Even");
        s.stopBits = QStringLiteral("1");
        QCOMPARE(s.bitsPerCharacter(), 11.0);
        s.dataBits = QStringLiteral("7");
        s.parity = QStringLiteral("None");
        QCOMPARE(s.bitsPerCharacter(), 9.0);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
