// The main window as a view over the station: menu, operator lock, event log,
// node-list commands and scan captions. Dialogs are answered through DialogSeam.
#include "base/node_table.h"
#include "base/progress.h"
#include "engine/station.h"
#include "app/mainform.h"
#include "tools/sim/line_simulator.h"
#include "line/comport.h"
#include "widgets/password_dialog.h"
#include "widgets/task_owner.h"
#include "base/unit_procedure.h"

#include <QAction>
#include <QHash>
#include <QKeySequence>
#include <QSet>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <memory>

using namespace qlx;

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shortcutsAreUnique();
    void speedItemsAreExclusive();
    void lockDisablesExactlyTheSixItems();
    void lockedAtStart();
    void passwordDialog_data();
    void passwordDialog();
    void lockAgain();
    void eventLogFollowsStation();
    void deviceCommands_data();
    void deviceCommands();
    void scanCaptionsFollowStation();
    void scanSurvivesWindowClosing();
    void panelsAndClocks();

private:
    // A line with no node on it: a scan goes over every address until stopped.
    bool openSilentLine()
    {
        line = std::make_unique<sim::LineSimulator>();
        if (!line->openPty())
            return false;
        PortSettings s;
        s.port = line->stationPath();
        station->comPort().setSettings(s);
        station->comPort().open();
        station->line().setAnswerWait(25);
        return station->comPort().isOpen();
    }

    std::unique_ptr<sim::LineSimulator> line;
    std::unique_ptr<Station> station;
    std::unique_ptr<TMainForm> form;
    QList<DialogRequest> requests;
    int answer = QMessageBox::Ok;

    QPointer<TFrm_PasswordDlg> lastPasswordDialog()
    {
        for (auto it = requests.crbegin(); it != requests.crend(); ++it)
            if (it->kind == DialogRequest::Kind::Dialog)
                return qobject_cast<TFrm_PasswordDlg *>(it->dialog);
        return nullptr;
    }
    int countOf(DialogRequest::Kind kind) const
    {
        int n = 0;
        for (const auto &r : requests)
            n += r.kind == kind ? 1 : 0;
        return n;
    }
};

void TestMainForm::init()
{
    requests.clear();
    answer = QMessageBox::Ok;
    DialogSeam::setHandler([this](const DialogRequest &r) {
        requests.append(r);
        return answer;
    });
    set_clock({});
    VrProgressBar().setMaximum(255);
    VrProgressBar().setPosition(0);
    scan_running = 0;
    station = std::make_unique<Station>();
    form = std::make_unique<TMainForm>(*station);
}

void TestMainForm::cleanup()
{
    form.reset();
    // A scan started by a test is stopped; let it finish before the station goes.
    scan_running = 0;
    QTRY_VERIFY_WITH_TIMEOUT(!station->scanActive(), 30000);
    station.reset();
    line.reset();
    DialogSeam::setHandler({});
    set_clock({});
}

void TestMainForm::shortcutsAreUnique()
{
    // Every key of the window reaches one item only, whatever menu it stands in.
    QHash<QKeySequence, QString> owners;
    for (QAction *a : form->findChildren<QAction *>()) {
        for (const QKeySequence &key : a->shortcuts()) {
            const QString other = owners.value(key);
            QVERIFY2(other.isEmpty(), qPrintable(key.toString() + QStringLiteral(": ") + other
                                                 + QStringLiteral(" and ") + a->objectName()));
            owners.insert(key, a->objectName());
        }
    }
    QVERIFY(owners.size() >= 4); // scan, monitoring, panel, event log at least
    QCOMPARE(owners.value(QKeySequence(Qt::CTRL | Qt::Key_M)), form->actions().monitoring->objectName());
}

void TestMainForm::speedItemsAreExclusive()
{
    const QList<QAction *> &items = form->actions().speeds;
    QCOMPARE(items.size(), line_speeds().size());
    const auto ticked = [&items] {
        QStringList on;
        for (QAction *a : items)
            if (a->isChecked())
                on.append(a->text());
        return on;
    };
    QCOMPARE(ticked().size(), 1); // one speed is the line's from the start
    for (qsizetype i = 0; i < items.size(); ++i) {
        // The application wires the items by position: each stands for its speed.
        QCOMPARE(items.at(i)->text(), line_speeds().at(i));
        QVERIFY(items.at(i)->isCheckable());
    }
    // Choosing one unticks the rest, in any order; choosing it again keeps it.
    for (qsizetype i : {qsizetype(2), qsizetype(0), qsizetype(4), qsizetype(4), qsizetype(1), qsizetype(3)}) {
        items.at(i)->trigger();
        QCOMPARE(ticked(), QStringList{line_speeds().at(i)});
    }
}

