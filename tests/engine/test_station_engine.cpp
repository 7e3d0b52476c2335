// The engine object: a station folder made ready by --init, and the settings it
// takes into the line and polling.
#include "base/ini_file.h"
#include "base/station_folder.h"
#include "line/comport.h"
#include "engine/station_engine.h"

#include <QDir>
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
};

QTEST_GUILESS_MAIN(TestStationEngine)
#include "test_station_engine.moc"
