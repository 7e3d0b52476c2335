// The history chart window, headless: its look (series, status line, fields),
// the checks of "История мин." and "Обновление сек." that give one message and
// keep the chart working, a zoom that survives the next tick, printing without
// a printer, and the lines of a channel a polling station recorded.
#include "windows/history_chart_window.h"

#include "base/node_table.h"
#include "tests/fixtures/history_db_fixture.h"
#include "tests/fixtures/station_fixture.h"
#include "widgets/dialog_seam.h"
#include "windows/print_report.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPrinter>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QValueAxis>

using namespace qlx;
using namespace qlx::test;
using namespace qlx::testing;

namespace {

const QDateTime kNow = QDateTime(QDate(2026, 12, 10), QTime(12, 0, 0));

// A SQLite history database in a temporary folder, polls stamped relative to kNow.
struct ChartDb {
    QTemporaryDir dir;
    TDM_local dm;

    bool open()
    {
        return dir.isValid() && write_sqlite_link(dir.path(), QStringLiteral("history.db"))
            && dm.open_history_database(dir.path());
    }
    // Node 8: channel 3 izm = value, setpoints value - 10 and value + 10.
    bool poll(int secondsAgo, double value, int sensor = 8)
    {
        QList<PollRow> rows;
        for (int k = 1; k <= 12; ++k)
            rows.append({k, value - 10, value + 10, k == 3 ? value : 0.0});
        return dm.write_node(sensor, kNow.addSecs(-secondsAgo), rows);
    }
};

// The error messages the window shows, answered at once.
struct Messages {
    QStringList errors;
    Messages()
    {
        DialogSeam::setHandler([this](const DialogRequest &request) {
            errors << request.text;
            return int(QMessageBox::Ok);
        });
    }
    ~Messages() { DialogSeam::setHandler({}); }
};

// Types into an editable list and leaves it, as the operator does.
void typeInto(QComboBox *box, const QString &text)
{
    box->lineEdit()->setText(text);
    emit box->lineEdit()->editingFinished();
}

// A chart window on node 8 channel 3 at kNow.
std::unique_ptr<HistoryChartWindow> chartOn(TDM_local &dm)
{
    auto window = std::make_unique<HistoryChartWindow>(dm);
    window->setClock([] { return kNow; });
    window->sensorField()->setEditText(QStringLiteral("8"));
    window->channelField()->setEditText(QStringLiteral("3"));
    window->resize(900, 560);
    window->show();
    return window;
}

QList<QDateTime> timesOf(const QLineSeries *series)
{
    QList<QDateTime> times;
    for (const QPointF &p : series->points())
        times << QDateTime::fromMSecsSinceEpoch(qint64(p.x()));
    return times;
}

} // namespace

