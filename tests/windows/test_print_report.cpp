// The state report window: the report a two-node monitor makes in both layouts,
// in a fixed-pitch font, saving through the dialog, printing in landscape and the
// monitor's direct print. The report text itself is tested window-less in
// tests/engine/test_report_lines.cpp, against the same fixtures.
#include "base/node_table.h"
#include "engine/station.h"
#include "widgets/dialog_seam.h"
#include "base/unit_procedure.h"
#include "storage/unit_files.h"
#include "windows/monitor.h"
#include "windows/print_report.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>

using namespace qlx;

namespace {

const QDateTime kNow(QDate(2026, 3, 5), QTime(14, 7, 9));

QStringList fixtureLines(const QString &name)
{
    QFile file(QStringLiteral(QLX_FIXTURES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("missing fixture ") + name};
    QString text = QString::fromUtf8(file.readAll());
    text.chop(1); // the file's final newline
    return text.split(QLatin1Char('\n'));
}

// Fills the monitor as a polling pass does: the address cell, then every
// channel through the cell writer.
void pollNode(Tfrm_monitor_auto2 &monitor, int slot, const QList<double> &values, const QList<int> &nu,
              const QList<int> &vu)
{
    arr_cells(0, slot).text = QString::number(arr_nodes[slot].address);
    for (int channel = 1; channel <= 12; ++channel)
        monitor.formatCell(channel + 3, slot + 1, values.at(channel - 1), nu.contains(channel) ? 1 : 0,
                           vu.contains(channel) ? 1 : 0);
}

void pollBothNodes(Tfrm_monitor_auto2 &monitor)
{
    // Node 7: channel 3 below its lower setpoint, channel 4 above its upper one.
    pollNode(monitor, 1, {12.5, 0, -3.1, 100, 25.75, 0, 1, 2, 3, 4, 5, 6.5}, {3}, {4});
    // Node 12: a value wider than its column; channel 3 with both alarms.
    pollNode(monitor, 2, {-123456789, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0.5}, {3}, {3});
}

} // namespace

class TestPrintReport : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reportText_data();
    void reportText();
    void monitorWithoutPolledNodes();
    void saveWritesCp1251WithCrLf();
    void saveAsksBeforeReplacing();
    void printsLandscapeWithTitle();
    void printWithoutPrinterIsReported();
    void directPrintClosesTheReport();

private:
    Station *m_station = nullptr;
};

void TestPrintReport::init()
{
    reset_node_table_state();
    reset_cell_grid();
    set_clock([] { return kNow; });
    m_station = new Station;
    const int addresses[] = {7, 12};
    for (int slot = 1; slot <= 2; ++slot) {
        arr_nodes[slot].address = addresses[slot - 1];
        m_station->nodeList().append(node_item_text(slot, addresses[slot - 1]));
        m_station->nodeList().setChecked(slot - 1, true);
    }
}

void TestPrintReport::cleanup()
{
    DialogSeam::setHandler({});
    set_clock({});
    delete m_station;
    m_station = nullptr;
}

void TestPrintReport::reportText_data()
{
    QTest::addColumn<bool>("multiLine");
    QTest::addColumn<QString>("fixture");
    QTest::newRow("single line") << false << QStringLiteral("report_single.txt");
    QTest::newRow("three lines a node") << true << QStringLiteral("report_multi.txt");
}

