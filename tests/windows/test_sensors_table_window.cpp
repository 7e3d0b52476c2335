// The interval dialog and the history table window over an SQLite history: the
// date fields steering the time fields, OK on a period with rows, without rows
// and above the row limit, "Вид 1" read only once shown, grouping by dragging a
// header onto the grouping panel, layouts kept over closing and reopening, a
// damaged layout file, and the export command's question about existing files.
#include "windows/select_interval_dialog.h"
#include "windows/sensors_table_window.h"

#include "storage/unit_files.h"
#include "widgets/dialog_seam.h"

#include "tests/fixtures/history_fixture.h"

#include <QDateEdit>
#include <QDateTimeEdit>
#include <QHeaderView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeView>

using namespace qlx;
using namespace qlx::testing;

namespace {

// Answers every message box, remembering it.
struct Messages {
    QList<DialogRequest> seen;
    int answer = QMessageBox::Yes;
    Messages()
    {
        DialogSeam::setHandler([this](const DialogRequest &r) {
            seen << r;
            return answer;
        });
    }
    ~Messages() { DialogSeam::setHandler({}); }
    QList<DialogRequest> messages() const
    {
        QList<DialogRequest> m;
        for (const DialogRequest &r : seen)
            if (r.kind == DialogRequest::Kind::Message)
                m << r;
        return m;
    }
};

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class TableTest : public QObject {
public:
    explicit TableTest(HistoryFixture &db)
        : m_db(db)
    {
    }
    Tfrm_sensors *open(const HistoryPeriod &period, qint64 limit = kHistoryRowLimit)
    {
        auto *table = new Tfrm_sensors(m_db.dm(), period, iniFile(kGridIniName), iniFile(kGrid2IniName), {});
        table->setAttribute(Qt::WA_DeleteOnClose);
        table->session()->setRowLimit(limit);
        table->resize(900, 500);
        table->show();
        last = table;
        return table;
    }
    QString iniFile(const QString &name) const { return QDir(m_db.root()).filePath(QStringLiteral("ini/") + name); }
    QPointer<Tfrm_sensors> last;

private:
    HistoryFixture &m_db;
};

// Counts the table's period and waits for "Вид 2".
bool openAndWait(Tfrm_sensors *table)
{
    std::optional<HistorySession::OpenResult> result;
    auto wrapper = [](Tfrm_sensors *t, std::optional<HistorySession::OpenResult> *out) -> QCoro::Task<void> {
        *out = co_await t->openData();
    };
    auto task = wrapper(table, &result);
    return QTest::qWaitFor([&] { return result.has_value(); }, 120000)
        && result->status == HistorySession::Opening::Opened
        && QTest::qWaitFor([&] { return table->session()->isLoaded(HistoryView::Cross); }, 120000);
}

bool waitLoaded(Tfrm_sensors *table, HistoryView view)
{
    return QTest::qWaitFor([&] { return table->session()->isLoaded(view) && !table->session()->isLoading(view); },
                           120000);
}

} // namespace

class TestSensorsTableWindow : public QObject {
    Q_OBJECT

private slots:
    void dateFieldsSteerTimeFields();
    void confirmPeriod_data();
    void confirmPeriod();
    void groupingAndLayoutsKept();
    void exportAsksAboutExistingFiles();
};

void TestSensorsTableWindow::dateFieldsSteerTimeFields()
{
    const QDateTime now = at("10.03.2026 14:25:37");
    Tfrm_select_interval dialog({}, now);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Выборка данных"));
    // The last 24 hours, to the second.
    QCOMPARE(dialog.period().from, at("09.03.2026 14:25:37"));
    QCOMPARE(dialog.period().to, now);
    dialog.DateTimePicker1->setDate(QDate(2026, 3, 1));
    QCOMPARE(dialog.period().from, at("01.03.2026 14:25:37"));
    dialog.DateTimePicker2->setDate(QDate(2026, 3, 5));
    QCOMPARE(dialog.period().to, at("05.03.2026 14:25:37"));
    // The end date is the latest the start date accepts.
    dialog.DateTimePicker1->setDate(QDate(2026, 3, 8));
    QCOMPARE(dialog.DateTimePicker1->date(), QDate(2026, 3, 5));
    QCOMPARE(dialog.period().from, at("05.03.2026 14:25:37"));
}