void TestMainForm::lockDisablesExactlyTheSixItems()
{
    const auto disabledItems = [this] {
        QSet<QString> names;
        for (QAction *a : form->findChildren<QAction *>())
            if (!a->isEnabled())
                names.insert(a->objectName());
        return names;
    };
    // The port, write, speed, interval, recording and wizard items.
    const QSet<QString> six = {QStringLiteral("COM1"), QStringLiteral("N15"), QStringLiteral("N21"),
                               QStringLiteral("N26"), QStringLiteral("N1"), QStringLiteral("N9")};
    QSet<QString> typed;
    for (QAction *a : form->actions().locked())
        typed.insert(a->objectName());
    QCOMPARE(typed, six);

    QVERIFY(form->isLocked()); // locked from the start
    const QSet<QString> locked = disabledItems();
    form->liftLock();
    QVERIFY(!form->isLocked());
    const QSet<QString> unlocked = disabledItems();
    QCOMPARE(locked - unlocked, six);
    QCOMPARE(unlocked - locked, QSet<QString>());
    form->applyLock();
    QVERIFY(form->isLocked());
    QCOMPARE(disabledItems(), locked);
}

void TestMainForm::lockedAtStart()
{
    for (QAction *item : form->actions().locked())
        QVERIFY2(!item->isEnabled(), qPrintable(item->objectName()));
    QVERIFY(station->statusPanel(4).isEmpty());
    QVERIFY(form->statusPanelLabel(4)->text().isEmpty());
    QVERIFY(form->isLocked());
    QCOMPARE(form->actions().lock->text(), kUnlockCaption);
}

void TestMainForm::passwordDialog_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<bool>("unlocked");

    QTest::newRow("right") << "lanternfox" << false << true;
    QTest::newRow("capitals") << "LANTERNFOX" << false << false;
    QTest::newRow("trailing blank") << "lanternfox " << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("cancelled") << "lanternfox" << true << false;
}

void TestMainForm::passwordDialog()
{
    QFETCH(QString, typed);
    QFETCH(bool, cancel);
    QFETCH(bool, unlocked);

    form->show();
    QAction *lock = form->actions().lock;
    lock->trigger();
    QCOMPARE(countOf(DialogRequest::Kind::Dialog), 1);
    QPointer<TFrm_PasswordDlg> dialog = lastPasswordDialog();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Ввод пароля"));
    QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("Label1"))->text(), QStringLiteral("Введите пароль:"));
    QCOMPARE(dialog->passwordField()->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog->okButton()->text(), QStringLiteral("OK"));
    QCOMPARE(dialog->cancelButton()->text(), QStringLiteral("Отмена"));
    // Renamed as soon as the dialog opens.
    QCOMPARE(lock->text(), kLockCaption);

    dialog->passwordField()->setText(typed);
    QSignalSpy finished(dialog.data(), &QDialog::finished);
    QSignalSpy accepted(dialog.data(), &TFrm_PasswordDlg::passwordAccepted);
    QTest::mouseClick(cancel ? dialog->cancelButton() : dialog->okButton(), Qt::LeftButton);
    QCOMPARE(accepted.count(), unlocked ? 1 : 0);

    const bool closed = cancel || unlocked;
    if (closed) {
        QCOMPARE(finished.count(), 1);
        QTRY_VERIFY(dialog.isNull());
    } else {
        // Ignored: the dialog did not finish, so nothing closes or deletes it later.
        QCOMPARE(finished.count(), 0);
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->passwordField()->text(), typed);
    }
    QCOMPARE(station->statusPanel(4), unlocked ? kUnlockedPanelText : QString());
    QCOMPARE(form->statusPanelLabel(4)->text(), station->statusPanel(4));
    QCOMPARE(form->isLocked(), !unlocked);
    for (QAction *item : form->actions().locked())
        QVERIFY2(item->isEnabled() == unlocked, qPrintable(item->objectName()));
    QCOMPARE(lock->text(), kLockCaption);

    if (cancel) {
        // Still locked: the same command opens the dialog again.
        lock->trigger();
        QCOMPARE(countOf(DialogRequest::Kind::Dialog), 2);
        QVERIFY(lastPasswordDialog());
        QVERIFY(lastPasswordDialog()->isVisible());
        QCOMPARE(lock->text(), kLockCaption);
    }
    delete dialog.data();
}

