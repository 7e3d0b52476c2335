// The station program end to end: a fresh folder, an unattended start that scans and
// polls, a stop by SIGTERM, and what it left in the logs and the database compared with
// what the simulated nodes answered.
#include "tests/fixtures/station_fixture.h"

#include "base/ini_file.h"
#include "base/station_folder.h"
#include "storage/unit_files.h"

#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>

using namespace qlx;
using namespace qlx::testing;


class TestStationE2E : public QObject {
    Q_OBJECT
private slots:
    // The demo line's moving values at 19200 baud: each polled value in the value
    // log and the database is what the node answered at that poll; a node that
    // falls silent is excluded once, with one alert.
    void autostartRecordsWhatTheNodesServed()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        for (sim::NodeConfig config : sim::demoLine()) {
            config.baud = 19200;
            config.faults.silentFromS.reset(); // the test silences node 21 itself
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

        // The daily logs are read whatever their date: a run may cross midnight.
        const RowProbe probe(folder);
        const QList<int> addresses = sim.addresses();
        const auto valueRows = [&] { return int(probe.valueRows().size()); };
        const auto stderrTail = [&] { return QString::fromUtf8(station.readAllStandardError().right(2000)); };

        // The full pass and two short passes over the eight nodes.
        QTRY_VERIFY2_WITH_TIMEOUT(valueRows() >= 3 * addresses.size(), qPrintable(stderrTail()), 150000);
        // Node 21 stops answering: the next pass excludes it, the others go on.
        sim.node(21)->faults().silent = true;
        QTRY_VERIFY2_WITH_TIMEOUT(probe.alertRows().size() == 1, qPrintable(stderrTail()), 120000);
        const int afterExclusion = valueRows();
        QTRY_VERIFY2_WITH_TIMEOUT(valueRows() >= afterExclusion + 2 * (addresses.size() - 1), qPrintable(stderrTail()),
                                  120000);
        station.terminate();
        QSignalSpy done(&station, &QProcess::finished);
        QVERIFY(station.state() == QProcess::NotRunning || done.wait(60000));
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);

        // Every logged and stored value is one its node served for that channel, in order.
        const QString unserved = unservedValues(probe, sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
        const ChannelValues logged = loggedValues(probe);
        const QList<QStringList> rows = probe.valueRows();
        for (const QStringList &fields : rows)
            QVERIFY2(fields.size() >= 15, qPrintable(fields.join('|')));
        for (const int address : addresses)
            QVERIFY2(logged.value({address, 1}).size() >= 3, qPrintable(QString::number(address)));
        // Every other node went on being polled after node 21 fell silent.
        QVERIFY(logged.value({8, 1}).size() > logged.value({21, 1}).size());

        // Database: twelve rows per value-log row, as many per channel as in the value log.
        const ChannelValues stored = storedValues(probe);
        QCOMPARE(probe.historyCount(), 12 * int(rows.size()));
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            QCOMPARE(it.value().size(), logged.value(it.key()).size());

        // Setpoint log: one row per node from its full read, with the node's setpoints,
        // and one more per node at every change of day (a new file).
        const QList<QStringList> setpoints = probe.setpointRows();
        QCOMPARE(setpoints.size(), addresses.size() * probe.logFiles(QStringLiteral("ustav_")).size());
        for (const QStringList &fields : setpoints) {
            const sim::Node *node = sim.node(fields.at(0).toInt());
            QVERIFY2(node, qPrintable(fields.join('|')));
            for (int c = 1; c <= 12; ++c) {
                const sim::ChannelSetup setup = node->channel(c);
                QCOMPARE(decimalNumber(fields.at(3 + 4 * (c - 1))), setup.nu / 1000.0);
                QCOMPARE(decimalNumber(fields.at(5 + 4 * (c - 1))), setup.vu / 1000.0);
            }
        }

        // Alerts log: the one exclusion.
        const QList<QStringList> alerts = probe.alertRows();
        QCOMPARE(alerts.size(), 1);
        QCOMPARE(alerts.first().at(0), QStringLiteral("21"));
        QCOMPARE(alerts.first().at(3), kAlertNoAnswer);
    }
};

QTEST_GUILESS_MAIN(TestStationE2E)
#include "test_station_e2e.moc"
