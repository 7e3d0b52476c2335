// The engine object: a station folder made ready by --init, and the settings it
// takes into the line and polling.
#include "base/ini_file.h"
#include "base/station_folder.h"
#include "line/comport.h"
#include "engine/station_engine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace qlx;

class TestStationEngine : public QObject {
    Q_OBJECT
private slots:
    void stationFolderInit()
    {
        QTemporaryDir dir;
        const StationFolder folder(dir.filePath(QStringLiteral("station")));
        QVERIFY(StationEngine::initialiseFolder(folder, QStringLiteral("/dev/ttyUSB3")));
        for (const char *sub : {"ini", "logs", "bd", "Reports"})
            QVERIFY(QDir(folder.root()).exists(QString::fromLatin1(sub)));
        ComPort port;
        port.loadSettings(IniFile(folder.iniFile(QStringLiteral("Com_setup_modbus.ini"))));
        QCOMPARE(port.settings().port, QStringLiteral("/dev/ttyUSB3"));
        QCOMPARE(port.settings().baud(), 9600);
        QCOMPARE(StationFolder::fromArguments({QStringLiteral("x"), QStringLiteral("--home"), dir.path()}).root(),
                 QDir(dir.path()).absolutePath());
    }

    void settingsReachTheLineAndPolling()
    {
        QTemporaryDir dir;
        const StationFolder folder(dir.path());
        QVERIFY(StationEngine::initialiseFolder(folder, QStringLiteral("/dev/ttyUSB3")));
        IniFile(folder.iniFile(QStringLiteral("Time.ini"))).writeInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 60);
        IniFile qlxn(folder.iniFile(QStringLiteral("QLXN.ini")));
        qlxn.writeBool(QStringLiteral("Network"), QStringLiteral("FastSpeed"), true);
        qlxn.writeInteger(QStringLiteral("Monitor"), QStringLiteral("Time_refresh"), 30000);

