// The main window as a view over the station: menu, operator lock, event log,
// node-list commands and scan captions. Dialogs are answered through DialogSeam.
#include "base/node_table.h"
#include "base/progress.h"
#include "engine/station.h"
#include "app/mainform.h"
#include "widgets/password_dialog.h"
#include "base/unit_procedure.h"

#include <QAction>
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

    void menuItems_data();
    void menuItems();
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
    // A scan started by a test ends on the closed port; let it finish before the station goes.
    QTRY_VERIFY(!station->scanActive() && scan_running == 0);
    station.reset();
    DialogSeam::setHandler({});
    set_clock({});
}

void TestMainForm::menuItems_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<bool>("checked");

    const QKeySequence none;
    const auto row = [&](const char *name, const QString &caption, QKeySequence key = {},
                         bool checkable = false, bool checked = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << caption << key << checkable << checked;
    };
    row("mnu_file", "&Файл");
    row("mnu_exit", "Вы&xод");
    row("mnu_quorlex", "Кворлекс");
    row("mnu_refresh_network", "Опросить сеть", QKeySequence(Qt::CTRL | Qt::Key_N));
    row("mnu_refresh", "Авт. обновление", none, true);
    row("N26", "Интервал обновления");
    row("N1", "Записывать историю");
    row("mnu_record_bd", "Записывать историю в БД", none, true);
    row("mnu_record_file", "Записывать историю в файл", none, true);
    row("mnu_history", "История");
    row("mnu_history_chart", "График");
    row("mnu_history_table", "Таблица");
    row("mnu_monitoring", "Мониторинг состояний", QKeySequence(Qt::CTRL | Qt::Key_M));
    row("N21", "Скорость");
    row("mnu_reset_com_ports", "Сбрасывать комм. порты", none, true);
    row("mnu_speed_1200", "1200", none, true);
    row("mnu_speed_2400", "2400", none, true);
    row("mnu_speed_4800", "4800", none, true);
    row("mnu_speed_9600", "9600", none, true, true);
    row("mnu_speed_19200", "19200", none, true);
    row("mnu_hide_panel", "Скрыть панель", QKeySequence(Qt::CTRL | Qt::Key_V), true);
    row("mnu_service", "Сервис");
    row("COM1", "COM Порт");
    row("mnu_open_port", "Закрыть");
    row("mnu_port_setup", "Настройка");
    row("mnu_port_save", "Сохранить настройки");
    row("mnu_port_load", "Загрузить настройки");
    row("mnu_dsr", "DSR", none, true);
    row("mnu_rts", "RTS", none, true);
    row("mnu_fast_speed", "Сократить время ожидания", none, true);
    row("N9", "Мастер отладки");
    row("N15", "Запись");
    row("mnu_read_ustav", "Чтение");
    row("mnu_event_history", "История событий");
    row("mnu_event_panel", "Панель", QKeySequence(Qt::CTRL | Qt::Key_P), true);
    row("mnu_refresh_time_log", "Учет времени обновления", none, true);
    row("mnu_reset_process", "Сброс процесса");
    row("mnu_lock", "Снять блокировку");
    row("mnu_window", "&Окно");
    row("mnu_cascade", "&Каскадом");
    row("mnu_tile_horizontal", "Выстроить по &горизонтали");
    row("mnu_tile_vertical", "Выстроить по &вертикали");
    row("mnu_minimize_all", "&Свернуть все");
}

void TestMainForm::menuItems()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QKeySequence, shortcut);
    QFETCH(bool, checkable);
    QFETCH(bool, checked);

    QAction *a = form->action(name);
    QVERIFY2(a, qPrintable(name));
    QCOMPARE(a->objectName(), name);
    QCOMPARE(a->text(), caption);
    QCOMPARE(a->shortcut(), shortcut);
    QCOMPARE(a->isCheckable(), checkable);
    QCOMPARE(a->isChecked(), checked);
}

