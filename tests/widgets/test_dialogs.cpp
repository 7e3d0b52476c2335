// The refresh-interval dialog with its prompt, and the serial settings dialog with
// its prompt, driven as the operator would while the prompts are awaited; the
// seam's wait for a dialog's result.
#include "widgets/dialog_seam.h"
#include "widgets/serial_settings_dialog.h"
#include "widgets/interval_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

using namespace qlx;

Q_DECLARE_METATYPE(qlx::PortSettings)

namespace {

enum class Action { Ok, CloseButton, Escape, Frame };

struct ErrorCall {
    QString caption;
    QString text;
};

// Runs `act` on the first widget of type T under `root` once the event loop turns.
template <typename T>
void whenShown(QWidget *root, std::function<void(T *)> act)
{
    QTimer::singleShot(0, root, [root, act] {
        T *widget = root->findChild<T *>();
        QVERIFY2(widget, "dialog not found under its parent");
        act(widget);
    });
}

void typeInto(QComboBox *combo, const QString &text)
{
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), text);
}

enum class Ending { AcceptedWhileOpening, DestroyedWhileOpening, AcceptedLater, RejectedLater, DestroyedLater };

// Runs the dialog through the seam and notes whether the code that ended it had
// returned by the time the caller went on.
QCoro::Task<int> runNoting(QDialog *dialog, const bool *endingReturned, bool *resumedAfterEnding)
{
    const int result = co_await DialogSeam::run(dialog);
    *resumedAfterEnding = *endingReturned;
    co_return result;
}

PortSettings sampleSettings()
{
    PortSettings s;
    s.port = QStringLiteral("/dev/ttyS3");
    s.baudRate = QStringLiteral("19200");
    s.customBaudRate = 9600;
    s.dataBits = QStringLiteral("7");
    s.stopBits = QStringLiteral("1.5");
    s.parity = QStringLiteral("Even");
    s.flowControl = QStringLiteral("Hardware");
    return s;
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private slots:
    void intervalPrompt_data();
    void intervalPrompt();
    void intervalRejectsText_data();
    void intervalRejectsText();
    void intervalParentDestroyed();
    void seamRun_data();
    void seamRun();

    void portDialogShows_data();
    void portDialogShows();
    void portDialogChanges_data();
    void portDialogChanges();
    void portDialogCustomSpeed();
    void portPrompt_data();
    void portPrompt();
};

void TestDialogs::intervalPrompt_data()
{
    QTest::addColumn<bool>("mdi");
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("typed"); // null: pick "30" from the list
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("expected");

    const int ok = int(Action::Ok);
    QTest::newRow("list 30") << false << 10000 << "10" << QString() << ok << 30000;
    QTest::newRow("typed 7") << false << 10000 << "10" << "7" << ok << 7000;
    QTest::newRow("zero") << false << 10000 << "10" << "0" << ok << 0;
    QTest::newRow("negative") << false << 10000 << "10" << "-3" << ok << -3000;
    // Halves go to the even neighbour, as in the menu caption's seconds.
    QTest::newRow("half to even, down") << false << 2500 << "2" << "2147483" << ok << 2147483000;
    QTest::newRow("half to even, up") << false << 3500 << "4" << "5" << ok << 5000;
    QTest::newRow("rounded down") << false << 1499 << "1" << "5" << ok << 5000;
    QTest::newRow("close button") << false << 10000 << "10" << "30" << int(Action::CloseButton) << 10000;
    QTest::newRow("escape") << false << 10000 << "10" << "30" << int(Action::Escape) << 10000;
    QTest::newRow("frame") << false << 10000 << "10" << "30" << int(Action::Frame) << 10000;
    QTest::newRow("mdi ok") << true << 5000 << "5" << "20" << ok << 20000;
    QTest::newRow("mdi frame") << true << 5000 << "5" << "20" << int(Action::Frame) << 5000;
}

void TestDialogs::intervalPrompt()
{
    QFETCH(bool, mdi);
    QFETCH(int, ms);
    QFETCH(QString, shown);
    QFETCH(QString, typed);
    QFETCH(int, action);
    QFETCH(int, expected);

    std::unique_ptr<QWidget> window = mdi ? std::make_unique<QMdiArea>() : std::make_unique<QWidget>();
    window->resize(800, 600);
    window->show();

    QPointer<Tfrm_time_refresh> seen;
    QString shownText;
    QWidget *frame = nullptr;
    whenShown<Tfrm_time_refresh>(window.get(), [&](Tfrm_time_refresh *dialog) {
        seen = dialog;
        dialog->errorMessage = [](QWidget *, const QString &, const QString &) {
            QFAIL("unexpected error message");
        };
        shownText = dialog->Cmb_time->currentText();
        frame = mdi ? qobject_cast<QMdiSubWindow *>(dialog->parentWidget()) : static_cast<QWidget *>(dialog);
        if (typed.isNull())
            dialog->Cmb_time->setCurrentIndex(dialog->Cmb_time->findText(QStringLiteral("30")));
        else
            typeInto(dialog->Cmb_time, typed);
        switch (Action(action)) {
        case Action::Ok: QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton); break;
        case Action::CloseButton: QTest::mouseClick(dialog->BitBtn2, Qt::LeftButton); break;
        case Action::Escape: QTest::keyClick(dialog->Cmb_time, Qt::Key_Escape); break;
        case Action::Frame: frame->close(); break;
        }
    });

    const int result = QCoro::waitFor(ask_refresh_interval(window.get(), ms));
    QCOMPARE(shownText, shown);
    if (mdi)
        QVERIFY2(frame, "the dialog is not an MDI sub-window");
    QCOMPARE(result, expected);
    QTRY_VERIFY(seen.isNull()); // closed and deleted by the prompt
}

