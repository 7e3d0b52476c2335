// The station program end to end: a fresh folder, an unattended start that scans and
// polls, a stop by SIGTERM, and what it left in the logs and the database compared with
// what the simulated nodes held.
#include "../sim_fixture.h"

#include "core/ini_file.h"
#include "core/station_folder.h"
#include "history/unit_files.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cmath>

using namespace qlx;
using namespace qlx::testing;

class TestStationE2E : public QObject {
    Q_OBJECT
private slots:
    void autostartRecordsWhatTheNodesHold()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        const QList<int> addresses{3, 40};
        for (const int a : addresses) {
            sim::NodeConfig config = sim::defaultNode(a);
            config.baud = 19200;
            config.moving = false; // what a node holds stays put, so every poll must record it
            sim.addNode(config);
        }
        QProcess init;
        init.start(QStringLiteral(QLX_STATION_PATH),
                   {QStringLiteral("--init"), dir.path(), QStringLiteral("--port"), sim.stationPath()});
        QVERIFY(init.waitForFinished(30000));
        QCOMPARE(init.exitCode(), 0);
        const StationFolder folder(dir.path());
        IniFile(folder.iniFile(QStringLiteral("Com_setup_modbus.ini")))
            .writeString(QStringLiteral("ComPort"), QStringLiteral("BaudRate"), QStringLiteral("19200"));
        IniFile(folder.iniFile(QStringLiteral("Time.ini"))).writeInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 60);
        IniFile(folder.iniFile(QStringLiteral("QLXN.ini"))).writeInteger(QStringLiteral("Monitor"), QStringLiteral("Time_refresh"), 500);
        IniFile(folder.iniFile(QStringLiteral("QLXN.ini"))).writeBool(QStringLiteral("Record"), QStringLiteral("in_bd"), true);

        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        station.setProcessEnvironment(env);
        station.start(QStringLiteral(QLX_STATION_PATH), {QStringLiteral("--home"), dir.path(), QStringLiteral("--autostart")});

        // A full pass and a few short passes: at least 4 value rows a node.
        const QString valueLog = QDir(folder.logsDir()).filePath(QStringLiteral("log_") +
                                                                 QDate::currentDate().toString(QStringLiteral("yyMMdd")) +
                                                                 QStringLiteral(".txt"));
        auto valueRows = [&] {
            QFile f(valueLog);
            return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) - 1 : 0;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(valueRows() >= 8, qPrintable(QString::fromUtf8(station.readAllStandardError().right(2000))),
                                  150000);
        station.terminate();
        QSignalSpy done(&station, &QProcess::finished);
        QVERIFY(station.state() == QProcess::NotRunning || done.wait(20000));
        QCOMPARE(station.exitCode(), 0);

        // Value log: every row holds what the node held (to the channel's decimals).
        QFile f(valueLog);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = from_cp1251(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        int rows = 0;
        for (const QString &line : lines.mid(1)) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            const sim::Node *node = sim.node(fields.at(0).toInt());
            QVERIFY2(node, qPrintable(line));
            for (int c = 1; c <= 12; ++c) {
                const double logged = QString(fields.at(2 + c)).replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
                const int decimals = 3 - node->channel(c).point_pos;
                QVERIFY2(std::abs(logged - node->value(c)) <= 0.5 * std::pow(10.0, -decimals) + 1e-9,
                         qPrintable(QStringLiteral("%1 channel %2: %3 vs %4").arg(fields.at(0)).arg(c).arg(logged).arg(node->value(c))));
            }
            ++rows;
        }
        QVERIFY(rows >= 8);

        // Database: twelve rows per value row, the same values.
        int dbRows = 0;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("e2e"));
            db.setDatabaseName(QDir(folder.bdDir()).filePath(QStringLiteral("history.db")));
            QVERIFY(db.open());
            QSqlQuery q(QStringLiteral("select sensor, chanel, izm from Sensors_history"), db);
            while (q.next()) {
                const sim::Node *node = sim.node(q.value(0).toInt());
                QVERIFY(node);
                const int c = q.value(1).toInt();
                const int decimals = 3 - node->channel(c).point_pos;
                QVERIFY(std::abs(q.value(2).toDouble() - node->value(c)) <= 0.5 * std::pow(10.0, -decimals) + 1e-9);
                ++dbRows;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("e2e"));
        QCOMPARE(dbRows, 12 * rows);
        // Each node's setpoints were logged by its full read.
        QFile ustav(QDir(folder.logsDir()).filePath(QStringLiteral("ustav_") +
                                                   QDate::currentDate().toString(QStringLiteral("yyMMdd")) + QStringLiteral(".txt")));
        QVERIFY(ustav.open(QIODevice::ReadOnly));
        QVERIFY(ustav.readAll().count('\n') >= 1 + 2);
    }
};

QTEST_GUILESS_MAIN(TestStationE2E)
#include "test_station_e2e.moc"