void TestPrintReport::reportText()
{
    QFETCH(bool, multiLine);
    QFETCH(QString, fixture);
    Tfrm_monitor_auto2 monitor(*m_station);
    monitor.findChild<QCheckBox *>(QStringLiteral("CheckBox_lines"))->setChecked(multiLine);
    pollBothNodes(monitor);

    QPointer<TFrm_print> report = monitor.Print_grid();
    QVERIFY(report);
    QCOMPARE(report->windowTitle(), QStringLiteral("Просмотр отчета"));
    QVERIFY(report->Memo()->isReadOnly());
    QCOMPARE(report->Memo()->lineWrapMode(), QPlainTextEdit::NoWrap);
    // Fixed pitch for real: narrow and wide characters, Latin and Cyrillic, take one
    // advance, so the columns line up.
    const QFontMetricsF metrics(report->Memo()->font());
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('W'));
    QVERIFY(advance > 0);
    for (const QChar c : QStringLiteral("i.1|- ШыДж"))
        QVERIFY2(qFuzzyCompare(metrics.horizontalAdvance(c), advance),
                 qPrintable(QStringLiteral("'%1' is %2 wide, 'W' %3 in %4")
                                .arg(c)
                                .arg(metrics.horizontalAdvance(c))
                                .arg(advance)
                                .arg(QFontInfo(report->Memo()->font()).family())));
    const QStringList expected = fixtureLines(fixture);
    const QStringList actual = report->lines();
    for (qsizetype i = 0; i < qMin(expected.size(), actual.size()); ++i)
        QCOMPARE(actual.at(i), expected.at(i));
    QCOMPARE(actual.size(), expected.size());

    // A snapshot: later updates do not reach a report already made.
    pollNode(monitor, 1, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {}, {});
    QCOMPARE(report->lines(), actual);
    delete report;
}

void TestPrintReport::monitorWithoutPolledNodes()
{
    Tfrm_monitor_auto2 monitor(*m_station);
    const QStringList lines = monitor.Print_grid()->lines();
    const QString separator = kReportMargin + QString(133, QLatin1Char('-'));
    const QStringList expectedTail{separator,
                                   fixtureLines(QStringLiteral("report_single.txt")).at(11), // the header row
                                   separator, kReportMargin,
                                   kReportMargin + QStringLiteral("************ Конец отчета ************")};
    QCOMPARE(lines.mid(lines.size() - expectedTail.size()), expectedTail);
    QCOMPARE(lines.at(7), kReportMargin); // no update yet: an empty label
    QCOMPARE(lines.size(), 10 + expectedTail.size());
}

void TestPrintReport::saveWritesCp1251WithCrLf()
{
    QTemporaryDir dir;
    const QString reports = dir.filePath(QStringLiteral("Reports"));
    QVERIFY(QDir().mkpath(reports));
    const QString path = reports + QStringLiteral("/state.txt");
    QStringList seen;
    DialogSeam::setHandler([&](const DialogRequest &request) {
        auto *dialog = qobject_cast<QFileDialog *>(request.dialog);
        if (!dialog)
            return int(QMessageBox::Ok);
        seen << dialog->windowTitle() << dialog->directory().absolutePath() << dialog->nameFilters().join('|')
             << dialog->defaultSuffix();
        dialog->selectFile(reports + QStringLiteral("/state")); // the extension comes from the dialog
        QMetaObject::invokeMethod(dialog, "accept");
        return 0;
    });
    TFrm_print report(reports);
    const QStringList lines{kReportMargin, kReportMargin + QStringLiteral("Монитор состояний"), kReportMargin + "|  7|"};
    report.setLines(lines);

    QCoro::Task<void> save = report.saveClick();
    QTRY_VERIFY_WITH_TIMEOUT(save.isReady(), 30000);

    QCOMPARE(seen, (QStringList{QStringLiteral("Сохранить отчет"), reports,
                                QStringLiteral("Текстовые файлы (*.txt)|Все файлы (*.*)"), QStringLiteral("txt")}));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), to_cp1251(QStringLiteral("     \r\n     Монитор состояний\r\n     |  7|\r\n")));
}