void TestDialogs::intervalRejectsText_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("decimal comma") << "2,5";
    QTest::newRow("empty") << "";
    QTest::newRow("letters") << "abc";
    QTest::newRow("product beyond 32 bits") << "2147484";
    QTest::newRow("beyond 32 bits") << "99999999999";
}

void TestDialogs::intervalRejectsText()
{
    QFETCH(QString, typed);
    QWidget window;
    window.show();

    QList<ErrorCall> errors;
    QString answerAfterError = QStringLiteral("unset");
    bool visibleAfterError = false;
    whenShown<Tfrm_time_refresh>(&window, [&](Tfrm_time_refresh *dialog) {
        dialog->errorMessage = [&](QWidget *parent, const QString &caption, const QString &text) {
            QCOMPARE(parent, dialog);
            errors.append({caption, text});
        };
        typeInto(dialog->Cmb_time, typed);
        QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
        answerAfterError = dialog->answer();
        // The prompt must still be waiting: give it a turn of the loop, then end it.
        QTimer::singleShot(0, dialog, [&, dialog] {
            visibleAfterError = dialog->isVisible();
            QTest::mouseClick(dialog->BitBtn2, Qt::LeftButton);
        });
    });

    QCOMPARE(QCoro::waitFor(ask_refresh_interval(&window, 10000)), 10000);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().caption, QStringLiteral("Установка интервала обновления."));
    QCOMPARE(errors.first().text, QStringLiteral("Время обноления должно быть задано в секундах\n\rцелым числом."));
    QCOMPARE(answerAfterError, QString());
    QVERIFY(visibleAfterError);
}

void TestDialogs::intervalParentDestroyed()
{
    auto *window = new QWidget;
    window->show();
    whenShown<Tfrm_time_refresh>(window, [window](Tfrm_time_refresh *) { delete window; });
    QCOMPARE(QCoro::waitFor(ask_refresh_interval(window, 15000)), 15000);
}

void TestDialogs::seamRun_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<int>("expected");
    QTest::newRow("accepted while it opens") << int(Ending::AcceptedWhileOpening) << int(QDialog::Accepted);
    QTest::newRow("destroyed while it opens") << int(Ending::DestroyedWhileOpening) << int(QDialog::Rejected);
    QTest::newRow("accepted later") << int(Ending::AcceptedLater) << int(QDialog::Accepted);
    QTest::newRow("rejected later") << int(Ending::RejectedLater) << int(QDialog::Rejected);
    QTest::newRow("destroyed later") << int(Ending::DestroyedLater) << int(QDialog::Rejected);
}

void TestDialogs::seamRun()
{
    QFETCH(int, ending);
    QFETCH(int, expected);

    QWidget window;
    window.show();
    QPointer<QDialog> dialog = new QDialog(&window);
    bool endingReturned = false;
    bool resumedAfterEnding = false;
    const auto end = [&endingReturned](QDialog *d, Ending how) {
        switch (how) {
        case Ending::AcceptedWhileOpening:
        case Ending::AcceptedLater: d->accept(); break;
        case Ending::RejectedLater: d->reject(); break;
        case Ending::DestroyedWhileOpening:
        case Ending::DestroyedLater: delete d; break;
        }
        endingReturned = true;
    };
    DialogSeam::setHandler([&](const DialogRequest &r) {
        const auto how = Ending(ending);
        if (how == Ending::AcceptedWhileOpening || how == Ending::DestroyedWhileOpening)
            end(r.dialog, how);
        else
            QTimer::singleShot(0, r.dialog, [&end, d = r.dialog, how] { end(d, how); });
        return int(QMessageBox::Ok);
    });

    const int result = QCoro::waitFor(runNoting(dialog, &endingReturned, &resumedAfterEnding));
    DialogSeam::setHandler({});
    QCOMPARE(result, expected);
    // The caller never goes on inside the dialog's code or its destructor.
    QVERIFY(resumedAfterEnding);
    delete dialog.data();
}

void TestDialogs::portDialogShows_data()
{
    QTest::addColumn<PortSettings>("given");
    QTest::addColumn<bool>("customEnabled");

    QTest::newRow("sample") << sampleSettings() << false;
    PortSettings custom = sampleSettings();
    custom.baudRate = QStringLiteral("Custom");
    custom.customBaudRate = 12345;
    custom.parity = QStringLiteral("Space");
    custom.flowControl = QStringLiteral("Custom");
    QTest::newRow("custom speed") << custom << true;
    QTest::newRow("built-in") << PortSettings{} << false;
}