void TestMainForm::lockAgain()
{
    QAction *lock = form->actions().lock;
    lock->trigger();
    QPointer<TFrm_PasswordDlg> dialog = lastPasswordDialog();
    QVERIFY(dialog);
    dialog->passwordField()->setText(TFrm_PasswordDlg::kPassword);
    dialog->okButton()->click();
    QVERIFY(!form->isLocked());

    lock->trigger();
    QCOMPARE(countOf(DialogRequest::Kind::Dialog), 1); // locking asks nothing
    QVERIFY(form->isLocked());
    QVERIFY(station->statusPanel(4).isEmpty());
    QCOMPARE(lock->text(), kUnlockCaption);
    for (QAction *item : form->actions().locked())
        QVERIFY2(!item->isEnabled(), qPrintable(item->objectName()));
}

void TestMainForm::eventLogFollowsStation()
{
    station->eventLog().append(QStringLiteral("before the window"));
    form = std::make_unique<TMainForm>(*station);
    form->show();
    QPlainTextEdit *log = form->eventLogView();
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    // Hidden at start; "Панель" shows and hides it.
    QVERIFY(!form->eventLogPanel()->isVisible());
    form->actions().eventPanel->trigger();
    QVERIFY(form->eventLogPanel()->isVisible());
    QVERIFY(log->isVisible());

    station->eventLog().appendStamped(QStringLiteral(" - Начало опроса сети..."));
    QCOMPARE(log->blockCount(), 2);
    QCOMPARE(log->document()->findBlockByNumber(0).text(), QStringLiteral("before the window"));
    QVERIFY(log->document()->findBlockByNumber(1).text().endsWith(QStringLiteral(" - Начало опроса сети...")));

    // A log of 1000 lines takes one more; one of 1001 lines is emptied by the next change.
    for (int i = 2; i < 1000; ++i)
        station->eventLog().append(QString::number(i));
    QCOMPARE(log->blockCount(), 1000);
    station->eventLog().append(QStringLiteral("1001st"));
    QCOMPARE(log->blockCount(), 1001);
    QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("1001st"));
    station->eventLog().append(QStringLiteral("1002nd"));
    QVERIFY(log->toPlainText().isEmpty());
    station->eventLog().append(QStringLiteral("after"));
    QCOMPARE(log->toPlainText(), QStringLiteral("after"));

    form->actions().eventPanel->trigger();
    QVERIFY(!form->eventLogPanel()->isVisible());
}

void TestMainForm::deviceCommands_data()
{
    QTest::addColumn<QString>("command"); // object name of a button or a menu action
    QTest::addColumn<int>("nodes");
    QTest::addColumn<int>("highlight"); // -1: none
    QTest::addColumn<bool>("autoRefresh");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("message"); // empty: no message box
    QTest::addColumn<int>("slot");        // 0: no window requested
    QTest::addColumn<bool>("readNow");
    QTest::addColumn<bool>("stopAsked");

    const QString noDevice = kNoDeviceSelected;
    const QString autoOn = QStringLiteral(
        "Просмотр датчиков невозможен при автоматическом опросе сети.\n\rОтключить автоматический опрос?");
    const int ok = QMessageBox::Ok;
    const int cancel = QMessageBox::Cancel;
    QTest::newRow("front panel, empty list") << "cmb_front_panel" << 0 << -1 << false << 0 << ok << noDevice << 0 << false << false;
    QTest::newRow("front panel, none highlighted") << "cmb_front_panel" << 3 << -1 << false << 0 << ok << noDevice << 0 << false << false;
    QTest::newRow("front panel, slot 2") << "cmb_front_panel" << 3 << 1 << false << 0 << ok << QString() << 2 << true << false;
    QTest::newRow("front panel, read interrupted") << "cmb_front_panel" << 3 << 2 << false << 5 << ok << QString() << 3 << false << false;
    QTest::newRow("front panel, auto refresh, cancel") << "cmb_front_panel" << 3 << 0 << true << 0 << cancel << autoOn << 0 << false << false;
    QTest::newRow("front panel, auto refresh, ok") << "cmb_front_panel" << 3 << 0 << true << 0 << ok << autoOn << 0 << false << true;
    QTest::newRow("history, empty list") << "cmb_history" << 0 << -1 << false << 0 << ok << noDevice << 0 << false << false;
    QTest::newRow("monitoring item, empty list") << "mnu_monitoring" << 0 << -1 << false << 0 << ok << noDevice << 0 << false << false;
}