void TestMainForm::lockedAtStart()
{
    for (const QString &name : kLockedItems)
        QVERIFY2(!form->action(name)->isEnabled(), qPrintable(name));
    QVERIFY(station->statusPanel(4).isEmpty());
    QVERIFY(form->statusPanelLabel(4)->text().isEmpty());
    QVERIFY(form->isLocked());
    // Ctrl+M belongs to one item only.
    QVERIFY(form->action(QStringLiteral("N9"))->shortcut().isEmpty());

    // The speed items are one exclusive group: choosing one unticks the rest.
    form->action(QStringLiteral("mnu_speed_4800"))->trigger();
    QVERIFY(form->action(QStringLiteral("mnu_speed_4800"))->isChecked());
    QVERIFY(!form->action(QStringLiteral("mnu_speed_9600"))->isChecked());
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
    QAction *lock = form->action(QStringLiteral("mnu_lock"));
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
    QTest::mouseClick(cancel ? dialog->cancelButton() : dialog->okButton(), Qt::LeftButton);

    const bool closed = cancel || unlocked;
    if (closed) {
        QTRY_VERIFY(dialog.isNull());
    } else {
        QTest::qWait(20);
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->passwordField()->text(), typed);
    }
    QCOMPARE(station->statusPanel(4), unlocked ? kUnlockedPanelText : QString());
    QCOMPARE(form->statusPanelLabel(4)->text(), station->statusPanel(4));
    QCOMPARE(form->isLocked(), !unlocked);
    for (const QString &name : kLockedItems)
        QVERIFY2(form->action(name)->isEnabled() == unlocked, qPrintable(name));
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
    QAction *lock = form->action(QStringLiteral("mnu_lock"));
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
    for (const QString &name : kLockedItems)
        QVERIFY2(!form->action(name)->isEnabled(), qPrintable(name));
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
    form->action(QStringLiteral("mnu_event_panel"))->trigger();
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

    form->action(QStringLiteral("mnu_event_panel"))->trigger();
    QVERIFY(!form->eventLogPanel()->isVisible());
}

void TestMainForm::deviceCommands_data()
{
    QTest::addColumn<QString>("command"); // a button or a menu action
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
    form->action(QStringLiteral("mnu_refresh"))->setChecked(autoRefresh);
    VrProgressBar().setPosition(progress);
    this->answer = answer;

    QSignalSpy front(form.get(), &TMainForm::frontPanelRequested);
    QSignalSpy history(form.get(), &TMainForm::historyValuesRequested);
    QSignalSpy stop(form.get(), &TMainForm::stopAutoRefreshRequested);
    if (QPushButton *b = form->button(command))
        QTest::mouseClick(b, Qt::LeftButton);
    else
        form->action(command)->trigger();
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
    form->action(QStringLiteral("mnu_reset_process"))->trigger();
    QCOMPARE(VrProgressBar().position(), 0);
    QCOMPARE(form->progressBar()->value(), 0);
}

void TestMainForm::scanCaptionsFollowStation()
{
    form->show();
    QAction *item = form->action(QStringLiteral("mnu_refresh_network"));
    QPushButton *button = form->button(QStringLiteral("cmb_refresh_network"));
    QCOMPARE(button->text(), kScanCaption);

    // No port is open: the scan starts, says so, and ends at its first probe.
    item->trigger();
    QCOMPARE(item->text(), kStopScanCaption);
    QCOMPARE(button->text(), kStopScanCaption);
    QCOMPARE(form->runningTasks(), 1);
    QTRY_COMPARE(form->runningTasks(), 0);
    QCOMPARE(item->text(), kScanCaption);
    QCOMPARE(button->text(), kScanCaption);
    QVERIFY(!form->eventLogView()->toPlainText().isEmpty());

    // The button is the same command.
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(item->text(), kStopScanCaption);
    QTRY_COMPARE(button->text(), kScanCaption);
    QTRY_COMPARE(form->runningTasks(), 0);
}

void TestMainForm::scanSurvivesWindowClosing()
{
    form->show();
    form->action(QStringLiteral("mnu_refresh_network"))->trigger();
    QVERIFY(station->scanCaption() == kStopScanCaption);
    form.reset(); // the scan is suspended; the window goes away under it
    QTRY_COMPARE(station->scanCaption(), kScanCaption);
    QTRY_VERIFY(!station->scanActive());
}

void TestMainForm::panelsAndClocks()
{
    // Recording items drive panels 2 and 3.
    QAction *inBd = form->action(QStringLiteral("mnu_record_bd"));
    QAction *inFile = form->action(QStringLiteral("mnu_record_file"));
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
    form->action(QStringLiteral("mnu_hide_panel"))->trigger();
    QVERIFY(!form->leftPanel()->isVisible());
    form->action(QStringLiteral("mnu_hide_panel"))->trigger();
    QVERIFY(form->leftPanel()->isVisible());
    form->button(QStringLiteral("cmb_select_all"))->click();
    QVERIFY(station->nodeList().isChecked(0) && station->nodeList().isChecked(1));
    form->button(QStringLiteral("cmb_unselect_all"))->click();
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
