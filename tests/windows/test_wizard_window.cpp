// The debugging wizard's window over a simulated line: what it shows at first, the
// byte count that follows the register count, a scan into the two lists, the list
// click (also with nothing selected), a composed 03 frame sent and answered, refused
// inputs that send nothing, a failing port, and closing the window during a scan.
#include "tests/fixtures/sim_fixture.h"

#include "base/unit_crc.h"
#include "engine/wizard.h"
#include "widgets/dialog_seam.h"
#include "windows/wizard_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

using namespace qlx;
using namespace qlx::testing;

namespace {

constexpr int kBaud = 19200;

struct WizardLine : SimLine {
    bool start(const QList<int> &addresses)
    {
        if (!open(25, kBaud))
            return false;
        line->setFastSpeed(true);
        for (const int a : addresses)
            addStillNode(a);
        return true;
    }

    // A wizard window of its own over the line; the wizard goes when the window closes.
    TFrm_wizard *window()
    {
        auto *w = new TFrm_wizard(*new Wizard(*line));
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->show();
        return w;
    }
};

template <typename T>
T *child(QWidget *w, const char *name)
{
    T *found = w->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

QLineEdit *edit(QWidget *w, const char *name)
{
    return child<QLineEdit>(w, name);
}

void click(QWidget *w, const char *name)
{
    child<QPushButton>(w, name)->click();
}

// Texts of the four frame fields, to see that a refused command wrote none of them.
QStringList frameTexts(QWidget *w)
{
    return {edit(w, "Edit_03")->text(), edit(w, "Edit_08")->text(), edit(w, "Edit_01")->text(),
            edit(w, "Edit_10")->text()};
}

QStringList addressFields(QWidget *w)
{
    return {edit(w, "Edit_03_nomer")->text(), edit(w, "Edit_08_nomer")->text(), edit(w, "Edit_01_nomer")->text(),
            edit(w, "Edit_10_nomer")->text()};
}

QStringList lines(QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

} // namespace

class TestWizardWindow : public QObject {
    Q_OBJECT
private:
    QList<DialogRequest> requests;

private slots:
    void init()
    {
        requests.clear();
        DialogSeam::setHandler([this](const DialogRequest &r) {
            requests << r;
            return int(QMessageBox::Ok);
        });
    }
    void cleanup() { DialogSeam::setHandler({}); }

    // The page names end with the Cyrillic "Н" (not a Latin H); the byte count starts at
    // 4 and follows the register count, and a count still being typed raises nothing.
    void pagesAndByteCount()
    {
        WizardLine l;
        QVERIFY(l.start({}));
        TFrm_wizard *w = l.window();
        QCOMPARE(w->windowTitle(), QStringLiteral("Отладчик"));
        auto *pages = child<QTabWidget>(w, "PageControl");
        QCOMPARE(pages->count(), 4);
        for (int i = 0; i < pages->count(); ++i)
            QCOMPARE(pages->tabText(i).back(), QChar(0x041D));
        QCOMPARE(child<QProgressBar>(w, "ProgressBar")->minimum(), 1);
        QCOMPARE(child<QProgressBar>(w, "ProgressBar")->maximum(), 255);

        QLineEdit *count = edit(w, "Edit_10_count");
        QCOMPARE(count->text(), QStringLiteral("4"));
        QTest::keyClicks(edit(w, "Edit_10_kol"), QStringLiteral("3"));
        QCOMPARE(count->text(), QStringLiteral("6"));
        QTest::keyClicks(edit(w, "Edit_10_kol"), QStringLiteral("x"));
        QTest::keyClick(edit(w, "Edit_10_kol"), Qt::Key_Backspace);
        QTest::keyClick(edit(w, "Edit_10_kol"), Qt::Key_Backspace);
        QCOMPARE(count->text(), QStringLiteral("6"));
        QVERIFY(requests.isEmpty());
        w->close();
    }

    // "Сеть..." fills the found and the silent list; a click on a found node writes its
    // address into the four address fields, a click with nothing selected writes
    // nothing; a 03 frame composed for that node is sent and its answer shown.
    void scanClickAndExchange()
    {
        WizardLine l;
        QVERIFY(l.start({5, 8}));
        TFrm_wizard *w = l.window();
        QPushButton *scan = child<QPushButton>(w, "Button1");
        scan->click();
        QVERIFY(!scan->isEnabled()); // no second scan while this one runs
        QVERIFY(waitUntil([&] { return scan->isEnabled(); }, 120000));
        auto *found = child<QListWidget>(w, "ListBox");
        auto *silent = child<QListWidget>(w, "ListBox_2");
        QCOMPARE(lines(found), (QStringList{QStringLiteral("Кворлекс - 1 - 5"), QStringLiteral("Кворлекс - 2 - 8")}));
        QCOMPARE(silent->count(), 253);
        QCOMPARE(silent->item(0)->text(), QStringLiteral("1 - Time Out Expired"));
        QCOMPARE(child<QLabel>(w, "Label1")->text(), QStringLiteral("Time Out Expired"));
        QCOMPARE(child<QProgressBar>(w, "ProgressBar")->value(), 255);

        for (const char *name : {"Edit_03_nomer", "Edit_08_nomer", "Edit_01_nomer", "Edit_10_nomer"})
            edit(w, name)->setText(QStringLiteral("7"));
        found->clearSelection();
        const QRect below = found->viewport()->rect().adjusted(0, found->visualItemRect(found->item(1)).bottom() + 4, 0, 0);
        QVERIFY(!below.isEmpty());
        QTest::mouseClick(found->viewport(), Qt::LeftButton, {}, below.center());
        QCOMPARE(addressFields(w), QStringList(4, QStringLiteral("7")));

        QTest::mouseClick(found->viewport(), Qt::LeftButton, {}, found->visualItemRect(found->item(1)).center());
        QCOMPARE(addressFields(w), QStringList(4, QStringLiteral("8")));

        edit(w, "Edit_03_adr")->setText(QStringLiteral("0"));
        edit(w, "Edit_03_kol")->setText(QStringLiteral("2"));
        click(w, "Button2");
        QCOMPARE(edit(w, "Edit_03")->text(), QStringLiteral("080300000002C492"));
        click(w, "Button3");
        QLineEdit *answer = edit(w, "Edit_03_answ");
        QVERIFY(waitUntil([&] { return !answer->text().isEmpty(); }, 30000));
        QVERIFY2(answer->text().startsWith(QStringLiteral("080304")), qPrintable(answer->text()));
        QCOMPARE(answer->text().size(), 18);
        QVERIFY(crc_ok(hex_to_bytes(answer->text())));
        QVERIFY(requests.isEmpty());
        w->close();
    }

    // A refused number or frame text shows the general error message with the
    // conversion error, writes no frame field and sends nothing.
    void refusedInputsSendNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::newRow("03: address above 255") << "Button2" << "Edit_03_nomer" << "256";
        QTest::newRow("01: count above 65535") << "Button8" << "Edit_01_kol" << "70000";
        QTest::newRow("10: byte count above 255") << "Button10" << "Edit_10_count" << "300";
        QTest::newRow("10: value above 65535") << "Button10" << "Edit_10_reg1" << "65536";
        QTest::newRow("08: negative address") << "Button4" << "Edit_08_nomer" << "-1";
        QTest::newRow("03: frame shorter than eight bytes") << "Button3" << "Edit_03" << "0103000000";
        QTest::newRow("01: frame not hex") << "Button9" << "Edit_01" << "01030000000ZC40B";
        QTest::newRow("08: CRC on an odd number of digits") << "Button7" << "Edit_08" << "010";
        QTest::newRow("10: CRC on an odd number of digits") << "Button12" << "Edit_10" << "0110000";
        QTest::newRow("10: frame not hex") << "Button11" << "Edit_10" << "G1";
        QTest::newRow("08: frame without a byte") << "Button6" << "Edit_08" << "7";
    }
    void refusedInputsSendNothing()
    {
        QFETCH(QString, button);
        QFETCH(QString, field);
        QFETCH(QString, text);
        WizardLine l;
        QVERIFY(l.start({1}));
        TFrm_wizard *w = l.window();
        const QList<QPair<const char *, const char *>> valid = {
            {"Edit_03_nomer", "1"}, {"Edit_03_adr", "0"}, {"Edit_03_kol", "2"}, {"Edit_08_nomer", "1"},
            {"Edit_01_nomer", "1"}, {"Edit_01_adr", "0"},  {"Edit_01_kol", "2"}, {"Edit_10_nomer", "1"},
            {"Edit_10_adr", "8"},   {"Edit_10_kol", "2"},  {"Edit_10_reg1", "1"}, {"Edit_10_reg2", "1"}};
        for (const auto &[name, value] : valid)
            edit(w, name)->setText(QString::fromLatin1(value));
        edit(w, field.toLatin1().constData())->setText(text);
        const QStringList frames = frameTexts(w);

        click(w, button.toLatin1().constData());
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().icon, QMessageBox::Critical);
        QVERIFY2(requests.first().text.startsWith(QStringLiteral("Ошибка преобразования: '")),
                 qPrintable(requests.first().text));
        QCOMPARE(frameTexts(w), frames);
        QCOMPARE(w->wizard()->sendsPending(), 0);
        QVERIFY(!l.line->busy());
        QCOMPARE(l.line->statistics().exchanges, 0u);
        w->close();
    }