void TestMainForm::deviceCommands()
{
    QFETCH(QString, command);
    QFETCH(int, nodes);
    QFETCH(int, highlight);
    QFETCH(bool, autoRefresh);
    QFETCH(int, progress);
    QFETCH(int, answer);
    QFETCH(QString, message);
    QFETCH(int, slot);
    QFETCH(bool, readNow);
    QFETCH(bool, stopAsked);

    for (int n = 1; n <= nodes; ++n)
        station->nodeList().append(node_item_text(n, 10 + n));
    form->show();
    if (highlight >= 0)
        form->nodeListView()->setCurrentIndex(station->nodeList().index(highlight));
    form->actions().refresh->setChecked(autoRefresh);
    VrProgressBar().setPosition(progress);
    this->answer = answer;

    QSignalSpy front(form.get(), &TMainForm::frontPanelRequested);
    QSignalSpy history(form.get(), &TMainForm::historyValuesRequested);
    QSignalSpy stop(form.get(), &TMainForm::stopAutoRefreshRequested);
    if (auto *b = form->findChild<QPushButton *>(command)) {
        QTest::mouseClick(b, Qt::LeftButton);
    } else {
        auto *item = form->findChild<QAction *>(command);
        QVERIFY2(item, qPrintable(command));
        item->trigger();
    }
    QTRY_COMPARE(form->runningTasks(), 0);

    QCOMPARE(countOf(DialogRequest::Kind::Message), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QCOMPARE(requests.first().text, message);
        QCOMPARE(requests.first().icon, QMessageBox::Warning);
        const auto expected = message == kNoDeviceSelected ? QMessageBox::StandardButtons(QMessageBox::Ok)
                                                           : QMessageBox::Ok | QMessageBox::Cancel;
        QCOMPARE(requests.first().buttons, expected);
    }
    QCOMPARE(stop.count(), stopAsked ? 1 : 0);
    QCOMPARE(history.count(), 0);
    QCOMPARE(front.count(), slot ? 1 : 0);
    if (slot) {
        QCOMPARE(front.first().at(0).toInt(), slot);
        QCOMPARE(front.first().at(1).toString(), node_item_text(slot, 10 + slot).trimmed());
        QCOMPARE(front.first().at(2).toBool(), readNow);
    }

    // "Сброс процесса" clears an interrupted read.
    form->actions().resetProcess->trigger();
    QCOMPARE(VrProgressBar().position(), 0);
    QCOMPARE(form->progressBar()->value(), 0);
}

void TestMainForm::scanCaptionsFollowStation()
{
    form->show();
    QAction *item = form->actions().refreshNetwork;
    QPushButton *button = form->buttons().refreshNetwork;
    QCOMPARE(button->text(), kScanCaption);

    // No port is open: the scan is refused with the general error message.
    item->trigger();
    QTRY_COMPARE(form->runningTasks(), 0);
    QCOMPARE(item->text(), kScanCaption);
    QCOMPARE(countOf(DialogRequest::Kind::Message), 1);
    QCOMPARE(requests.last().text, QStringLiteral("Опрос сети невозможен: COM порт закрыт."));

    // With the port open the scan runs; the button is the same command and stops it.
    QVERIFY(openSilentLine());
    item->trigger(); // the presence probe of address 1 first, then the scan
    QTRY_COMPARE_WITH_TIMEOUT(item->text(), kStopScanCaption, 30000);
    QCOMPARE(button->text(), kStopScanCaption);
    QCOMPARE(form->runningTasks(), 1);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(item->text(), kScanCaption);
    QTRY_COMPARE(button->text(), kScanCaption);
    QTRY_COMPARE_WITH_TIMEOUT(form->runningTasks(), 0, 30000);
    QVERIFY(form->eventLogView()->toPlainText().contains(QStringLiteral(" - Выполнение прервано по запросу пользователя...")));
}