class TestHistoryChartWindow : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    void looksAsDrawn()
    {
        arr_nodes[1].address = 8;
        arr_nodes[2].address = 21;
        ChartDb db;
        QVERIFY(db.open());
        HistoryChartWindow window(db.dm);

        struct Line {
            QString name;
            QColor colour;
        };
        const QList<Line> lines{{QStringLiteral("Изм"), QColor(255, 0, 0)},
                                {QStringLiteral("ВУ"), QColor(0, 128, 0)},
                                {QStringLiteral("НУ"), QColor(0, 0, 255)}};
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(window.series(i)->name(), lines[i].name);
            QCOMPARE(window.series(i)->pen().color(), lines[i].colour);
            QCOMPARE(window.series(i)->pen().width(), 5);
            QVERIFY(!window.series(i)->pointsVisible());
        }
        QCOMPARE(window.sensorField()->count(), 2);
        QCOMPARE(window.sensorField()->currentText(), QString());
        QCOMPARE(window.channelField()->currentText(), QStringLiteral("1"));
        QCOMPARE(window.channelField()->count(), 12);
        QCOMPARE(window.refreshField()->currentText(), QStringLiteral("5"));
        QCOMPARE(window.minutesField()->currentText(), QStringLiteral("10"));

        // Off at creation, in red; on in black, at the field's interval.
        QVERIFY(!window.autoRefresh());
        QCOMPARE(window.statusLine()->text(), QStringLiteral("Автоматическое обновление выключено"));
        QVERIFY(window.statusLine()->styleSheet().contains(QStringLiteral("red")));
        window.refreshButton()->click();
        QVERIFY(window.autoRefresh());
        QCOMPARE(window.refreshTimer()->interval(), 5000);
        QCOMPARE(window.statusLine()->text(), QStringLiteral("Автоматическое обновление"));
        QVERIFY(window.statusLine()->styleSheet().contains(QStringLiteral("black")));
        window.refreshButton()->click();
        QVERIFY(!window.autoRefresh());

        window.markers()->setChecked(true);
        QVERIFY(window.series(0)->pointLabelsVisible());
        window.markers()->setChecked(false);
        QVERIFY(!window.series(0)->pointLabelsVisible());
    }

    void fieldChanges_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("inForce");
        QTest::addColumn<int>("messages");
        QTest::newRow("minutes: 90") << "minutes" << "90" << 90 << 0;
        QTest::newRow("minutes: a day") << "minutes" << "1440" << 1440 << 0;
        QTest::newRow("minutes: not a number") << "minutes" << "десять" << 10 << 1;
        QTest::newRow("minutes: beyond a day") << "minutes" << "2000" << 10 << 1;
        QTest::newRow("seconds: an hour") << "seconds" << "3600" << 3600 << 0;
        QTest::newRow("seconds: zero") << "seconds" << "0" << 5 << 1;
        QTest::newRow("seconds: beyond an hour") << "seconds" << "3601" << 5 << 1;
    }
    void fieldChanges()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(int, inForce);
        QFETCH(int, messages);
        ChartDb db;
        QVERIFY(db.open());
        QVERIFY(db.poll(120, 50));
        QVERIFY(db.poll(60, 60));
        Messages shown;
        auto window = chartOn(db.dm);
        const bool minutes = field == QLatin1String("minutes");
        QComboBox *box = minutes ? window->minutesField() : window->refreshField();
        typeInto(box, text);
        // Leaving the field again is no new change and no second message.
        emit box->lineEdit()->editingFinished();
        QCOMPARE(shown.errors.size(), messages);
        QCOMPARE(minutes ? window->minutes() : window->refreshSeconds(), inForce);
        QCOMPARE(box->currentText(), QString::number(inForce));
        if (!minutes)
            QCOMPARE(window->refreshTimer()->interval(), inForce * 1000);

        // Whatever was typed, ticks go on drawing without a message.
        QSignalSpy loaded(window.get(), &HistoryChartWindow::loaded);
        window->load_history();
        window->load_history();
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded.last().first().toInt(), 2);
        QCOMPARE(shown.errors.size(), messages);
    }

    void zoomSurvivesTheNextTick()
    {
        ChartDb db;
        QVERIFY(db.open());
        for (int s = 540; s >= 60; s -= 60)
            QVERIFY(db.poll(s, 50 + s / 60));
        auto window = chartOn(db.dm);
        window->load_history();
        QCOMPARE(window->timeAxis()->min(), kNow.addSecs(-540));
        QCOMPARE(window->timeAxis()->max(), kNow.addSecs(-60));
        QVERIFY(!window->zoomed());

        // The right half of the plot, the lower half of the values.
        const QRectF plot = window->chartView()->chart()->plotArea();
        window->zoomTo(QRectF(plot.center().x(), plot.center().y(), plot.width() / 2, plot.height() / 2));
        QVERIFY(window->zoomed());
        const QDateTime left = window->timeAxis()->min();
        const qreal low = window->valueAxis()->min();
        const qreal high = window->valueAxis()->max();
        QVERIFY(left > kNow.addSecs(-540));

        QVERIFY(db.poll(0, 40));
        window->load_history();
        QCOMPARE(window->timeAxis()->min(), left);
        QCOMPARE(window->timeAxis()->max(), kNow);
        QCOMPARE(window->valueAxis()->min(), low);
        QCOMPARE(window->valueAxis()->max(), high);
        QVERIFY(window->zoomed());

        // Back to the full view: every row and every value.
        window->showFullView();
        QVERIFY(!window->zoomed());
        QCOMPARE(window->timeAxis()->min(), kNow.addSecs(-540));
        QCOMPARE(window->timeAxis()->max(), kNow);
        QVERIFY(window->valueAxis()->min() < 40 - 10);
        QVERIFY(window->valueAxis()->max() > 59 + 10);
    }

    void emptyWindowDrawsNothing()
    {
        ChartDb db;
        QVERIFY(db.open());
        QVERIFY(db.poll(60, 50));
        auto window = chartOn(db.dm);
        window->load_history();
        QCOMPARE(window->series(0)->count(), 1);
        // Another channel of the same node that never had a row, then a non-number.
        window->channelField()->setEditText(QStringLiteral("13"));
        window->load_history();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(window->series(i)->count(), 0);
        window->channelField()->setEditText(QStringLiteral("3"));
        window->sensorField()->setEditText(QStringLiteral("восемь"));
        window->load_history();
        QCOMPARE(window->series(0)->count(), 0);
    }

    // A tick runs to its end without turning the event loop, so the next tick (or
    // anything else) can never start inside it.
    void aTickNeverTurnsTheEventLoop()
    {
        ChartDb db;
        QVERIFY(db.open());
        QVERIFY(db.poll(60, 50));
        auto window = chartOn(db.dm);
        bool ranInside = false;
        QTimer::singleShot(0, window.get(), [&] { ranInside = true; });
        window->load_history();
        QCOMPARE(window->series(0)->count(), 1);
        QVERIFY(!ranInside);
        QTRY_VERIFY(ranInside);
    }

    void fillWithEveryRecordedNode()
    {
        arr_nodes[1].address = 8;
        ChartDb db;
        QVERIFY(db.open());
        QVERIFY(db.poll(60, 50, 34));
        QVERIFY(db.poll(60, 50, 8));
        QVERIFY(db.poll(60, 50, 3));
        auto window = chartOn(db.dm);
        window->fillAllAddresses();
        QStringList listed;
        for (int i = 0; i < window->sensorField()->count(); ++i)
            listed << window->sensorField()->itemText(i);
        QCOMPARE(listed, (QStringList{QStringLiteral("3"), QStringLiteral("8"), QStringLiteral("34")}));
        QCOMPARE(window->sensorField()->currentText(), QStringLiteral("8"));
    }

    void printing()
    {
        ChartDb db;
        QVERIFY(db.open());
        QVERIFY(db.poll(60, 50));
        Messages shown;
        auto window = chartOn(db.dm);
        window->load_history();
        QPrinter &printer = current_printer();
        const QString saved = printer.outputFileName();
        printer.setOutputFormat(QPrinter::PdfFormat);

        // No printer to go to: said once, nothing else happens.
        printer.setOutputFileName(QString());
        window->printButton()->click();
        QCOMPARE(shown.errors.size(), 1);
        QVERIFY(shown.errors.first().contains(QStringLiteral("принтер")));

        QTemporaryDir out;
        printer.setOutputFileName(out.filePath(QStringLiteral("chart.pdf")));
        window->printButton()->click();
        printer.setOutputFileName(saved);
        QCOMPARE(shown.errors.size(), 1);
        QFile pdf(out.filePath(QStringLiteral("chart.pdf")));
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        QVERIFY(pdf.readAll().startsWith("%PDF"));
    }

    // The lines of a channel are the rows polling stored for it, in time order.
    void linesOfARecordingStation()
    {
        SimStation l;
        QVERIFY(l.open(19200, 1000));
        l.station().line().setFastSpeed(true);
        l.putNodes({5, 8});
        l.polling().setInterval(0);
        l.station().settings().setRecordInDb(true);
        const RowProbe probe = l.probe();
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());
        QVERIFY(waitUntil([&] { return probe.history(8, 3).size() >= 4; }, 120000));
        run(l.polling().mnu_refreshClick());
        run(std::move(*runTask));

        HistoryChartWindow window(l.engine().database());
        window.sensorField()->setEditText(QStringLiteral("8"));
        window.channelField()->setEditText(QStringLiteral("3"));
        window.load_history();
        const QList<RecordedRow> stored = probe.history(8, 3);
        QCOMPARE(window.series(0)->count(), stored.size());
        QList<QDateTime> times = timesOf(window.series(0));
        QVERIFY(std::is_sorted(times.begin(), times.end()));
        for (int i = 0; i < stored.size(); ++i) {
            QCOMPARE(times[i].toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), stored[i].recTime);
            QCOMPARE(window.series(0)->at(i).y(), stored[i].izm);
            QCOMPARE(window.series(1)->at(i).y(), stored[i].vu);
            QCOMPARE(window.series(2)->at(i).y(), stored[i].nu);
        }
    }
};

QTEST_MAIN(TestHistoryChartWindow)
#include "test_history_chart_window.moc"