    // A send on a port that is gone reports the port's error; the answer field stays.
    void sendOnAClosedPort()
    {
        WizardLine l;
        QVERIFY(l.start({1}));
        TFrm_wizard *w = l.window();
        l.port.close();
        edit(w, "Edit_03")->setText(QStringLiteral("010300000002C40B"));
        click(w, "Button3");
        QVERIFY(waitUntil([&] { return !requests.isEmpty(); }, 30000));
        QVERIFY2(requests.first().text.contains(QStringLiteral("порт не открыт")), qPrintable(requests.first().text));
        QVERIFY(edit(w, "Edit_03_answ")->text().isEmpty());
        w->close();
    }

    // Closing the window during a scan stops the scan; the wizard goes once the address
    // in progress is done, and nothing reaches the closed window.
    void closeDuringScan()
    {
        WizardLine l;
        QVERIFY(l.start({2}));
        TFrm_wizard *w = l.window();
        QPointer<Wizard> wizard = w->wizard();
        click(w, "Button1");
        QVERIFY(waitUntil([&] { return wizard->position() >= 3; }, 30000));
        w->close();
        QVERIFY(waitUntil([&] { return wizard.isNull(); }, 30000));
        QVERIFY(l.sim.frames().size() < 255);
        QVERIFY(!l.line->busy());
        QVERIFY(requests.isEmpty());
    }
};

QTEST_MAIN(TestWizardWindow)
#include "test_wizard_window.moc"