void TestPrintReport::saveAsksBeforeReplacing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();

    for (const int answer : {int(QMessageBox::No), int(QMessageBox::Yes)}) {
        int dialogs = 0;
        QStringList questions;
        DialogSeam::setHandler([&](const DialogRequest &request) {
            if (request.kind == DialogRequest::Kind::Message) {
                questions << request.text;
                return answer;
            }
            auto *dialog = qobject_cast<QFileDialog *>(request.dialog);
            // After No the dialog comes back; the operator then cancels it.
            if (++dialogs == 1) {
                dialog->selectFile(path);
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
            return 0;
        });
        TFrm_print report(dir.path());
        report.setLines({QStringLiteral("new")});
        QCoro::Task<void> save = report.saveClick();
        QTRY_VERIFY_WITH_TIMEOUT(save.isReady(), 30000);

        QCOMPARE(questions.size(), 1);
        QVERIFY(questions.first().contains(QStringLiteral("уже существует")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), answer == QMessageBox::Yes ? QByteArray("new\r\n") : QByteArray("old"));
        QCOMPARE(dialogs, answer == QMessageBox::Yes ? 1 : 2);
    }
}

void TestPrintReport::printsLandscapeWithTitle()
{
    QTemporaryDir dir;
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath(QStringLiteral("report.pdf")));
    printer.setPageOrientation(QPageLayout::Portrait);
    QStringList lines;
    for (int i = 0; i < 200; ++i) // more than a page
        lines << kReportMargin + QString::number(i);

    QCOMPARE(print_report_lines(printer, lines), QString());

    QCOMPARE(printer.pageLayout().orientation(), QPageLayout::Landscape);
    QCOMPARE(printer.docName(), QStringLiteral("Отчет программы Quorlink"));
    QFile pdf(printer.outputFileName());
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    const QByteArray bytes = pdf.readAll();
    QVERIFY(bytes.startsWith("%PDF"));
    QVERIFY(bytes.count("/Type /Page") - bytes.count("/Type /Pages") >= 2); // more than one page
}

void TestPrintReport::printWithoutPrinterIsReported()
{
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString());
    QVERIFY(!print_report_lines(printer, {QStringLiteral("x")}).isEmpty());

    // From the report window the failure reaches the general error message.
    QStringList errors;
    DialogSeam::setHandler([&](const DialogRequest &request) {
        if (request.icon == QMessageBox::Critical)
            errors << request.text;
        return int(QMessageBox::Ok);
    });
    QPrinter &current = current_printer();
    const QString savedFile = current.outputFileName();
    current.setOutputFormat(QPrinter::PdfFormat);
    current.setOutputFileName(QString());
    QPointer<TFrm_print> report = new TFrm_print(QString());
    report->setLines({QStringLiteral("x")});
    report->show();
    report->Print_report();
    current.setOutputFileName(savedFile);
    QCOMPARE(errors.size(), 1);
    // Nothing was printed: the report stays to be saved or printed again.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(report);
    QVERIFY(report->isVisible());
    delete report;
}

void TestPrintReport::directPrintClosesTheReport()
{
    QTemporaryDir dir;
    QPrinter &current = current_printer();
    current.setOutputFormat(QPrinter::PdfFormat);
    current.setOutputFileName(dir.filePath(QStringLiteral("direct.pdf")));
    QStringList errors;
    DialogSeam::setHandler([&](const DialogRequest &request) {
        errors << request.text;
        return int(QMessageBox::Ok);
    });
    Tfrm_monitor_auto2 monitor(*m_station);
    pollBothNodes(monitor);
    QPointer<TFrm_print> shown;
    connect(&monitor, &Tfrm_monitor_auto2::reportWindowCreated, this, [&](TFrm_print *window) {
        shown = window;
        window->show();
    });

    monitor.printNow();

    QVERIFY(errors.isEmpty());
    QVERIFY(QFileInfo(current.outputFileName()).size() > 0);
    QCOMPARE(current.pageLayout().orientation(), QPageLayout::Landscape);
    QTRY_VERIFY_WITH_TIMEOUT(shown.isNull(), 30000); // closed and destroyed once printed
    current.setOutputFileName(QString());
}

QTEST_MAIN(TestPrintReport)
#include "test_print_report.moc"
