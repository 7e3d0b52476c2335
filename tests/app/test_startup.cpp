// Start-up, the start dialog, the settings files and closing, against the simulated line.
#include "tests/fixtures/sim_fixture.h"

#include "base/ini_file.h"
#include "base/node_table.h"
#include "app/mainform.h"
#include "app/station_app.h"
#include "app/start_dialog.h"
#include "storage/unit_dm.h"
#include "widgets/dialog_seam.h"
#include "windows/monitor.h"
#include "windows/print_report.h"
#include "windows/device_window.h"
#include "windows/setpoint_dialogs.h"
#include "engine/device_refresh.h"
#include "engine/seven_segment.h"

#include <QLineEdit>

#include <algorithm>
#include "widgets/interval_dialog.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListView>
#include <QMdiArea>
#include <QMenuBar>
#include <QMdiSubWindow>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

using namespace qlx;
using namespace qlx::testing;

namespace {

QString readFile(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
}

int speedBroadcasts(const sim::LineSimulator &sim, const QByteArray &head, int baud)
{
    int n = 0;
    for (const auto &f : sim.frames())
        n += (f.bytes.startsWith(head) && f.lineBaud == baud) ? 1 : 0;
    return n;
}

// Rows of a daily log below its header line.
int valueLogRows(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    return int(f.readAll().count("\r\n")) - 1;
}

int historyRows(const QString &bdDir)
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(QDir(bdDir).filePath(QStringLiteral("history.db")));
        if (db.open()) {
            QSqlQuery q(QStringLiteral("select count(*) from Sensors_history"), db);
            if (q.next())
                rows = q.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return rows;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private:
    QList<DialogRequest> requests;
    std::function<void(const DialogRequest &)> onDialog;

    int messages(const QString &text) const
    {
        int n = 0;
        for (const auto &r : requests)
            n += (r.kind == DialogRequest::Kind::Message && r.text == text) ? 1 : 0;
        return n;
    }

    // A station folder whose serial port is the simulator's line.
    static void writePort(const QTemporaryDir &dir, const QString &port, const QString &baud = QStringLiteral("9600"))
    {
        StationEngine::initialiseFolder(StationFolder(dir.path()), port);
        IniFile(StationFolder(dir.path()).iniFile(QStringLiteral("Com_setup_modbus.ini")))
            .writeString(QStringLiteral("ComPort"), QStringLiteral("BaudRate"), baud);
    }

    // Nodes at 19200 baud on the simulator's line, a short answer wait, and a
    // station folder that records into a SQLite history database.
    static bool recordingFolderOnLine(const QTemporaryDir &dir, sim::LineSimulator &sim, const QList<int> &addresses)
    {
        if (!openWithNodes(sim, addresses, 19200))
            return false;
        writePort(dir, sim.stationPath(), QStringLiteral("19200"));
        const StationFolder folder(dir.path());
        IniFile(folder.iniFile(QStringLiteral("Time.ini"))).writeInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 25);
        IniFile(folder.iniFile(QStringLiteral("QLXN.ini"))).writeBool(QStringLiteral("Record"), QStringLiteral("in_bd"), true);
        return write_sqlite_link(folder.bdDir());
    }

    // Lets the start command run until the main window is up (or the test gives up).
    static bool waitShown(StationApp &app)
    {
        if (app.mainShown())
            return true;
        QSignalSpy shown(&app, &StationApp::mainWindowShown);
        return shown.wait(5000);
    }

private slots:
    void init()
    {
        reset_node_table_state();
        requests.clear();
        onDialog = {};
        DialogSeam::setHandler([this](const DialogRequest &r) {
            requests.append(r);
            if (r.kind == DialogRequest::Kind::Dialog && onDialog)
                onDialog(r);
            return int(QMessageBox::Ok);
        });
    }
    void cleanup() { DialogSeam::setHandler({}); }

