// Daily text logs: file names, headers, row formats, roll-over at midnight or
// at the first write on a new date, and how the logs recover by themselves: a
// logs folder missing or coming back, a file deleted, moved or emptied while
// open, a full disk (rows whole or not at all).
#include "base/node_table.h"
#include "base/unit_procedure.h"
#include "storage/unit_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

using namespace qlx;

namespace {

const QDateTime kMorning(QDate(2003, 3, 5), QTime(4, 5, 6));
const QDateTime kNextMidnight(QDate(2003, 3, 6), QTime(0, 0, 1));

const QString kRowStamp = QStringLiteral("05.03.2003\t04:05.06\t");

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

QByteArray valueHeader()
{
    return to_cp1251(QStringLiteral("Узел\tДата\tВремя\tКанал_1\tКанал_2\tКанал_3\tКанал_4\tКанал_5\tКанал_6\t"
                                    "Канал_7\tКанал_8\tКанал_9\tКанал_10\tКанал_11\tКанал_12\t\r\n"));
}

QByteArray setpointHeader()
{
    QString h = QStringLiteral("Узел\tДата\tВремя\t");
    for (int c = 1; c <= 12; ++c) {
        const QString n = QString::number(c);
        h += QStringLiteral("Канал_") + n + QStringLiteral("_Nu\t") + QStringLiteral("Канал_") + n
            + QStringLiteral("_Gis_Nu\t") + QStringLiteral("Канал_") + n + QStringLiteral("_Vu\t")
            + QStringLiteral("Канал_") + n + QStringLiteral("_GIS_Vu\t");
    }
    return to_cp1251(h + QStringLiteral(" \r\n"));
}

QByteArray alertsHeader()
{
    return to_cp1251(QStringLiteral("Узел\tДата\tВремя\tСообщение\r\n"));
}

// Twelve value fields, all "0,0000" except one.
QString valueFields(int channel, const QString &text)
{
    QString s;
    for (int c = 1; c <= 12; ++c)
        s += (c == channel ? text : QStringLiteral("0,0000")) + QLatin1Char('\t');
    return s;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The three logs by the names the table-driven tests use: "value",
// "setpoint", "alert".
QString pathOf(const DailyLogs &logs, const QString &log)
{
    if (log == QLatin1String("value"))
        return logs.valueLogPath();
    if (log == QLatin1String("setpoint"))
        return logs.setpointLogPath();
    return logs.alertsLogPath();
}

bool isOpen(const DailyLogs &logs, const QString &log)
{
    if (log == QLatin1String("value"))
        return logs.log_open();
    if (log == QLatin1String("setpoint"))
        return logs.ustav_open();
    return logs.alerts_open();
}

QByteArray headerOf(const QString &log)
{
    if (log == QLatin1String("value"))
        return valueHeader();
    if (log == QLatin1String("setpoint"))
        return setpointHeader();
    return alertsHeader();
}

void writeRow(DailyLogs &logs, const QString &log, int slot)
{
    if (log == QLatin1String("value"))
        logs.write_value_row(slot);
    else if (log == QLatin1String("setpoint"))
        logs.write_setpoint_row(slot);
    else
        logs.write_alert_row(slot, kAlertNoAnswer);
}

// The message of the LogWriteError the row raises; empty when it raises none.
QString writeError(DailyLogs &logs, const QString &log, int slot)
{
    try {
        writeRow(logs, log, slot);
    } catch (const LogWriteError &e) {
        return QString::fromStdString(e.what());
    }
    return QString();
}

// A row that must be written: a LogWriteError fails the test with its message.
#define QLX_WRITE_ROW(logs, log, slot)                                                                                \
    do {                                                                                                               \
        const QString error_ = writeError(logs, log, slot);                                                            \
        QVERIFY2(error_.isEmpty(), qPrintable(error_));                                                                \
    } while (false)

// The row `writeRow` writes at kMorning for a node at `address` whose channels
// and setpoints are all zero.
QByteArray rowOf(const QString &log, int address)
{
    QString row = QString::number(address) + QLatin1Char('\t') + kRowStamp;
    if (log == QLatin1String("value")) {
        row += valueFields(0, {});
    } else if (log == QLatin1String("setpoint")) {
        for (int i = 0; i < 48; ++i)
            row += QStringLiteral("0,0000\t");
    } else {
        row += kAlertNoAnswer;
    }
    return to_cp1251(row + QStringLiteral("\r\n"));
}

} // namespace

class TestDailyLogs : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_logs;
    int m_run = 0;
    QString m_mounted; // a tmpfs a test mounted, unmounted after it