void TestMainForm::scanSurvivesWindowClosing()
{
    form->show();
    QVERIFY(openSilentLine());
    form->actions().refreshNetwork->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(station->scanCaption() == kStopScanCaption, 30000);
    QCOMPARE(form->runningTasks(), 1);
    form.reset(); // the scan is suspended; the window goes away under it
    scan_running = 0; // the closing main window stops the scan
    QTRY_COMPARE_WITH_TIMEOUT(station->scanCaption(), kScanCaption, 30000);
    QTRY_VERIFY(!station->scanActive());
    // Kept after its window, and dropped once it finished.
    QTRY_COMPARE(TaskOwner::orphanedTasks(), 0);
}

void TestMainForm::panelsAndClocks()
{
    // Recording items drive panels 2 and 3.
    QAction *inBd = form->actions().recordBd;
    QAction *inFile = form->actions().recordFile;
    inBd->trigger();
    inFile->trigger();
    QCOMPARE(form->statusPanelLabel(2)->text(), QStringLiteral("Запись в базу данных"));
    QCOMPARE(form->statusPanelLabel(3)->text(), QStringLiteral("Запись в файл"));
    inBd->setEnabled(false);
    QVERIFY(form->statusPanelLabel(2)->text().isEmpty());
    inFile->trigger();
    QVERIFY(form->statusPanelLabel(3)->text().isEmpty());

    // "Скрыть панель" hides the left panel while ticked; "Выбрать все"/"Снять выделение".
    station->nodeList().append(node_item_text(1, 7));
    station->nodeList().append(node_item_text(2, 9));
    form->show();
    QVERIFY(form->leftPanel()->isVisible());
    form->actions().hidePanel->trigger();
    QVERIFY(!form->leftPanel()->isVisible());
    form->actions().hidePanel->trigger();
    QVERIFY(form->leftPanel()->isVisible());
    form->buttons().selectAll->click();
    QVERIFY(station->nodeList().isChecked(0) && station->nodeList().isChecked(1));
    form->buttons().unselectAll->click();
    QVERIFY(!station->nodeList().anyChecked());

    // Progress bar follows the station's value.
    QCOMPARE(form->progressBar()->maximum(), 255);
    VrProgressBar().setMaximum(12);
    VrProgressBar().setPosition(4);
    QCOMPARE(form->progressBar()->maximum(), 12);
    QCOMPARE(form->progressBar()->value(), 4);
    VrProgressBar().setPosition(0);
    VrProgressBar().setMaximum(255);

    // Clocks: the date shows at each hour change, not at a first showing at hour 0.
    QDateTime now(QDate(2024, 3, 9), QTime(0, 59, 58));
    set_clock([&now] { return now; });
    auto fresh = std::make_unique<TMainForm>(*station);
    QSignalSpy hours(fresh.get(), &TMainForm::hourChanged);
    QCOMPARE(fresh->elapsedClockText(), QStringLiteral("00:00:00"));
    fresh->show();
    QCOMPARE(fresh->currentClockText(), QStringLiteral("00:59:58"));
    QVERIFY(fresh->dateText().isEmpty());
    QCOMPARE(hours.count(), 0);
    fresh->startElapsedClock();
    now = now.addSecs(3);
    fresh->tickClock();
    QCOMPARE(fresh->currentClockText(), QStringLiteral("01:00:01"));
    QCOMPARE(fresh->dateText(), QStringLiteral(" 09.03.2024 г."));
    QCOMPARE(hours.count(), 1);
    QCOMPARE(hours.first().at(0).toInt(), 1);
    QCOMPARE(fresh->elapsedClockText(), QStringLiteral("00:00:03"));
    now = now.addSecs(3600 + 62);
    fresh->stopElapsedClock();
    now = now.addSecs(100);
    fresh->tickClock();
    QCOMPARE(fresh->elapsedClockText(), QStringLiteral("01:01:05"));
    QCOMPARE(hours.count(), 2);
    fresh->tickClock();
    QCOMPARE(hours.count(), 2); // same hour: nothing new
}

QTEST_MAIN(TestMainForm)
#include "test_mainform.moc"