    void firstStartInAnEmptyFolder()
    {
        QTemporaryDir dir;
        StationApp app(StationFolder(dir.path()));
        app.start();
        QTRY_COMPARE(app.runningTasks(), 0); // the start command has ended
        QCOMPARE(readFile(dir.filePath(QStringLiteral("ini/Time.ini"))), QStringLiteral("[Quorlex]\r\nTimOut=100\r\n"));
        QCOMPARE(app.mainForm().actions().refresh->text(),
                 QStringLiteral("Авт. обновление каждые 5 сек."));
        QCOMPARE(app.mainForm().buttons().autoRefresh->text(),
                 QStringLiteral("Авт. обновление каждые 5 сек."));
        QVERIFY(!app.mainShown()); // no port settings: the start does nothing
        QVERIFY(app.startDialog().isVisible());
        QVERIFY(!app.station().comPort().isOpen());
        QVERIFY(app.mainForm().isLocked());
        QVERIFY(requests.isEmpty());
        // Without a logs folder file recording is off and the start dialog says so.
        QVERIFY(!app.mainForm().actions().recordFile->isEnabled());
        QVERIFY(app.startDialog().fileLabel()->isVisibleTo(&app.startDialog()));
        QVERIFY(!QDir(dir.filePath(QStringLiteral("logs"))).exists());
        // Without a database link recording to the database and the history views are off.
        QVERIFY(app.startDialog().dbLabel()->isVisibleTo(&app.startDialog()));
        QVERIFY(!app.mainForm().actions().recordBd->isEnabled());
        QVERIFY(!app.mainForm().actions().history->isEnabled());
    }