        StationEngine engine(folder);
        engine.station().load_port_settings();
        engine.applySettings();
        QCOMPARE(engine.station().line().answerWait(), 60);
        QVERIFY(engine.station().line().fastSpeed());
        QCOMPARE(engine.polling().interval(), 30000);
        QCOMPARE(engine.station().lineSpeedText(), QStringLiteral("9600"));
        QVERIFY(engine.openDailyLogs());
        QVERIFY2(engine.openDatabase(), qPrintable(engine.database().last_error()));
    }

    // A value no station can run with is replaced or bounded, and the event log names
    // the key, the value found and the value used.
    void settingsOutOfRangeAreReplacedAndSaid_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("used");
        QTest::addColumn<bool>("said");
        const QString time = QStringLiteral("Time.ini"), qlxn = QStringLiteral("QLXN.ini"),
                      com = QStringLiteral("Com_setup_modbus.ini");
        QTest::newRow("TimOut 0") << time << "Quorlex" << "TimOut" << "0" << 100 << true;
        QTest::newRow("TimOut negative") << time << "Quorlex" << "TimOut" << "-5" << 100 << true;
        QTest::newRow("TimOut not a number") << time << "Quorlex" << "TimOut" << "abc" << 100 << true;
        QTest::newRow("TimOut beyond a day") << time << "Quorlex" << "TimOut" << "999999999" << 86400000 << true;
        QTest::newRow("TimOut a day") << time << "Quorlex" << "TimOut" << "86400000" << 86400000 << false;
        QTest::newRow("Time_refresh negative") << qlxn << "Monitor" << "Time_refresh" << "-1" << 5000 << true;
        QTest::newRow("Time_refresh beyond a day") << qlxn << "Monitor" << "Time_refresh" << "90000000" << 86400000 << true;
        QTest::newRow("Time_refresh 0") << qlxn << "Monitor" << "Time_refresh" << "0" << 5000 << false;
        QTest::newRow("Node_retry negative") << qlxn << "Monitor" << "Node_retry" << "-3" << 60 << true;
        QTest::newRow("Node_retry 0: never") << qlxn << "Monitor" << "Node_retry" << "0" << 0 << false;
        QTest::newRow("Node_retry beyond a day") << qlxn << "Monitor" << "Node_retry" << "100000" << 86400 << true;
        QTest::newRow("custom speed 0") << com << "ComPort" << "CustomBaudRate" << "0" << 9600 << true;
        QTest::newRow("custom speed too high") << com << "ComPort" << "CustomBaudRate" << "99999999" << 9600 << true;
        QTest::newRow("custom speed 31250") << com << "ComPort" << "CustomBaudRate" << "31250" << 31250 << false;
    }

    void settingsOutOfRangeAreReplacedAndSaid()
    {
        QFETCH(QString, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(int, used);
        QFETCH(bool, said);
        QTemporaryDir dir;
        const StationFolder folder(dir.path());
        QVERIFY(StationEngine::initialiseFolder(folder, QStringLiteral("/dev/ttyUSB3")));
        IniFile ini(folder.iniFile(file));
        if (key == QStringLiteral("CustomBaudRate"))
            ini.writeString(section, QStringLiteral("BaudRate"), QStringLiteral("Custom"));
        ini.writeString(section, key, text);

        StationEngine engine(folder);
        engine.station().load_port_settings();
        engine.applySettings();
        int inUse = 0;
        if (key == QStringLiteral("TimOut"))
            inUse = engine.station().line().answerWait();
        else if (key == QStringLiteral("Time_refresh"))
            inUse = engine.polling().interval();
        else if (key == QStringLiteral("Node_retry"))
            inUse = engine.polling().nodeRetryInterval() / 1000;
        else
            inUse = engine.station().comPort().settings().baud();
        QCOMPARE(inUse, used);
        const QStringList lines = engine.station().eventLog().lines().filter(key);
        if (!said) {
            QVERIFY2(lines.isEmpty(), qPrintable(lines.join('\n')));
            return;
        }
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(QStringLiteral("\"%1\"").arg(text))
                     && lines.first().endsWith(QStringLiteral("используется %1").arg(used)),
                 qPrintable(lines.first()));
        if (key == QStringLiteral("TimOut")) // the value in use is what the file keeps
            QCOMPARE(IniFile(folder.iniFile(file)).readInteger(section, key, 0), used);
    }

    void nodeRetryKeyIsWrittenWhenAbsent()
    {
        QTemporaryDir dir;
        const StationFolder folder(dir.path());
        QVERIFY(StationEngine::initialiseFolder(folder, QString()));
        StationEngine engine(folder);
        engine.applySettings();
        QCOMPARE(engine.polling().nodeRetryInterval(), 60000);
        QCOMPARE(IniFile(folder.iniFile(QStringLiteral("QLXN.ini"))).readInteger(QStringLiteral("Monitor"),
                                                                                  QStringLiteral("Node_retry"), -1),
                 60);
        QVERIFY(engine.station().eventLog().lines().isEmpty());
    }

    // A port settings file that names no port leaves the built-in one, and says so
    // before anything opens it.
    void portSettingsWithoutAPortAreSaid()
    {
        QTemporaryDir dir;
        const StationFolder folder(dir.path());
        QVERIFY(StationEngine::initialiseFolder(folder, QString()));
        QFile file(folder.iniFile(QStringLiteral("Com_setup_modbus.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("garbage\r\n");
        file.close();
        StationEngine engine(folder);
        QVERIFY(engine.station().load_port_settings());
        QCOMPARE(engine.station().comPort().settings().port, QStringLiteral("ttyS0"));
        const QStringList lines = engine.station().eventLog().lines().filter(QStringLiteral("Com_setup_modbus.ini"));
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().endsWith(QStringLiteral("используется порт ttyS0")));
    }
};

QTEST_GUILESS_MAIN(TestStationEngine)
#include "test_station_engine.moc"
