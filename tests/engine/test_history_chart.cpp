// What the history chart reads, without its window: the checks of "История мин."
// and "Обновление сек.", the start of the window, and the rows of one channel
// over the last minutes on both database engines — in ascending time even when
// they were stored out of order, and nothing at all when there is nothing to draw.
#include "engine/history_chart.h"

#include "base/node_table.h"
#include "tests/fixtures/history_db_fixture.h"

#include <QTemporaryDir>
#include <QTest>

using namespace qlx;
using namespace qlx::test;

namespace {

const QDateTime kNow = QDateTime(QDate(2026, 12, 10), QTime(12, 0, 0));

QList<PollRow> channelRows(double base)
{
    QList<PollRow> rows;
    for (int k = 1; k <= 12; ++k)
        rows.append({k, base - 10 - k, base + 10 + k, base + k / 100.0});
    return rows;
}

// A history database of the engine in a temporary folder.
struct ChartDb {
    QTemporaryDir dir;
    TDM_local dm;

    void open(const QString &engine)
    {
        QVERIFY(dir.isValid());
        writeLink(engine, dir.path());
        QVERIFY2(dm.open_history_database(dir.path()), qPrintable(dm.last_error()));
    }
    // One poll of the node, minutes before kNow, its channel k izm = base + k/100.
    void poll(int sensor, int minutesAgo, double base)
    {
        QString error;
        QVERIFY2(dm.write_node(sensor, kNow.addSecs(-60 * minutesAgo), channelRows(base), &error), qPrintable(error));
    }
};

} // namespace

class TestHistoryChart : public QObject {
    Q_OBJECT
private slots:
    void fieldChecks_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // 0: refused

        QTest::newRow("minutes from the list") << "minutes" << "90" << 90;
        QTest::newRow("minutes with blanks") << "minutes" << " 15 " << 15;
        QTest::newRow("minutes: a whole day") << "minutes" << "1440" << 1440;
        QTest::newRow("minutes: more than a day") << "minutes" << "1441" << 0;
        QTest::newRow("minutes: zero") << "minutes" << "0" << 0;
        QTest::newRow("minutes: negative") << "minutes" << "-5" << 0;
        QTest::newRow("minutes: not a number") << "minutes" << "10 мин" << 0;
        QTest::newRow("minutes: empty") << "minutes" << "" << 0;
        QTest::newRow("seconds: one") << "seconds" << "1" << 1;
        QTest::newRow("seconds: an hour") << "seconds" << "3600" << 3600;
        QTest::newRow("seconds: more than an hour") << "seconds" << "3601" << 0;
        QTest::newRow("seconds: zero") << "seconds" << "0" << 0;
        QTest::newRow("seconds: a fraction") << "seconds" << "2,5" << 0;
    }
    void fieldChecks()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(int, value);
        QString error;
        const auto got = field == QLatin1String("minutes") ? chart_minutes(text, &error)
                                                           : chart_refresh_seconds(text, &error);
        QCOMPARE(got.value_or(0), value);
        // A refusal names what was typed and the field, for the one message the operator sees.
        QCOMPARE(error.isEmpty(), value != 0);
        if (value == 0) {
            QVERIFY(error.contains(QLatin1Char('"') + text + QLatin1Char('"')));
            QVERIFY(error.contains(field == QLatin1String("minutes") ? QStringLiteral("История мин.")
                                                                     : QStringLiteral("Обновление сек.")));
        }
    }

    void windowStart_data()
    {
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QDateTime>("start");
        QTest::newRow("90 minutes") << 90 << QDateTime(QDate(2026, 12, 10), QTime(10, 30));
        QTest::newRow("120 minutes") << 120 << QDateTime(QDate(2026, 12, 10), QTime(10, 0));
        QTest::newRow("a whole day, into yesterday") << 1440 << QDateTime(QDate(2026, 12, 9), QTime(12, 0));
        QTest::newRow("one minute") << 1 << QDateTime(QDate(2026, 12, 10), QTime(11, 59));
    }
    void windowStart()
    {
        QFETCH(int, minutes);
        QFETCH(QDateTime, start);
        QCOMPARE(chart_window_start(kNow, minutes), start);
    }

    void nodeAddressesStopAtTheFirstEmptySlot()
    {
        reset_node_table_state();
        arr_nodes[1].address = 5;
        arr_nodes[2].address = 34;
        arr_nodes[4].address = 9; // behind an empty slot: not listed
        QCOMPARE(HistoryChart::nodeAddresses(), (QStringList{QStringLiteral("5"), QStringLiteral("34")}));
        reset_node_table_state();
        QVERIFY(HistoryChart::nodeAddresses().isEmpty());
    }

    void rowsOfOneChannel_data() { engineRows(); }
    void rowsOfOneChannel()
    {
        QFETCH(QString, engine);
        if (engine == QLatin1String("postgresql") && !pgAvailable())
            QSKIP("no PostgreSQL test server (QLX_PG_SOCKET / QLX_PG_PORT)");
        ChartDb db;
        db.open(engine);
        // Stored out of order, with a neighbour node and a poll outside the window.
        db.poll(8, 3, 300);
        db.poll(9, 2, 900);
        db.poll(8, 1, 100);
        db.poll(8, 30, 700);
        db.poll(8, 2, 200);
        HistoryChart chart(db.dm);

        const auto load = chart.load_history(QStringLiteral(" 8 "), QStringLiteral("3"), 10, kNow);
        QVERIFY(load);
        QList<QDateTime> times;
        QList<double> izm;
        for (const HistoryRow &row : load->rows) {
            QCOMPARE(row.sensor, 8);
            QCOMPARE(row.chanel, 3);
            times << row.rec_time;
            izm << row.izm;
        }
        QCOMPARE(times, (QList<QDateTime>{kNow.addSecs(-180), kNow.addSecs(-120), kNow.addSecs(-60)}));
        QCOMPARE(izm, (QList<double>{300.03, 200.03, 100.03}));
        // All three lines fit: from the lowest setpoint to the highest.
        QCOMPARE(load->minValue, 100.0 - 13);
        QCOMPARE(load->maxValue, 300.0 + 13);

        // The window's start counts: two minutes back takes the polls at -2 and -1.
        const auto shorter = chart.load_history(QStringLiteral("8"), QStringLiteral("3"), 2, kNow);
        QVERIFY(shorter);
        QCOMPARE(shorter->rows.size(), 2);
        QCOMPARE(shorter->rows.first().rec_time, kNow.addSecs(-120));

        // "Заполнить всеми возможными" lists every node in the history, the old one too.
        QCOMPARE(chart.allAddresses(), std::optional<QStringList>({QStringLiteral("8"), QStringLiteral("9")}));
    }

    void nothingToDraw_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<int>("minutes");
        QTest::newRow("address not a number") << "8a" << "3" << 10;
        QTest::newRow("address empty") << "" << "3" << 10;
        QTest::newRow("channel empty") << "8" << "" << 10;
        QTest::newRow("a node never recorded") << "77" << "3" << 10;
        QTest::newRow("a channel with no rows") << "8" << "13" << 10;
        QTest::newRow("no poll in the window") << "8" << "3" << 1;
    }
    void nothingToDraw()
    {
        QFETCH(QString, address);
        QFETCH(QString, channel);
        QFETCH(int, minutes);
        ChartDb db;
        db.open(QStringLiteral("sqlite"));
        db.poll(8, 5, 100);
        HistoryChart chart(db.dm);
        QVERIFY(!chart.load_history(address, channel, minutes, kNow));
    }
};

QTEST_GUILESS_MAIN(TestHistoryChart)
#include "test_history_chart.moc"