    void startOpensThePortAndBroadcastsTwice()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        writePort(dir, sim.stationPath(), QStringLiteral("19200"));
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        QVERIFY(app.mainForm().isVisible());
        QVERIFY(!app.startDialog().isVisible());
        QCOMPARE(speedBroadcasts(sim, QByteArray::fromHex("001304"), 19200), 2);
        QVERIFY(app.mainForm().findChild<QAction *>(QStringLiteral("mnu_speed_19200"))->isChecked());
        QVERIFY(!app.mainForm().findChild<QAction *>(QStringLiteral("mnu_speed_9600"))->isChecked());
        QCOMPARE(app.station().lineSpeedText(), QStringLiteral("19200"));
    }

    // A custom speed has no speed code: both broadcasts go without one, no speed is ticked,
    // and the settings file keeps "Custom".
    void startAtACustomSpeed()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        writePort(dir, sim.stationPath(), QStringLiteral("Custom"));
        const QString portFile = StationFolder(dir.path()).iniFile(QStringLiteral("Com_setup_modbus.ini"));
        IniFile(portFile).writeInteger(QStringLiteral("ComPort"), QStringLiteral("CustomBaudRate"), 9600);
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(speedBroadcasts(sim, QByteArray::fromHex("0013"), 9600), 2);
        for (const auto &frame : sim.frames())
            QCOMPARE(frame.bytes.size(), 4);
        for (const char *speed : {"1200", "2400", "4800", "9600", "19200"})
            QVERIFY(!app.mainForm().findChild<QAction *>(QStringLiteral("mnu_speed_") + speed)->isChecked());
        QCOMPARE(app.station().lineSpeedText(), QStringLiteral("Custom"));
        QCOMPARE(IniFile(portFile).readString(QStringLiteral("ComPort"), QStringLiteral("BaudRate")),
                 QStringLiteral("Custom"));
    }

    void portThatCannotBeOpened()
    {
        QTemporaryDir dir;
        writePort(dir, QStringLiteral("/dev/qlx-no-such-port"));
        bool settingsDialogShown = false;
        onDialog = [&](const DialogRequest &r) {
            settingsDialogShown = true;
            QTimer::singleShot(0, r.dialog, &QDialog::reject); // the operator cancels it
        };
        StationApp app(StationFolder(dir.path()));
        app.start();
        QTRY_VERIFY(settingsDialogShown);
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(messages(QStringLiteral("Не могу открыть COM порт. Проверьте настройки COM порта")), 1);
        QCOMPARE(requests.first().caption, QStringLiteral("Ошибка инициализации COM порта"));
        QCOMPARE(requests.first().icon, QMessageBox::Critical);
        QVERIFY(!app.mainShown());
        QVERIFY(app.startDialog().isVisible());
        QVERIFY(readFile(dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini"))).contains(QStringLiteral("Port=/dev/qlx-no-such-port")));
    }

    void speedChangeFromTheMenu()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        sim::Node *node = sim.addNode(sim::defaultNode(5));
        writePort(dir, sim.stationPath());
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        sim.clearFrames();
        app.mainForm().findChild<QAction *>(QStringLiteral("mnu_speed_4800"))->trigger();
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(sim.frames().size(), 1);
        QCOMPARE(sim.frames().first().bytes.left(3), QByteArray::fromHex("001302"));
        QCOMPARE(sim.frames().first().lineBaud, 9600);
        QCOMPARE(sim.lineBaud(), 4800);
        QCOMPARE(node->baud(), 4800);
        QVERIFY(app.mainForm().findChild<QAction *>(QStringLiteral("mnu_speed_4800"))->isChecked());
    }

    void scanFromTheMainWindowAndCloseDuringAScan()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(openWithNodes(sim, {5, 200}, 19200));
        writePort(dir, sim.stationPath(), QStringLiteral("19200"));
        IniFile(StationFolder(dir.path()).iniFile(QStringLiteral("Time.ini")))
            .writeInteger(QStringLiteral("Quorlex"), QStringLiteral("TimOut"), 25);
        StationApp app(StationFolder(dir.path()));
        QSignalSpy finished(&app, &StationApp::finished);
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);

        app.mainForm().actions().refreshNetwork->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(app.station().eventLog().lines().join('\n').contains(QStringLiteral(" - Обнаружено узлов - 2")), 120000);
        QAbstractItemModel *list = app.mainForm().nodeListView()->model();
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(list->index(0, 0).data().toString(), QStringLiteral("1 - Кворлекс - 5"));
        QCOMPARE(list->index(1, 0).data().toString(), QStringLiteral("2 - Кворлекс - 200"));

        // A second scan, and the operator closes the window while it runs.
        app.mainForm().actions().refreshNetwork->trigger();
        QTRY_COMPARE(scan_running, 1);
        QFile::remove(dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini")));
        app.mainForm().close();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(scan_running, 0);
        QCOMPARE(abort_read, 1);
        QVERIFY(readFile(dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini"))).contains(QStringLiteral("BaudRate=19200")));
        const QString qlxn = readFile(dir.filePath(QStringLiteral("ini/QLXN.ini")));
        QVERIFY(qlxn.contains(QStringLiteral("in_bd=0")));
        QVERIFY(qlxn.contains(QStringLiteral("in_file=")));
    }

    // An operator's command that fails shows the general error message; the program
    // goes on: the port can be opened again and the line used.
    void failedCommandLeavesTheProgramRunning()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        sim.addNode(sim::defaultNode(5));
        writePort(dir, sim.stationPath());
        StationApp app(StationFolder(dir.path()));
        QSignalSpy finished(&app, &StationApp::finished);
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);

        const MainMenuActions &menu = app.mainForm().actions();
        menu.openPort->trigger(); // "Закрыть"
        QVERIFY(!app.station().comPort().isOpen());
        requests.clear();
        menu.speeds.at(2)->trigger(); // the speed broadcast needs the closed port
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().caption, QApplication::applicationName());
        QCOMPARE(requests.first().icon, QMessageBox::Critical);
        requests.clear();
        menu.refreshNetwork->trigger(); // a scan with the port closed says so
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().text, QStringLiteral("Опрос сети невозможен: COM порт закрыт."));
        QCOMPARE(finished.count(), 0);

        menu.openPort->trigger(); // "Открыть"
        QVERIFY(app.station().comPort().isOpen());
        sim.clearFrames();
        menu.speeds.at(3)->trigger();
        QTRY_COMPARE(app.runningTasks(), 0);
        QCOMPARE(sim.frames().size(), 1);
        QCOMPARE(finished.count(), 0);
    }

    void refreshIntervalCommand()
    {
        QTemporaryDir dir;
        StationApp app(StationFolder(dir.path()));
        app.start();
        QTRY_COMPARE(app.runningTasks(), 0);
        app.mainForm().actions().interval->trigger(); // locked: nothing happens
        QCOMPARE(app.runningTasks(), 0); // no command was started
        QVERIFY(!app.mainForm().findChild<Tfrm_time_refresh *>());
        app.mainForm().liftLock();
        app.mainForm().actions().interval->trigger();
        Tfrm_time_refresh *dialog = nullptr;
        QTRY_VERIFY((dialog = app.mainForm().findChild<Tfrm_time_refresh *>()) != nullptr);
        QCOMPARE(dialog->Cmb_time->currentText(), QStringLiteral("5"));
        dialog->Cmb_time->setEditText(QStringLiteral("30"));
        dialog->BitBtn1->click();
        QTRY_COMPARE(app.refreshInterval(), 30000);
        QCOMPARE(app.mainForm().actions().refresh->text(),
                 QStringLiteral("Авт. обновление каждые 30 сек."));
        QCOMPARE(app.mainForm().buttons().autoRefresh->text(),
                 QStringLiteral("Авт. обновление каждые 30 сек."));
        QVERIFY(readFile(dir.filePath(QStringLiteral("ini/QLXN.ini"))).contains(QStringLiteral("Time_refresh=30000")));
        // The next start reads it back.
        StationApp again(StationFolder(dir.path()));
        again.start();
        QCOMPARE(again.refreshInterval(), 30000);
    }

    // A station started before its database and its logs folder are there: the operator's
    // choice to record into the database survives the close, and recording comes on by
    // itself once both are there.
    void recordingThatComesLaterIsTakenUp()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(recordingFolderOnLine(dir, sim, {9}));
        const StationFolder folder(dir.path());
        QVERIFY(write_sqlite_link(folder.bdDir(), QStringLiteral("later/history.db")));
        QVERIFY(QDir(folder.logsDir()).removeRecursively());
        const auto inBd = [&] {
            return IniFile(folder.iniFile(QStringLiteral("QLXN.ini"))).readInteger(QStringLiteral("Record"), QStringLiteral("in_bd"), -1);
        };
        {
            StationApp app(folder);
            app.start();
            QVERIFY(waitShown(app));
            QVERIFY(!app.mainForm().actions().recordBd->isEnabled());
            const QString events = app.station().eventLog().lines().join('\n');
            QVERIFY2(events.contains(QStringLiteral("База данных истории не открыта"))
                         && events.contains(QStringLiteral("Запись в файл невозможна")),
                     qPrintable(events));
            app.closeStation();
        }
        QCOMPARE(inBd(), 1);

        StationApp app(folder);
        app.engine().setRecoveryIntervals(100, 100);
        app.start();
        QVERIFY(waitShown(app));
        QVERIFY(!app.mainForm().actions().recordBd->isEnabled());
        QVERIFY(!app.mainForm().actions().recordFile->isEnabled());
        QVERIFY(QDir().mkpath(folder.bdDir() + QStringLiteral("/later")));
        QVERIFY(QDir().mkpath(folder.logsDir()));
        QVERIFY(waitUntil([&] { return app.mainForm().actions().recordBd->isEnabled(); }, 30000));
        QVERIFY(app.mainForm().actions().recordBd->isChecked());
        QVERIFY(app.mainForm().actions().history->isEnabled());
        QVERIFY(waitUntil([&] { return app.mainForm().actions().recordFile->isEnabled(); }, 30000));
        QVERIFY(app.mainForm().actions().recordFile->isChecked());
        QVERIFY(QFileInfo::exists(app.dailyLogs().valueLogPath()));
        app.closeStation();
        QCOMPARE(inBd(), 1);
    }

    void oneButtonStartScansAndPolls()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(recordingFolderOnLine(dir, sim, {9}));
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);

        app.mainForm().buttons().autoRefresh->click();
        QTRY_VERIFY_WITH_TIMEOUT(app.polling().running(), 120000);
        QVERIFY(app.mainForm().actions().refresh->isChecked());
        QVERIFY(!app.mainForm().buttons().autoRefresh->isEnabled());
        QVERIFY(app.station().nodeList().isChecked(0));
        QVERIFY(app.mainForm().actions().hidePanel->isChecked());
        // The first pass reads the node in full and records it; the monitor shows it.
        QTRY_VERIFY_WITH_TIMEOUT(QFile(app.dailyLogs().valueLogPath()).size() > 200, 120000);
        QVERIFY(app.monitor());
        QCOMPARE(app.monitor()->windowTitle(), QStringLiteral("Монитор состояний - авт. обновление с интервалом 5 сек."));
        QCOMPARE(arr_cells(0, 1).text, QStringLiteral("9"));
        QVERIFY(!arr_cells(3, 1).text.isEmpty());

        // Closing the monitor answered with No: it is minimised and polling goes on.
        int questions = 0;
        DialogSeam::setHandler([&](const DialogRequest &) {
            ++questions;
            return int(QMessageBox::No);
        });
        QPointer<Tfrm_monitor_auto2> monitor = app.monitor();
        auto *monitorSub = qobject_cast<QMdiSubWindow *>(monitor->parentWidget());
        QVERIFY(monitorSub);
        monitorSub->close();
        QTRY_VERIFY(monitorSub->isMinimized());
        QCOMPARE(questions, 1);
        QVERIFY(monitor);
        QVERIFY(app.polling().running());
        const qint64 logged = QFile(app.dailyLogs().valueLogPath()).size();
        app.polling().setInterval(0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile(app.dailyLogs().valueLogPath()).size() > logged, 120000);
        DialogSeam::setHandler({});

        // The report opens as a child window of the main window.
        QPointer<TFrm_print> report = monitor->Print_grid();
        QVERIFY(report);
        QVERIFY(app.mainForm().mdiArea()->subWindowList().contains(qobject_cast<QMdiSubWindow *>(report->parentWidget())));
        QVERIFY(report->lines().join('\n').contains(QStringLiteral("|   9|")));
        report->parentWidget()->close();
        QTRY_VERIFY(report.isNull());

        const auto monitorMenus = [&app] {
            int n = 0;
            for (QAction *a : app.mainForm().menuBar()->actions())
                n += a->text() == QStringLiteral("Монитор") ? 1 : 0;
            return n;
        };
        QCOMPARE(monitorMenus(), 1);
        // Closing confirmed, then switched on again at once while the run still
        // finishes its node: the run goes on, with a new monitor and one menu.
        DialogSeam::setHandler([](const DialogRequest &) { return int(QMessageBox::Yes); });
        monitorSub->close();
        DialogSeam::setHandler({});
        QVERIFY(!app.polling().running());
        QVERIFY(app.polling().runActive());
        app.mainForm().actions().refresh->trigger();
        QVERIFY(app.polling().running());
        QTRY_VERIFY(monitor.isNull());
        QVERIFY(app.monitor());
        QVERIFY(!app.monitor()->closing());
        QCOMPARE(monitorMenus(), 1);
        const qint64 loggedAgain = QFile(app.dailyLogs().valueLogPath()).size();
        QTRY_VERIFY_WITH_TIMEOUT(QFile(app.dailyLogs().valueLogPath()).size() > loggedAgain, 120000);
        QCOMPARE(app.mainForm().mdiArea()->subWindowList().size(), 1);

        // The operator switches polling off; the run ends and the button comes back.
        app.mainForm().actions().refresh->trigger();
        QVERIFY(!app.polling().running());
        QTRY_VERIFY_WITH_TIMEOUT(app.mainForm().buttons().autoRefresh->isEnabled(), 120000);
        QVERIFY(!app.mainForm().actions().refresh->isChecked());
        QVERIFY(app.station().eventLog().lines().join('\n').contains(
            QStringLiteral(" - Включено авт. обновление с интервалом 5 сек.")));
    }

    // The operator closes the main window while the run records a node: the program
    // ends only once that node's twelve database rows are written beside its value-log row.
    // "Передняя панель" opens a device window that reads the highlighted node at once;
    // "Запись" and "Чтение" open the setpoint dialogs in the main window's frame.
    void deviceWindowAndSetpointDialogsOpen()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(recordingFolderOnLine(dir, sim, {9}));
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        run(app.station().mnu_refresh_networkClick());
        QCOMPARE(app.station().nodeList().count(), 1);
        app.mainForm().nodeListView()->setCurrentIndex(app.mainForm().nodeListView()->model()->index(0, 0));
        app.mainForm().buttons().frontPanel->click();
        QCOMPARE(app.deviceWindows().size(), 1);
        TFrm_quorlex *window = app.deviceWindows().first();
        QCOMPARE(window->windowTitle(), QStringLiteral("1 - Кворлекс - 9"));
        QVERIFY(waitUntil([&] { return window->refresh() && window->refresh()->refreshes() >= 1; }, 60000));
        QCOMPARE(window->greenMasks(), green_value(window->refresh()->selectedChannel()));
        QVERIFY(!window->progButton()->isEnabled()); // locked

        app.mainForm().liftLock();
        app.mainForm().actions().write->trigger();
        app.mainForm().actions().readUstav->trigger();
        QCOMPARE(app.mainForm().mdiArea()->findChildren<Tfrm_record *>().size(), 1);
        QCOMPARE(app.mainForm().mdiArea()->findChildren<Tfrm_read_ustav *>().size(), 1);
        QVERIFY(waitUntil([&] { return window->progButton()->isEnabled(); }, 5000));
        window->openSetpointWrite();
        const QList<Tfrm_record *> writes = app.mainForm().mdiArea()->findChildren<Tfrm_record *>();
        QCOMPARE(writes.size(), 2);
        QVERIFY(std::any_of(writes.begin(), writes.end(),
                            [](Tfrm_record *w) { return w->txt_sensor->text() == QStringLiteral("9"); }));
        app.closeStation();
    }

    void frontPanelQuestionOkClosesTheMonitor()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(recordingFolderOnLine(dir, sim, {9}));
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        app.mainForm().buttons().autoRefresh->click();
        QTRY_VERIFY_WITH_TIMEOUT(app.polling().running() && app.monitor(), 120000);
        QPointer<Tfrm_monitor_auto2> monitor = app.monitor();

        // "Передняя панель" while polling runs asks to switch polling off; OK closes the
        // monitor, which asks its own question, and "Да" there switches polling off.
        QStringList asked;
        DialogSeam::setHandler([&](const DialogRequest &r) {
            asked << r.text;
            return int(r.buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
        });
        app.mainForm().nodeListView()->setCurrentIndex(app.mainForm().nodeListView()->model()->index(0, 0));
        app.mainForm().buttons().frontPanel->click();
        QTRY_VERIFY_WITH_TIMEOUT(!app.polling().running(), 120000);
        QCOMPARE(asked.size(), 2);
        QVERIFY(asked.at(0).startsWith(QStringLiteral("Просмотр датчиков невозможен при автоматическом опросе сети.")));
        QVERIFY(asked.at(1).startsWith(QStringLiteral("Закрытие приведет к отключению автоматического опроса.")));
        QTRY_VERIFY(monitor.isNull());
        DialogSeam::setHandler({});
        QTRY_VERIFY_WITH_TIMEOUT(!app.polling().runActive(), 120000);
    }

    void closingWhileANodeIsRecordedKeepsItsRowsTogether()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(recordingFolderOnLine(dir, sim, {9, 17}));
        StationApp app(StationFolder(dir.path()));
        app.start();
        QVERIFY(waitShown(app));
        QTRY_COMPARE(app.runningTasks(), 0);
        app.polling().setInterval(0);
        app.mainForm().buttons().autoRefresh->click();
        const QString valueLog = app.dailyLogs().valueLogPath();
        QTRY_VERIFY_WITH_TIMEOUT(valueLogRows(valueLog) >= 2, 120000);

        // What is on disk at the moment the program is told to end.
        int rowsAtEnd = -1;
        int dbRowsAtEnd = -1;
        connect(&app, &StationApp::finished, this, [&] {
            rowsAtEnd = valueLogRows(valueLog);
            dbRowsAtEnd = historyRows(StationFolder(dir.path()).bdDir());
        });
        // The value-log row is written just before the node's database rows: close then.
        const qint64 size = QFile(valueLog).size();
        QTimer watch;
        watch.setInterval(0);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (QFile(valueLog).size() == size)
                return;
            watch.stop();
            app.mainForm().close();
        });
        watch.start();
        QTRY_VERIFY_WITH_TIMEOUT(rowsAtEnd >= 0, 120000);
        QVERIFY(!app.polling().runActive());
        QCOMPARE(dbRowsAtEnd, 12 * rowsAtEnd);
    }

    void closingTheStartDialogEndsTheProgram()
    {
        QTemporaryDir dir;
        StationApp app(StationFolder(dir.path()));
        QSignalSpy finished(&app, &StationApp::finished);
        app.start();
        app.startDialog().reject(); // the frame's close box
        QCOMPARE(finished.count(), 1);
    }

    // Help and mistakes need no display: without a window system the program still
    // answers them, and an unknown or incomplete option is refused with status 2.
    void argumentsCheckedWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "usage: quorlex-station";
        QTest::newRow("unknown option") << QStringList{"--autostrat"} << 2 << "unknown option --autostrat";
        QTest::newRow("missing value") << QStringList{"--home"} << 2 << "--home needs a value";
        QTest::newRow("stray word") << QStringList{"--scan", "now"} << 2 << "unknown option now";
    }
    void argumentsCheckedWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        station.setProcessEnvironment(env);
        station.start(QStringLiteral(QLX_STATION_PATH), arguments);
        QVERIFY(station.waitForFinished(30000));
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), status);
        const QString output = QString::fromUtf8(station.readAllStandardOutput() + station.readAllStandardError());
        QVERIFY2(output.contains(says), qPrintable(output));
    }

    void stationProgramStopsCleanlyOnSigterm()
    {
        QTemporaryDir dir;
        sim::LineSimulator sim;
        QVERIFY(sim.openPty());
        QProcess init;
        init.start(QStringLiteral(QLX_STATION_PATH),
                   {QStringLiteral("--init"), dir.path(), QStringLiteral("--port"), sim.stationPath()});
        QVERIFY(init.waitForFinished(30000));
        QCOMPARE(init.exitCode(), 0);

        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        station.setProcessEnvironment(env);
        station.start(QStringLiteral(QLX_STATION_PATH), {QStringLiteral("--home"), dir.path()});
        // The start opens the port and broadcasts the speed twice; then the service manager stops it.
        QTRY_VERIFY_WITH_TIMEOUT(speedBroadcasts(sim, QByteArray::fromHex("001303"), 9600) == 2, 20000);
        station.terminate();
        QSignalSpy done(&station, &QProcess::finished);
        QVERIFY(station.state() == QProcess::NotRunning || done.wait(20000));
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);

        const QString time = readFile(dir.filePath(QStringLiteral("ini/Time.ini")));
        QVERIFY(time.contains(QStringLiteral("[Quorlex]\r\nTimOut=100")));
        const QString qlxn = readFile(dir.filePath(QStringLiteral("ini/QLXN.ini")));
        QVERIFY(qlxn.contains(QStringLiteral("[Record]")));
        QVERIFY(qlxn.contains(QStringLiteral("in_bd=0")));
        QVERIFY(qlxn.contains(QStringLiteral("in_file=")));
        // The folder made by --init has a logs folder: today's three logs were opened.
        const QStringList logs = QDir(dir.filePath(QStringLiteral("logs"))).entryList(QDir::Files);
        QCOMPARE(logs.size(), 3);
        // ... and its database link gave a history database.
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("bd/history.db"))).size() > 0);
        const QString port = readFile(dir.filePath(QStringLiteral("ini/Com_setup_modbus.ini")));
        for (const char *key : {"Port=", "BaudRate=9600", "StopBits=2", "DataBits=8", "Parity=None", "FlowControl=None"})
            QVERIFY2(port.contains(QString::fromLatin1(key)), key);
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