void TestSensorsTableWindow::confirmPeriod_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("message");
    QTest::newRow("rows, seconds counted") << at("01.03.2026 10:00:01") << at("01.03.2026 10:00:02")
                                           << kHistoryRowLimit << true << QString();
    QTest::newRow("no rows: no message") << at("01.03.2026 10:00:03") << at("01.03.2026 10:59:59")
                                         << kHistoryRowLimit << false << QString();
    QTest::newRow("start after end") << at("01.03.2026 10:00:02") << at("01.03.2026 10:00:01")
                                     << kHistoryRowLimit << false << QString();
    QTest::newRow("above the limit") << at("01.03.2026 10:00:00") << at("01.03.2026 10:00:02") << qint64(71)
                                     << false << history_limit_text(71);
}

void TestSensorsTableWindow::confirmPeriod()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(qint64, limit);
    QFETCH(bool, opened);
    QFETCH(QString, message);
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 3, 2, 1)); // 10:00:00 .. 10:00:02, 72 rows
    Messages messages;
    TableTest tables(db);
    auto *dialog = new Tfrm_select_interval([&](const HistoryPeriod &p) { return tables.open(p, limit); });
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<Tfrm_select_interval> alive(dialog);
    dialog->show();
    dialog->DateTimePicker3->setDateTime(from);
    dialog->DateTimePicker4->setDateTime(to);
    QSignalSpy confirmed(dialog, &Tfrm_select_interval::confirmed);
    dialog->BitBtn1->click();
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.size(), 1, 60000);
    QCOMPARE(confirmed.at(0).at(0).toBool(), opened);
    QStringList texts;
    for (const DialogRequest &r : messages.messages())
        texts << r.text;
    QCOMPARE(texts, message.isEmpty() ? QStringList() : QStringList{message});
    if (!opened) {
        QTRY_VERIFY(!tables.last);       // the table window closed again
        QVERIFY(alive && alive->isVisible()); // the dialog stays for another try
        delete dialog;
        return;
    }
    QTRY_VERIFY(!alive);
    Tfrm_sensors *table = tables.last;
    QVERIFY(table);
    QCOMPARE(table->windowTitle(), QStringLiteral("История состояний"));
    QCOMPARE(table->tabs()->currentWidget(), table->grid(HistoryView::Cross));
    QVERIFY(waitLoaded(table, HistoryView::Cross));
    HistoryTreeModel *cross = table->grid(HistoryView::Cross)->model();
    QCOMPARE(cross->rowCount(), 4);
    QCOMPARE(cross->index(0, 0).data().toString(), QStringLiteral("01.03.2026 10:00:02")); // newest first
    QCOMPARE(cross->index(3, 0).data().toString(), QStringLiteral("01.03.2026 10:00:01"));
    QCOMPARE(cross->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Канал 1"));
    QCOMPARE(cross->index(0, 1).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    QCOMPARE(cross->index(0, 2).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
    // "Вид 1" is read when first shown.
    QVERIFY(!table->session()->isLoaded(HistoryView::Rows));
    table->tabs()->setCurrentWidget(table->grid(HistoryView::Rows));
    QVERIFY(waitLoaded(table, HistoryView::Rows));
    QCOMPARE(table->grid(HistoryView::Rows)->model()->rowCount(), 48);
    table->close();
}

void TestSensorsTableWindow::groupingAndLayoutsKept()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 3, 3, 1)); // 9 polls, 108 rows
    TableTest tables(db);
    const HistoryPeriod period{at("01.03.2026 10:00:00"), at("01.03.2026 10:00:02")};
    {
        QFile damaged(tables.iniFile(kGrid2IniName));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("[Layout]\r\nOrder=9,9\r\n");
    }
    Tfrm_sensors *table = tables.open(period);
    QVERIFY(openAndWait(table));
    HistoryGrid *grid2 = table->grid(HistoryView::Cross);
    // The damaged file gave the default layout.
    QCOMPARE(grid2->layout().order, GridLayout::defaults(HistoryView::Cross).order);
    QCOMPARE(grid2->layout().sortColumn, 0);
    QCOMPARE(grid2->layout().sortOrder, Qt::DescendingOrder);

    // "Группировать" shows the panel; the header "Узел" dragged onto it groups by node.
    grid2->groupAction()->trigger();
    QTRY_VERIFY(grid2->groupPanel()->isVisible());
    QHeaderView *header = grid2->header();
    const QPoint press(header->sectionViewportPosition(1) + 5, header->height() / 2);
    const QPoint onPanel =
        header->viewport()->mapFromGlobal(grid2->groupPanel()->mapToGlobal(grid2->groupPanel()->rect().center()));
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, press);
    QTest::mouseMove(header->viewport(), onPanel);
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, onPanel);
    HistoryTreeModel *model = grid2->model();
    QCOMPARE(model->groups(), QList<int>{1});
    QCOMPARE(grid2->layout().sortColumn, 0); // the drop was no sorting click
    QCOMPARE(model->rowCount(), 3);
    const QModelIndex node2 = model->index(1, 0);
    QCOMPARE(node2.data().toString(), QStringLiteral("Узел: 2 (3)"));
    QCOMPARE(model->rowCount(node2), 3);
    QCOMPARE(model->index(0, 0, node2).data().toString(), QStringLiteral("01.03.2026 10:00:02"));
    QCOMPARE(model->index(0, 1, node2).data().toString(), QStringLiteral("2"));
    QCOMPARE(model->parent(model->index(2, 3, node2)), node2);

    // Values cannot be grouped on; a channel can.
    HistoryGrid *grid1 = table->grid(HistoryView::Rows);
    QVERIFY(!grid1->groupBy(3));
    QVERIFY(grid1->groupBy(2));
    // Columns moved and resized, a sort by clicking a header.
    QHeaderView *h = grid2->header();
    h->moveSection(h->visualIndex(13), 2);
    h->resizeSection(0, 177);
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                      QPoint(h->sectionViewportPosition(2) + 5, h->height() / 2));
    QCOMPARE(grid2->layout().sortColumn, 2);
    const GridLayout rows = grid1->layout();
    const GridLayout cross = grid2->layout();
    QCOMPARE(cross.order.at(2), 13);
    QCOMPARE(cross.widths.at(0), 177);

    table->close();
    QTRY_VERIFY(!tables.last);
    Tfrm_sensors *again = tables.open(period);
    QCOMPARE(again->grid(HistoryView::Rows)->layout(), rows);
    QCOMPARE(again->grid(HistoryView::Cross)->layout(), cross);
    QVERIFY(again->grid(HistoryView::Cross)->groupPanel()->isVisible());
    again->close();
}