    static void logKinds()
    {
        QTest::addColumn<QString>("log");
        QTest::newRow("value") << QStringLiteral("value");
        QTest::newRow("setpoint") << QStringLiteral("setpoint");
        QTest::newRow("alert") << QStringLiteral("alert");
    }

private slots:
    void initTestCase()
    {
        // The logs are written the Russian way whatever the locale says.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(m_root.isValid());
    }

    void init()
    {
        reset_node_table_state();
        set_clock([] { return kMorning; });
        // A fresh, empty logs folder for every test.
        m_logs = m_root.filePath(QStringLiteral("run%1/logs").arg(++m_run));
        QVERIFY(QDir().mkpath(m_logs));
    }

    void cleanup()
    {
        if (!m_mounted.isEmpty()) {
            QProcess umount;
            umount.start(QStringLiteral("umount"), {m_mounted});
            if (!umount.waitForFinished(30000) || umount.exitCode() != 0)
                qWarning() << "umount" << m_mounted << umount.readAllStandardError();
            m_mounted.clear();
        }
        set_clock({});
        reset_node_table_state();
    }

    void cp1251_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("reversible");
        QTest::newRow("Узел") << QStringLiteral("Узел") << QByteArray("\xD3\xE7\xE5\xEB") << true;
        QTest::newRow("edges") << QStringLiteral("АаЯя") << QByteArray("\xC0\xE0\xDF\xFF") << true;
        QTest::newRow("yo") << QStringLiteral("Ёё") << QByteArray("\xA8\xB8") << true;
        QTest::newRow("ascii") << QStringLiteral("7\t-12,3400 \r\n") << QByteArray("7\t-12,3400 \r\n") << true;
        QTest::newRow("outside") << QStringLiteral("a漢b") << QByteArray("a?b") << false;
    }

    void cp1251()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, reversible);
        QCOMPARE(to_cp1251(text), bytes);
        if (reversible)
            QCOMPARE(from_cp1251(bytes), text);
    }

    void cp1251AgreesWithSystemCodec()
    {
        QStringDecoder decoder("windows-1251");
        if (!decoder.isValid())
            QSKIP("no windows-1251 codec on this machine");
        for (int b = 0; b < 256; ++b) {
            if (b == 0x98)
                continue; // unassigned in the code page
            const QByteArray one(1, static_cast<char>(b));
            const QString expected = decoder.decode(one);
            QCOMPARE(from_cp1251(one), expected);
            QCOMPARE(to_cp1251(expected), one);
        }
    }

    void logNumber_data()
    {
        QTest::addColumn<qint64>("units");
        QTest::addColumn<int>("divisor");
        QTest::addColumn<QString>("text");
        QTest::newRow("hundredths") << qint64(1234) << 100 << QStringLiteral("12,3400");
        QTest::newRow("zero") << qint64(0) << 1 << QStringLiteral("0,0000");
        QTest::newRow("negative") << qint64(-5) << 1 << QStringLiteral("-5,0000");
        QTest::newRow("negative fraction") << qint64(-1) << 1000 << QStringLiteral("-0,0010");
        QTest::newRow("no grouping") << qint64(2147483647) << 1 << QStringLiteral("2147483647,0000");
        QTest::newRow("smallest") << qint64(-2147483648LL) << 1000 << QStringLiteral("-2147483,6480");
    }

    void logNumber()
    {
        QFETCH(qint64, units);
        QFETCH(int, divisor);
        QFETCH(QString, text);
        QCOMPARE(log_number(units, divisor), text);
    }

    void firstStartWritesHeaders()
    {
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        QVERIFY(logs.log_open() && logs.ustav_open() && logs.alerts_open());
        QCOMPARE(logs.valueLogPath(), m_logs + QStringLiteral("/log_030305.txt"));
        QCOMPARE(logs.setpointLogPath(), m_logs + QStringLiteral("/ustav_030305.txt"));
        QCOMPARE(logs.alertsLogPath(), m_logs + QStringLiteral("/alerts_030305.txt"));
        logs.close_daily_logs();

        QCOMPARE(QDir(m_logs).entryList(QDir::Files).size(), 3);
        const QByteArray value = readFile(logs.valueLogPath());
        const QByteArray setpoint = readFile(logs.setpointLogPath());
        const QByteArray alerts = readFile(logs.alertsLogPath());
        QCOMPARE(value, valueHeader());
        QCOMPARE(setpoint, setpointHeader());
        QCOMPARE(alerts, alertsHeader());

        // Byte checks independent of the encoder.
        const QByteArray lead("\xD3\xE7\xE5\xEB\t\xC4\xE0\xF2\xE0\t\xC2\xF0\xE5\xEC\xFF\t");
        QVERIFY(value.startsWith(lead + "\xCA\xE0\xED\xE0\xEB_1\t"));
        QVERIFY(value.endsWith("\xCA\xE0\xED\xE0\xEB_12\t\r\n"));
        QVERIFY(setpoint.startsWith(lead + "\xCA\xE0\xED\xE0\xEB_1_Nu\t\xCA\xE0\xED\xE0\xEB_1_Gis_Nu\t"
                                           "\xCA\xE0\xED\xE0\xEB_1_Vu\t\xCA\xE0\xED\xE0\xEB_1_GIS_Vu\t"));
        QVERIFY(setpoint.endsWith("\xCA\xE0\xED\xE0\xEB_12_GIS_Vu\t \r\n"));
        QCOMPARE(setpoint.count('\t'), 3 + 48);
        QCOMPARE(alerts, lead + QByteArray("\xD1\xEE\xEE\xE1\xF9\xE5\xED\xE8\xE5\r\n"));
    }

    void valueRow_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("point");
        QTest::addColumn<QString>("text");
        QTest::newRow("hundredths") << 1 << 1234 << 2 << QStringLiteral("12,3400");
        QTest::newRow("thousandths") << 5 << 1234 << 1 << QStringLiteral("1,2340");
        QTest::newRow("tenths negative") << 12 << -5 << 3 << QStringLiteral("-0,5000");
        QTest::newRow("units") << 7 << 987 << 4 << QStringLiteral("987,0000");
        QTest::newRow("never read") << 3 << 42 << 0 << QStringLiteral("42,0000");
        QTest::newRow("odd point") << 2 << 6 << 9 << QStringLiteral("6,0000");
    }

    void valueRow()
    {
        QFETCH(int, channel);
        QFETCH(int, value);
        QFETCH(int, point);
        QFETCH(QString, text);
        arr_nodes[3].address = 7;
        arr_nodes[3].channels[channel].value = value;
        arr_nodes[3].channels[channel].point = point;

        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        logs.write_value_row(3);
        logs.close_daily_logs();

        const QString row = QStringLiteral("7\t") + kRowStamp + valueFields(channel, text) + QStringLiteral("\r\n");
        QCOMPARE(readFile(logs.valueLogPath()), valueHeader() + to_cp1251(row));
    }

    void setpointRow_data()
    {
        QTest::addColumn<int>("point");
        QTest::addColumn<QString>("fields");
        const QString divided = QStringLiteral("1,5000\t-0,2500\t20,0000\t0,0050\t");
        const QString whole = QStringLiteral("1500,0000\t-250,0000\t20000,0000\t5,0000\t");
        QTest::newRow("point 1") << 1 << divided;
        QTest::newRow("point 2") << 2 << divided;
        QTest::newRow("point 3") << 3 << divided;
        QTest::newRow("point 4") << 4 << divided;
        QTest::newRow("never read") << 0 << whole;
        QTest::newRow("point 5") << 5 << whole;
    }

    void setpointRow()
    {
        QFETCH(int, point);
        QFETCH(QString, fields);
        arr_nodes[1].address = 200;
        // Channel 2 carries the case; every other channel is untouched zeros.
        arr_nodes[1].channels[2].point = point;
        arr_nodes[1].setup[2].nu = 1500;
        arr_nodes[1].setup[2].gis_nu = -250;
        arr_nodes[1].setup[2].vu = 20000;
        arr_nodes[1].setup[2].gis_vu = 5;

        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        logs.write_setpoint_row(1);
        logs.close_daily_logs();

        const QString zeros = QStringLiteral("0,0000\t0,0000\t0,0000\t0,0000\t");
        QString row = QStringLiteral("200\t") + kRowStamp + zeros + fields;
        for (int c = 3; c <= 12; ++c)
            row += zeros;
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader() + to_cp1251(row + QStringLiteral("\r\n")));
    }

    void alertRows()
    {
        arr_nodes[4].address = 15;
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        logs.write_alert_row(4, kAlertNoAnswer);
        logs.write_alert_row(4, kAlertDbWriteFailed);
        logs.close_daily_logs();
        QCOMPARE(readFile(logs.alertsLogPath()),
                 alertsHeader() + to_cp1251(QStringLiteral("15\t05.03.2003\t04:05.06\tПрибор не отвечает на запросы\r\n"
                                                           "15\t05.03.2003\t04:05.06\tОшибка записи данных в БД\r\n")));
    }

    // The line's own alerts (port lost, regained) stand under address 0.
    void lineAlertRow()
    {
        DailyLogs logs(m_logs);
        logs.write_line_alert(QStringLiteral("before")); // not active yet: nothing
        QVERIFY(logs.open_daily_logs());
        logs.write_line_alert(QStringLiteral("COM порт /dev/ttyUSB0 снова открыт"));
        logs.close_daily_logs();
        logs.write_line_alert(QStringLiteral("after"));
        QCOMPARE(readFile(logs.alertsLogPath()),
                 alertsHeader() + to_cp1251(QStringLiteral("0\t05.03.2003\t04:05.06\tCOM порт /dev/ttyUSB0 снова открыт\r\n")));
    }

    void secondOpenSameDayAppends()
    {
        arr_nodes[1].address = 9;
        const QByteArray valueRow = to_cp1251(QStringLiteral("9\t") + kRowStamp + valueFields(0, {}) + QStringLiteral("\r\n"));
        QString setpointText = QStringLiteral("9\t") + kRowStamp;
        for (int i = 0; i < 48; ++i)
            setpointText += QStringLiteral("0,0000\t");
        const QByteArray setpointRow = to_cp1251(setpointText + QStringLiteral("\r\n"));
        const QByteArray alertRow = to_cp1251(QStringLiteral("9\t") + kRowStamp + kAlertNoAnswer + QStringLiteral("\r\n"));

        for (int start = 0; start < 2; ++start) {
            DailyLogs logs(m_logs);
            QVERIFY(logs.open_daily_logs());
            // The viewer may hold the value log for reading; the writer takes it back.
            QFile &shared = logs.value_log_file();
            shared.close();
            QVERIFY(shared.open(QIODevice::ReadOnly));
            logs.write_value_row(1);
            logs.write_setpoint_row(1);
            logs.write_alert_row(1, kAlertNoAnswer);
            logs.close_daily_logs();
        }

        DailyLogs logs(m_logs);
        QCOMPARE(readFile(logs.valueLogPath()), valueHeader() + valueRow + valueRow);
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader() + setpointRow + setpointRow);
        QCOMPARE(readFile(logs.alertsLogPath()), alertsHeader() + alertRow + alertRow);
    }

    void midnightRollsOver()
    {
        // Three nodes, then an empty slot that ends the list.
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 12;
        arr_nodes[3].address = 200;
        arr_nodes[5].address = 99;
        arr_nodes[2].channels[1].point = 1;
        arr_nodes[2].setup[1].vu = 2500;

        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        const QString oldSetpoint = logs.setpointLogPath();

        // An hour change on the same date leaves the files alone.
        set_clock([] { return kMorning.addSecs(3600); });
        logs.day_change(5);
        QCOMPARE(QDir(m_logs).entryList(QDir::Files).size(), 3);

        set_clock([] { return kNextMidnight; });

        logs.day_change(0);
        QVERIFY(logs.log_open() && logs.ustav_open() && logs.alerts_open());
        QCOMPARE(logs.setpointLogPath(), m_logs + QStringLiteral("/ustav_030306.txt"));
        logs.write_alert_row(3, kAlertDbWriteFailed);
        logs.close_daily_logs();

        QCOMPARE(QDir(m_logs).entryList(QDir::Files).size(), 6);
        QCOMPARE(readFile(oldSetpoint), setpointHeader());
        QCOMPARE(readFile(logs.valueLogPath()), valueHeader());
        QCOMPARE(readFile(logs.alertsLogPath()),
                 alertsHeader() + to_cp1251(QStringLiteral("200\t06.03.2003\t00:00.01\t") + kAlertDbWriteFailed
                                            + QStringLiteral("\r\n")));

        QString expected;
        for (const int address : {7, 12, 200}) {
            expected += QString::number(address) + QStringLiteral("\t06.03.2003\t00:00.01\t");
            expected += address == 12 ? QStringLiteral("0,0000\t0,0000\t2,5000\t0,0000\t")
                                      : QStringLiteral("0,0000\t0,0000\t0,0000\t0,0000\t");
            for (int c = 2; c <= 12; ++c)
                expected += QStringLiteral("0,0000\t0,0000\t0,0000\t0,0000\t");
            expected += QStringLiteral("\r\n");
        }
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader() + to_cp1251(expected));
    }

    // A machine suspended over midnight: no hour-0 tick, the first write (or
    // clock tick) of the new date rolls over first, and only once.
    void dateJumpRollsOver_data()
    {
        QTest::addColumn<QString>("first"); // what happens first on the new date
        QTest::newRow("value row") << QStringLiteral("value");
        QTest::newRow("setpoint row") << QStringLiteral("setpoint");
        QTest::newRow("alert row") << QStringLiteral("alert");
        QTest::newRow("clock tick at hour 7") << QStringLiteral("tick");
    }

    void dateJumpRollsOver()
    {
        QFETCH(QString, first);
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 12;
        arr_nodes[2].channels[3].point = 2;
        arr_nodes[2].channels[3].value = 1234;
        arr_nodes[2].setup[3].nu = 500;

        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        logs.write_alert_row(1, kAlertNoAnswer);
        const QString oldValue = logs.valueLogPath();
        const QString oldSetpoint = logs.setpointLogPath();
        const QString oldAlerts = logs.alertsLogPath();

        const QDateTime wake(QDate(2003, 3, 6), QTime(7, 12, 13));
        set_clock([wake] { return wake; });
        if (first == QLatin1String("value"))
            logs.write_value_row(2);
        else if (first == QLatin1String("setpoint"))
            logs.write_setpoint_row(2);
        else if (first == QLatin1String("alert"))
            logs.write_alert_row(2, kAlertDbWriteFailed);
        else
            logs.day_change(7);
        // Later on the same date: the midnight tick comes late, rows go on.
        logs.day_change(0);
        logs.write_alert_row(1, kAlertNoAnswer);
        logs.close_daily_logs();

        const QString stamp = QStringLiteral("\t06.03.2003\t07:12.13\t");
        const QString zeros4 = QStringLiteral("0,0000\t0,0000\t0,0000\t0,0000\t");
        QString node7 = QStringLiteral("7") + stamp, node12 = QStringLiteral("12") + stamp;
        for (int c = 1; c <= 12; ++c) {
            node7 += zeros4;
            node12 += c == 3 ? QStringLiteral("0,5000\t0,0000\t0,0000\t0,0000\t") : zeros4;
        }
        const QString snapshot = node7 + QStringLiteral("\r\n") + node12 + QStringLiteral("\r\n");
        const QString lateAlert = QStringLiteral("7") + stamp + kAlertNoAnswer + QStringLiteral("\r\n");

        QCOMPARE(QDir(m_logs).entryList(QDir::Files).size(), 6);
        // The old day's files hold nothing of the new day.
        QCOMPARE(readFile(oldValue), valueHeader());
        QCOMPARE(readFile(oldSetpoint), setpointHeader());
        QCOMPARE(readFile(oldAlerts),
                 alertsHeader() + to_cp1251(QStringLiteral("7\t05.03.2003\t04:05.06\t") + kAlertNoAnswer + QStringLiteral("\r\n")));
        // The new ones: headers, one setpoint snapshot, then the rows.
        const QString valueRow = first == QLatin1String("value")
            ? QStringLiteral("12") + stamp + valueFields(3, QStringLiteral("12,3400")) + QStringLiteral("\r\n")
            : QString();
        const QString setpointRow = first == QLatin1String("setpoint") ? node12 + QStringLiteral("\r\n") : QString();
        const QString alertRow = first == QLatin1String("alert")
            ? QStringLiteral("12") + stamp + kAlertDbWriteFailed + QStringLiteral("\r\n")
            : QString();
        QCOMPARE(readFile(logs.valueLogPath()), valueHeader() + to_cp1251(valueRow));
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader() + to_cp1251(snapshot + setpointRow));
        QCOMPARE(readFile(logs.alertsLogPath()), alertsHeader() + to_cp1251(alertRow + lateAlert));
    }

    // A logs folder missing at the start: the logs are still active, every row
    // tries its file again and raises while it cannot; the folder is never made
    // here. Once the folder is there, the next row of each log creates its file.
    void withoutLogsFolder_data() { logKinds(); }

    void withoutLogsFolder()
    {
        QFETCH(QString, log);
        arr_nodes[1].address = 7;
        const QString missing = m_root.filePath(QStringLiteral("run%1/nowhere/logs").arg(m_run));
        DailyLogs logs(missing);
        QVERIFY(!logs.open_daily_logs());
        QVERIFY(!logs.log_open() && !logs.ustav_open() && !logs.alerts_open() && !logs.all_open());
        for (int attempt = 0; attempt < 2; ++attempt) {
            const QString error = writeError(logs, log, 1);
            QVERIFY2(error.contains(QFileInfo(pathOf(logs, log)).fileName()), qPrintable(error));
            QVERIFY(!isOpen(logs, log));
        }
        logs.day_change(0); // same date: nothing to roll over, nothing to say
        QVERIFY(!QDir(missing).exists());

        QVERIFY(QDir().mkpath(missing));
        QLX_WRITE_ROW(logs, log, 1);
        QVERIFY(isOpen(logs, log));
        QCOMPARE(readFile(pathOf(logs, log)), headerOf(log) + rowOf(log, 7));
        // Only the log that wrote a row was created.
        QCOMPARE(QDir(missing).entryList(QDir::Files), QStringList{QFileInfo(pathOf(logs, log)).fileName()});
        logs.close_daily_logs();
    }

    // After the end (close_daily_logs) the setpoint and alerts writers do
    // nothing and the value writer raises; no file is touched.
    void closedLogsWriteNothing()
    {
        arr_nodes[1].address = 7;
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        logs.close_daily_logs();
        QVERIFY(!logs.all_open());
        QVERIFY(QFile::remove(logs.alertsLogPath()));
        logs.write_setpoint_row(1);
        logs.write_alert_row(1, kAlertNoAnswer);
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_value_row(1));
        QCOMPARE(readFile(logs.valueLogPath()), valueHeader());
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader());
        QVERIFY(!QFile::exists(logs.alertsLogPath()));
        // Never opened at all: the same.
        DailyLogs never(m_logs);
        never.write_setpoint_row(1);
        never.write_alert_row(1, kAlertNoAnswer);
        QVERIFY_THROWS_EXCEPTION(LogWriteError, never.write_value_row(1));
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader());
    }

    // A log file that an operator or an archiving script takes away while the
    // station has it open: the next row goes to the file at today's path.
    void fileChangedWhileOpen_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("change");
        for (const char *log : {"value", "setpoint", "alert"}) {
            for (const char *change : {"deleted", "renamed", "replaced", "emptied"})
                QTest::addRow("%s %s", log, change) << QString::fromLatin1(log) << QString::fromLatin1(change);
        }
    }

    void fileChangedWhileOpen()
    {
        QFETCH(QString, log);
        QFETCH(QString, change);
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 8;
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        QLX_WRITE_ROW(logs, log, 1);
        const QString path = pathOf(logs, log);
        const QByteArray before = headerOf(log) + rowOf(log, 7);
        QCOMPARE(readFile(path), before);

        const QString moved = path + QStringLiteral(".old");
        const QByteArray foreign("kept\r\n");
        QByteArray expected;
        if (change == QLatin1String("deleted")) {
            QVERIFY(QFile::remove(path));
            expected = headerOf(log) + rowOf(log, 8);
        } else if (change == QLatin1String("renamed")) {
            QVERIFY(QFile::rename(path, moved));
            expected = headerOf(log) + rowOf(log, 8);
        } else if (change == QLatin1String("replaced")) {
            // Another file put in its place (moved there from elsewhere): appended to.
            const QString other = m_root.filePath(QStringLiteral("run%1/other.txt").arg(m_run));
            QVERIFY(writeFile(other, foreign));
            QVERIFY(QFile::rename(path, moved));
            QVERIFY(QFile::rename(other, path));
            expected = foreign + rowOf(log, 8);
        } else {
            // Cut to nothing in place, as a copy-and-truncate archiver does: same file,
            // which gets its header line again.
            QVERIFY(QFile(path).resize(0));
            expected = headerOf(log) + rowOf(log, 8);
        }

        QLX_WRITE_ROW(logs, log, 2);
        QVERIFY(isOpen(logs, log));
        QCOMPARE(readFile(path), expected);
        if (QFile::exists(moved))
            QCOMPARE(readFile(moved), before); // the old rows, untouched
        // And it goes on in the same file.
        QLX_WRITE_ROW(logs, log, 1);
        logs.close_daily_logs();
        QCOMPARE(readFile(path), expected + rowOf(log, 7));
    }

    // The logs folder removed while the logs are open (a disk unmounted, a
    // clean-up gone wrong) and made again later.
    void folderGoneAndBack_data() { logKinds(); }

    void folderGoneAndBack()
    {
        QFETCH(QString, log);
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 8;
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        QLX_WRITE_ROW(logs, log, 1);
        QVERIFY(QDir(m_logs).removeRecursively());

        // While it is missing, each row raises and leaves nothing behind.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const QString error = writeError(logs, log, 2);
            QVERIFY2(error.contains(QFileInfo(pathOf(logs, log)).fileName()), qPrintable(error));
            QVERIFY(!isOpen(logs, log));
            QVERIFY(!QDir(m_logs).exists());
        }

        QVERIFY(QDir().mkpath(m_logs));
        QLX_WRITE_ROW(logs, log, 2);
        QVERIFY(isOpen(logs, log));
        QLX_WRITE_ROW(logs, log, 1);
        logs.close_daily_logs();
        QCOMPARE(readFile(pathOf(logs, log)), headerOf(log) + rowOf(log, 8) + rowOf(log, 7));
    }

    // The logs folder missing at midnight: the roll-over cannot open the new
    // files; the clock tick says so. When the folder is back, the first row of
    // any log first writes the new setpoint log's snapshot.
    void rollOverWithoutFolder()
    {
        arr_nodes[1].address = 7;
        arr_nodes[2].address = 12;
        DailyLogs logs(m_logs);
        QVERIFY(logs.open_daily_logs());
        QVERIFY(QDir(m_logs).removeRecursively());

        set_clock([] { return kNextMidnight; });
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.day_change(0));
        QVERIFY(!logs.log_open() && !logs.ustav_open() && !logs.alerts_open());
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_value_row(1));
        // The alerts writer says its own failure, not the setpoint log's.
        const QString error = writeError(logs, QStringLiteral("alert"), 1);
        QVERIFY2(error.contains(QStringLiteral("alerts_030306.txt")), qPrintable(error));

        const QDateTime later(QDate(2003, 3, 6), QTime(0, 10, 11));
        set_clock([later] { return later; });
        QVERIFY(QDir().mkpath(m_logs));
        logs.write_alert_row(2, kAlertNoAnswer);
        logs.write_alert_row(1, kAlertNoAnswer);
        logs.day_change(1); // nothing left to write
        logs.write_setpoint_row(2);
        logs.close_daily_logs();

        const QString stamp = QStringLiteral("\t06.03.2003\t00:10.11\t");
        QString zeros;
        for (int i = 0; i < 48; ++i)
            zeros += QStringLiteral("0,0000\t");
        const QString node7 = QStringLiteral("7") + stamp + zeros + QStringLiteral("\r\n");
        const QString node12 = QStringLiteral("12") + stamp + zeros + QStringLiteral("\r\n");
        QCOMPARE(QDir(m_logs).entryList(QDir::Files),
                 (QStringList{QStringLiteral("alerts_030306.txt"), QStringLiteral("ustav_030306.txt")}));
        QCOMPARE(readFile(logs.setpointLogPath()), setpointHeader() + to_cp1251(node7 + node12 + node12));
        QCOMPARE(readFile(logs.alertsLogPath()),
                 alertsHeader()
                     + to_cp1251(QStringLiteral("12") + stamp + kAlertNoAnswer + QStringLiteral("\r\n") + QStringLiteral("7")
                                 + stamp + kAlertNoAnswer + QStringLiteral("\r\n")));
    }

    // A full disk (a small tmpfs filled up): a row that does not fit, wholly or
    // in part, raises and leaves its file exactly as it was, also a file that
    // was partly written; a file made while the disk is full does not stay.
    // Once there is room again the next row of each log is written whole.
    void fullDiskLeavesWholeRows()
    {
        const QString disk = m_root.filePath(QStringLiteral("run%1/disk").arg(m_run));
        QVERIFY(QDir().mkpath(disk));
        QProcess mount;
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=64k"),
                     QStringLiteral("tmpfs"), disk});
        if (!mount.waitForFinished(30000) || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
            const QString why = mount.error() == QProcess::UnknownError
                ? QString::fromLocal8Bit(mount.readAllStandardError()).simplified()
                : mount.errorString();
            QSKIP(qPrintable(QStringLiteral("cannot mount a 64 KiB tmpfs to fill up (needs root): ") + why));
        }
        m_mounted = disk;

        arr_nodes[1].address = 7;
        const QString logsDir = disk + QStringLiteral("/logs");
        QVERIFY(QDir().mkpath(logsDir));
        DailyLogs logs(logsDir);
        QVERIFY(logs.open_daily_logs());
        const QStringList kinds{QStringLiteral("value"), QStringLiteral("setpoint"), QStringLiteral("alert")};
        for (const QString &log : kinds)
            QLX_WRITE_ROW(logs, log, 1);

        const QString filler = disk + QStringLiteral("/filler");
        {
            QFile fill(filler);
            QVERIFY(fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            const QByteArray block(4096, 'x');
            qint64 total = 0;
            while (fill.write(block) == block.size() && total < 1024 * 1024)
                total += block.size();
            QVERIFY2(total < 1024 * 1024, "the tmpfs does not fill up");
        }

        // Rows go on while the files' last blocks have room, then fail, one of
        // them usually cut short by the disk.
        for (const QString &log : kinds) {
            const QString path = pathOf(logs, log);
            int failures = 0;
            for (int row = 0; row < 1000 && failures < 3; ++row) {
                const QByteArray before = readFile(path);
                bool raised = false;
                try {
                    writeRow(logs, log, 1);
                } catch (const LogWriteError &e) {
                    raised = true;
                    ++failures;
                    QVERIFY2(QString::fromStdString(e.what()).contains(QFileInfo(path).fileName()), e.what());
                }
                const QByteArray after = readFile(path);
                QVERIFY2(after.endsWith("\r\n") && !after.contains('\0'), qPrintable(log));
                QCOMPARE(after, raised ? before : before + rowOf(log, 7));
            }
            QVERIFY2(failures == 3, qPrintable(log + QStringLiteral(": the disk never refused a row")));
        }

        // A file deleted while the disk is full is not left as a header alone.
        const QString alerts = logs.alertsLogPath();
        const QByteArray oldAlerts = readFile(alerts);
        QVERIFY(QFile::rename(alerts, alerts + QStringLiteral(".old")));
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_alert_row(1, kAlertNoAnswer));
        QVERIFY(!QFile::exists(alerts));

        QVERIFY(QFile::remove(filler));
        for (const QString &log : kinds) {
            const QString path = pathOf(logs, log);
            const QByteArray before = QFile::exists(path) ? readFile(path) : headerOf(log);
            QLX_WRITE_ROW(logs, log, 1);
            QCOMPARE(readFile(path), before + rowOf(log, 7));
        }
        logs.close_daily_logs();
        QCOMPARE(readFile(alerts + QStringLiteral(".old")), oldAlerts);
    }

    void fullDiskRaises()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full");
        arr_nodes[1].address = 7;
        DailyLogs logs(m_logs);
        // Existing files are appended to, so the header is not written into them.
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), logs.valueLogPath()));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), logs.setpointLogPath()));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), logs.alertsLogPath()));
        QVERIFY(logs.open_daily_logs());
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_value_row(1));
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_setpoint_row(1));
        QVERIFY_THROWS_EXCEPTION(LogWriteError, logs.write_alert_row(1, kAlertNoAnswer));
        logs.close_daily_logs();
    }
};

QTEST_GUILESS_MAIN(TestDailyLogs)
#include "test_daily_logs.moc"