void TestDialogs::portDialogShows()
{
    QFETCH(PortSettings, given);
    QFETCH(bool, customEnabled);

    SerialSettingsDialog dialog(given);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Настройка COM порта"));
    QCOMPARE(dialog.portCombo->currentText(), given.port);
    QCOMPARE(dialog.speedCombo->currentText(), given.baudRate);
    QCOMPARE(dialog.customSpeed->value(), given.customBaudRate);
    QCOMPARE(dialog.customSpeed->isEnabled(), customEnabled);
    QCOMPARE(dialog.dataBitsCombo->currentText(), given.dataBits);
    QCOMPARE(dialog.stopBitsCombo->currentText(), given.stopBits);
    QCOMPARE(dialog.parityCombo->currentText(), given.parity);
    QCOMPARE(dialog.flowCombo->currentText(), given.flowControl);
    QVERIFY(dialog.settings() == given);
}

void TestDialogs::portDialogChanges_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<PortSettings>("expected");

    auto with = [](auto member, const char *value) {
        PortSettings s = sampleSettings();
        s.*member = QString::fromUtf8(value);
        return s;
    };
    QTest::newRow("typed port") << "portCombo" << "/dev/ttyUSB7" << with(&PortSettings::port, "/dev/ttyUSB7");
    QTest::newRow("speed") << "speedCombo" << "115200" << with(&PortSettings::baudRate, "115200");
    QTest::newRow("data bits") << "dataBitsCombo" << "5" << with(&PortSettings::dataBits, "5");
    QTest::newRow("stop bits") << "stopBitsCombo" << "2" << with(&PortSettings::stopBits, "2");
    QTest::newRow("parity") << "parityCombo" << "Mark" << with(&PortSettings::parity, "Mark");
    QTest::newRow("flow") << "flowCombo" << "Software" << with(&PortSettings::flowControl, "Software");
}

void TestDialogs::portDialogChanges()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(PortSettings, expected);

    SerialSettingsDialog dialog(sampleSettings());
    auto *combo = dialog.findChild<QComboBox *>(field);
    QVERIFY(combo);
    if (combo->isEditable()) {
        typeInto(combo, text);
    } else {
        const int index = combo->findText(text);
        QVERIFY(index >= 0);
        combo->setCurrentIndex(index);
    }
    const PortSettings got = dialog.settings();
    QCOMPARE(got.port, expected.port);
    QVERIFY(got == expected);
}

void TestDialogs::portDialogCustomSpeed()
{
    SerialSettingsDialog dialog(sampleSettings());
    QVERIFY(!dialog.customSpeed->isEnabled());
    QCOMPARE(dialog.speedCombo->findText(QStringLiteral("Custom")), dialog.speedCombo->count() - 1);

    dialog.speedCombo->setCurrentIndex(dialog.speedCombo->findText(QStringLiteral("Custom")));
    QVERIFY(dialog.customSpeed->isEnabled());
    dialog.customSpeed->setValue(250000);
    QCOMPARE(dialog.settings().baudRate, QStringLiteral("Custom"));
    QCOMPARE(dialog.settings().customBaudRate, 250000);

    dialog.speedCombo->setCurrentIndex(dialog.speedCombo->findText(QStringLiteral("4800")));
    QVERIFY(!dialog.customSpeed->isEnabled());
    QCOMPARE(dialog.settings().baudRate, QStringLiteral("4800"));
}

void TestDialogs::portPrompt_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<bool>("answers");
    QTest::newRow("ok") << int(Action::Ok) << true;
    QTest::newRow("cancel") << int(Action::CloseButton) << false;
    QTest::newRow("escape") << int(Action::Escape) << false;
    QTest::newRow("frame") << int(Action::Frame) << false;
}

void TestDialogs::portPrompt()
{
    QFETCH(int, action);
    QFETCH(bool, answers);

    QWidget window;
    window.show();
    QPointer<SerialSettingsDialog> seen;
    whenShown<SerialSettingsDialog>(&window, [&](SerialSettingsDialog *dialog) {
        seen = dialog;
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal); // open(), not exec()
        typeInto(dialog->portCombo, QStringLiteral("/dev/ttyUSB7"));
        auto *buttons = dialog->findChild<QDialogButtonBox *>();
        switch (Action(action)) {
        case Action::Ok: QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton); break;
        case Action::CloseButton:
            QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
            break;
        case Action::Escape: QTest::keyClick(dialog, Qt::Key_Escape); break;
        case Action::Frame: dialog->close(); break;
        }
    });

    const std::optional<PortSettings> got = QCoro::waitFor(ask_port_settings(&window, sampleSettings()));
    QCOMPARE(got.has_value(), answers);
    if (answers) {
        PortSettings expected = sampleSettings();
        expected.port = QStringLiteral("/dev/ttyUSB7");
        QVERIFY(*got == expected);
    }
    QTRY_VERIFY(seen.isNull());
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