void TestSensorsTableWindow::exportAsksAboutExistingFiles()
{
    HistoryFixture db(QStringLiteral("sqlite"));
    QVERIFY(db.ok());
    QVERIFY(db.bulk(at("01.03.2026 10:00:00"), 3, 1, 1)); // 3 polls, 36 rows
    TableTest tables(db);
    Tfrm_sensors *table = tables.open({at("01.03.2026 10:00:00"), at("01.03.2026 10:00:02")});
    QVERIFY(openAndWait(table));
    QTemporaryDir dir;
    QString chosen = dir.filePath(QStringLiteral("out"));
    table->setSaveDialog([&chosen](QWidget *, ExportFormat) -> QCoro::Task<QString> { co_return QString(chosen); });
    const QString first = dir.filePath(QStringLiteral("out.txt"));
    const QString second = dir.filePath(QStringLiteral("out2.txt"));
    {
        QFile old(second);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    Messages messages;
    QSignalSpy finished(table, &Tfrm_sensors::exportFinished);

    // One question names the existing file; No writes nothing.
    messages.answer = QMessageBox::No;
    table->exportAction(ExportFormat::Text)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(messages.messages().size(), 1);
    QCOMPARE(messages.messages().at(0).icon, QMessageBox::Question);
    QVERIFY(messages.messages().at(0).text.contains(QDir::toNativeSeparators(second)));
    QVERIFY(!messages.messages().at(0).text.contains(QDir::toNativeSeparators(first)));
    QCOMPARE(fileBytes(second), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(first));

    // Yes: both views with all their rows, "Вид 1" although its tab was never shown.
    messages.answer = QMessageBox::Yes;
    table->exportAction(ExportFormat::Text)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 60000);
    QVERIFY(finished.at(1).at(0).toBool());
    const QList<QByteArray> lines1 = fileBytes(first).split('\n');
    QCOMPARE(lines1.size(), 2 + 36 + 1);
    QCOMPARE(lines1.at(0), to_cp1251(QStringLiteral("Дата/Время   Узел   Канал   Нижний уровень   Измерение   Верхний уровень\r")));
    QCOMPARE(lines1.at(2), to_cp1251(QStringLiteral("01.03.2026 10:00:02   1   1   -1,5   2,1   100,25\r")));
    QVERIFY(fileBytes(second).startsWith(to_cp1251(QStringLiteral("Дата/время   Узел   Канал 1   "))));
    QCOMPARE(fileBytes(second).split('\n').size(), 2 + 3 + 1);

    // A file that cannot be written: the general error message names it, nothing is left.
    chosen = dir.filePath(QStringLiteral("missing/out"));
    table->exportAction(ExportFormat::Excel)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 60000);
    QCOMPARE(finished.at(2).at(0).toBool(), false);
    QCOMPARE(messages.messages().last().icon, QMessageBox::Critical);
    QVERIFY(messages.messages().last().text.contains(QStringLiteral("out.xls")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("missing"))));
    table->close();
}

QTEST_MAIN(TestSensorsTableWindow)
#include "test_sensors_table_window.moc"
