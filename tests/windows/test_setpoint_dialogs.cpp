// The setpoint dialogs driven as the operator would, against simulated
// controllers on a pseudo-terminal: what goes out on the line (byte for byte),
// what the operator is told, what the node table keeps, what the read dialog
// then shows, and what never goes out (bad input, a busy line). Message boxes
// are answered through the dialog seam.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "base/unit_crc.h"
#include "widgets/dialog_seam.h"
#include "widgets/task_owner.h"
#include "windows/setpoint_dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <memory>

using namespace qlx;
using namespace qlx::testing;

namespace {

const QString kCaption = QStringLiteral("Изменение уставок");
const QString kWritten = QStringLiteral("Запись прошла успешно.");
const QString kNotWritten = QStringLiteral("Параметры не были записаны. Проверьте адрес датчика");
const QString kBadRequest = QStringLiteral("Произшли ошибки при формировании сообщения.\n\rПроверьте значения параметров.");
const QString kLineBusy = QStringLiteral("В данный момент времени драйвер Com порта занят другим процессом.\n\r"
                                         "Повторите попытку позже, либо отключите все процессы мониторинга.");
const QString kBadNumber = QStringLiteral("Введен неправильный формат числа.\n\r\n\rНапример, вместо запятой "
                                          "поставлена точка,\n\rнажата не цифровая клавиша\n\rили поставлены 2 запятые...");

const QString kUpperSetpoint = QStringLiteral("Уст. верхнего уровня");
const QString kLowerSetpoint = QStringLiteral("Уст. нижнего  уровня");
const QString kUpperHysteresis = QStringLiteral("Уст. гистерезиса верхнего уровня");
const QString kLowerHysteresis = QStringLiteral("Уст. гистерезиса нижнего  уровня");

const QStringList kRowLabels = {QStringLiteral("Устав.верхн.уровня"), QStringLiteral("Гист.верх.уровня"),
                                QStringLiteral("Гист.нижн.уровня"), QStringLiteral("Устав.нижн.уровня")};

// A write of two registers from `first` holding `value`, low word first, each word high byte first.
QByteArray writeFrame(int address, int first, qint32 value)
{
    const auto v = quint32(value);
    QByteArray frame;
    for (const int byte : {address, 0x10, first >> 8, first & 0xFF, 0x00, 0x02, 0x04, int(v >> 8) & 0xFF,
                           int(v) & 0xFF, int(v >> 24) & 0xFF, int(v >> 16) & 0xFF})
        frame.append(char(byte));
    return append_crc(frame);
}

// The threshold behind a write dialog item, in the node table and in the simulated controller.
std::int32_t &tableField(Tarr_setup &s, const QString &item)
{
    return item == kLowerSetpoint ? s.nu : item == kUpperSetpoint ? s.vu : item == kLowerHysteresis ? s.gis_nu : s.gis_vu;
}
qint32 nodeField(const sim::ChannelSetup &s, const QString &item)
{
    return item == kLowerSetpoint ? s.nu : item == kUpperSetpoint ? s.vu : item == kLowerHysteresis ? s.gis_nu : s.gis_vu;
}

// Distinct thresholds in every channel of a slot, so that a write to the wrong field shows.
void fillThresholds(int slot)
{
    for (int c = 1; c <= kChannels; ++c) {
        Tarr_setup &s = arr_nodes[slot].setup[c];
        s.nu = 1000 * c + 1;
        s.vu = 1000 * c + 2;
        s.gis_nu = 1000 * c + 3;
        s.gis_vu = 1000 * c + 4;
    }
}

QList<Tarr_setup> setups(int slot)
{
    QList<Tarr_setup> all;
    for (int c = 1; c <= kChannels; ++c)
        all << arr_nodes[slot].setup[c];
    return all;
}

QStringList column(const QTableWidget *grid, int col)
{
    QStringList texts;
    for (int row = 0; row < grid->rowCount(); ++row)
        texts << grid->item(row, col)->text();
    return texts;
}

// Nodes 7, 9 and 7 again in slots 1 to 3, then an empty slot, then node 11.
void putAddressesWithAGap()
{
    arr_nodes[1].address = 7;
    arr_nodes[2].address = 9;
    arr_nodes[3].address = 7;
    arr_nodes[5].address = 11;
}

void typeInto(QComboBox *combo, const QString &text)
{
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), text);
}

} // namespace

class TestSetpointDialogs : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writeDialogOpens_data();
    void writeDialogOpens();
    void confirmedWrite_data();
    void confirmedWrite();
    void unconfirmedWrite_data();
    void unconfirmedWrite();
    void refusedRequest_data();
    void refusedRequest();
    void busyLine_data();
    void busyLine();
    void oneWriteAtATime();
    void closedWhileWriting_data();
    void closedWhileWriting();
    void editedWhileWriting();
    void numberField_data();
    void numberField();
    void readDialog_data();
    void readDialog();
    void readDialogList();
    void closing_data();
    void closing();

private:
    // A write dialog on the station's line, shown, filled in as the operator would.
    Tfrm_record *openWrite(const QString &address, int channel, const QString &item, const QString &value);
    QList<DialogRequest> messages(const QString &caption) const;
    bool waitForMessage(const QString &caption, int count = 1);

    std::unique_ptr<SimStation> m_sim;
    QList<DialogRequest> m_messages;
};

void TestSetpointDialogs::init()
{
    m_messages.clear();
    DialogSeam::setHandler([this](const DialogRequest &r) {
        if (r.kind == DialogRequest::Kind::Message)
            m_messages << r;
        return int(QMessageBox::Ok);
    });
    m_sim = std::make_unique<SimStation>();
    QVERIFY(m_sim->openLine(19200, 150));
    m_sim->putNodes({7});
    m_sim->addNodes({9}); // on the line, not in the node table
    for (int c = 1; c <= kChannels; ++c)
        arr_nodes[1].channels[c].point = 2;
    fillThresholds(1);
}

void TestSetpointDialogs::cleanup()
{
    while (VrProgressBar().readsInProgress() > 0)
        VrProgressBar().readEnded();
    VrProgressBar().setPosition(0);
    // Dialogs a test left open; deleting one takes its own top-level pieces (list popups) with it.
    QList<QPointer<QDialog>> open;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<QDialog *>(w))
            open << dialog;
    for (const QPointer<QDialog> &dialog : open)
        delete dialog.data();
    // Writes of closed dialogs finish before their line goes away.
    QVERIFY(waitUntil([] { return TaskOwner::orphanedTasks() == 0; }, 10000));
    m_sim.reset();
    DialogSeam::setHandler({});
}

Tfrm_record *TestSetpointDialogs::openWrite(const QString &address, int channel, const QString &item,
                                            const QString &value)
{
    auto *dialog = new Tfrm_record(m_sim->station());
    dialog->show();
    dialog->txt_sensor->setText(address);
    dialog->cmb_chanel->setCurrentIndex(channel - 1);
    dialog->cmb_operation->setCurrentIndex(dialog->cmb_operation->findText(item));
    QTest::keyClicks(dialog->txt_value, value);
    return dialog;
}

QList<DialogRequest> TestSetpointDialogs::messages(const QString &caption) const
{
    QList<DialogRequest> found;
    for (const DialogRequest &r : m_messages)
        if (r.caption == caption)
            found << r;
    return found;
}

bool TestSetpointDialogs::waitForMessage(const QString &caption, int count)
{
    return waitUntil([&] { return messages(caption).size() >= count; }, 10000);
}

// Opened from the menu everything is empty; from the device window the node and the channel are given.
void TestSetpointDialogs::writeDialogOpens_data()
{
    QTest::addColumn<bool>("forNode");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("channel");
    QTest::newRow("from the menu") << false << "" << "";
    QTest::newRow("for node 7, channel 3") << true << "7" << "3";
}

void TestSetpointDialogs::writeDialogOpens()
{
    QFETCH(bool, forNode);
    QFETCH(QString, address);
    QFETCH(QString, channel);
    std::unique_ptr<Tfrm_record> dialog(forNode ? new Tfrm_record(m_sim->station(), nullptr, 7, 3)
                                                : new Tfrm_record(m_sim->station()));
    // "парамeтров" with a Latin e as its sixth letter.
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Запись парам") + QLatin1Char('e') + QStringLiteral("тров в узел"));
    QCOMPARE(dialog->minimumSize(), QSize(291, 182));
    QCOMPARE(dialog->maximumSize(), QSize(291, 182));
    QCOMPARE(dialog->txt_sensor->text(), address);
    QCOMPARE(dialog->cmb_chanel->currentText(), channel);
    QCOMPARE(dialog->cmb_chanel->count(), 12);
    QCOMPARE(dialog->cmb_operation->currentIndex(), -1);
    QCOMPARE(dialog->txt_value->text(), QString());
    QVERIFY(!(dialog->txt_sensor->focusPolicy() & Qt::TabFocus));
    QVERIFY(dialog->BitBtn1->isDefault());
    QVERIFY(!dialog->Edit1->isVisible());
}

// A confirmed write: the exact frame, the success message, the dialog closed, the
// node table holding what was sent, and the read dialog showing it.
void TestSetpointDialogs::confirmedWrite_data()
{
    QTest::addColumn<bool>("forNode");  // opened with the node and channel given
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("point");     // the channel's point code in the node table
    QTest::addColumn<int>("first");     // first register of the write
    QTest::addColumn<int>("sent");      // value in thousandths
    QTest::addColumn<int>("readRow");
    QTest::addColumn<QString>("shown"); // by the read dialog afterwards

    QTest::newRow("upper setpoint 12,5") << false << 7 << 3 << kUpperSetpoint << "12,5" << 2 << 42 << 12500 << 0 << "12,5000";
    QTest::newRow("from the device window") << true << 7 << 3 << kUpperSetpoint << "12,5" << 2 << 42 << 12500 << 0 << "12,5000";
    QTest::newRow("negative lower setpoint") << false << 7 << 1 << kLowerSetpoint << "-0,5" << 1 << 8 << -500 << 3 << "-0,5000";
    QTest::newRow("full stop typed, last channel") << false << 7 << 12 << kLowerHysteresis << "1.25" << 3 << 188 << 1250 << 2 << "1,2500";
    QTest::newRow("blanks around the value") << false << 7 << 5 << kUpperHysteresis << " 3 " << 4 << 78 << 3000 << 1 << "3,0000";
    QTest::newRow("half a thousandth to even") << false << 7 << 2 << kUpperSetpoint << "0,0125" << 2 << 26 << 12 << 0 << "0,0120";
    QTest::newRow("point code unknown: 0 kept") << false << 7 << 3 << kUpperSetpoint << "12,5" << 0 << 42 << 12500 << 0 << "0,0000";
    QTest::newRow("node not in the table") << false << 9 << 3 << kUpperSetpoint << "12,5" << 2 << 42 << 12500 << -1 << "";
}

void TestSetpointDialogs::confirmedWrite()
{
    QFETCH(bool, forNode);
    QFETCH(int, address);
    QFETCH(int, channel);
    QFETCH(QString, item);
    QFETCH(QString, typed);
    QFETCH(int, point);
    QFETCH(int, first);
    QFETCH(int, sent);
    QFETCH(int, readRow);
    QFETCH(QString, shown);

    arr_nodes[1].channels[channel].point = point;
    QList<Tarr_setup> expected = setups(1);
    if (address == 7)
        tableField(expected[channel - 1], item) = point >= 1 && point <= 4 ? sent : 0;

    QPointer<Tfrm_record> dialog;
    if (forNode) {
        dialog = new Tfrm_record(m_sim->station(), nullptr, address, channel);
        dialog->show();
        dialog->cmb_operation->setCurrentIndex(dialog->cmb_operation->findText(item));
        QTest::keyClicks(dialog->txt_value, typed);
    } else {
        dialog = openWrite(QString::number(address), channel, item, typed);
    }
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);

    QVERIFY(waitForMessage(kCaption));
    const QList<DialogRequest> told = messages(kCaption);
    QCOMPARE(told.size(), 1);
    QCOMPARE(told.first().text, kWritten);
    QCOMPARE(told.first().icon, QMessageBox::NoIcon);
    QVERIFY(waitUntil([&] { return dialog.isNull(); }, 5000));

    QCOMPARE(m_sim->sim.frames().size(), 1);
    const QByteArray frame = m_sim->sim.frames().first().bytes;
    QCOMPARE(frame.toHex(), writeFrame(address, first, sent).toHex());
    if (address == 7 && channel == 3 && first == 42)
        QCOMPARE(frame.toHex(), append_crc(QByteArray::fromHex("0710002a00020430d40000")).toHex());
    QCOMPARE(nodeField(m_sim->sim.node(address)->channel(channel), item), sent);
    QVERIFY(setups(1) == expected);

    if (readRow < 0)
        return;
    Tfrm_read_ustav read(m_sim->station());
    read.cmb_sensor->setCurrentIndex(read.cmb_sensor->findText(QString::number(address)));
    read.cmb_chanel->setCurrentIndex(channel - 1);
    QCOMPARE(read.StrGrid->item(readRow, 0)->text(), kRowLabels.at(readRow));
    QCOMPARE(read.StrGrid->item(readRow, 1)->text(), shown);
}

// A write that the controller does not confirm: the operator is told, the dialog
// keeps everything for another try, and the node table is left alone.
void TestSetpointDialogs::unconfirmedWrite_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("silent node") << "silent";
    QTest::newRow("foreign address") << "foreign";
    QTest::newRow("exception answer") << "exception";
    QTest::newRow("bad checksum") << "crc";
}

void TestSetpointDialogs::unconfirmedWrite()
{
    QFETCH(QString, fault);
    sim::NodeFaults &faults = m_sim->sim.node(7)->faults();
    if (fault == QStringLiteral("silent"))
        faults.silent = true;
    else if (fault == QStringLiteral("foreign"))
        faults.foreignAddress = 8;
    else if (fault == QStringLiteral("exception"))
        faults.exception = 2;
    else
        faults.badCrc = 1.0;
    const QList<Tarr_setup> before = setups(1);

    QPointer<Tfrm_record> dialog = openWrite(QStringLiteral("7"), 3, kUpperSetpoint, QStringLiteral("12,5"));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QVERIFY(waitForMessage(kCaption));

    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.first().text, kNotWritten);
    QCOMPARE(m_messages.first().icon, QMessageBox::NoIcon);
    QCOMPARE(m_sim->framesTo(7, 0x10), 1);
    QVERIFY(setups(1) == before);
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->txt_value->text(), QStringLiteral("12,5"));
    QCOMPARE(dialog->cmb_operation->currentText(), kUpperSetpoint);
    QVERIFY(!dialog->Edit1->text().isEmpty());
    if (fault == QStringLiteral("silent"))
        QCOMPARE(dialog->Edit1->text(), QStringLiteral("Time Out"));
    QVERIFY(waitUntil([&] { return dialog->BitBtn1->isEnabled(); }, 5000));
}

// A request that cannot be made: one warning, nothing on the line, nothing changed.
void TestSetpointDialogs::refusedRequest_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("channel"); // 0: none chosen
    QTest::addColumn<QString>("item"); // empty: none chosen
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("portClosed");

    const QString vu = kUpperSetpoint;
    QTest::newRow("empty value") << "7" << 3 << vu << "" << false;
    QTest::newRow("minus alone") << "7" << 3 << vu << "-" << false;
    QTest::newRow("letters") << "7" << 3 << vu << "abc" << false;
    QTest::newRow("two commas") << "7" << 3 << vu << "1,2,3" << false;
    QTest::newRow("exponent") << "7" << 3 << vu << "1e3" << false;
    QTest::newRow("beyond 32 bits") << "7" << 3 << vu << "2147484" << false;
    QTest::newRow("empty address") << "" << 3 << vu << "5" << false;
    QTest::newRow("address 0 (every controller)") << "0" << 3 << vu << "5" << false;
    QTest::newRow("address 256") << "256" << 3 << vu << "5" << false;
    QTest::newRow("address with a letter") << "7a" << 3 << vu << "5" << false;
    QTest::newRow("no channel") << "7" << 0 << vu << "5" << false;
    QTest::newRow("no parameter") << "7" << 3 << "" << "5" << false;
    QTest::newRow("port closed") << "7" << 3 << vu << "5" << true;
}

void TestSetpointDialogs::refusedRequest()
{
    QFETCH(QString, address);
    QFETCH(int, channel);
    QFETCH(QString, item);
    QFETCH(QString, value);
    QFETCH(bool, portClosed);
    if (portClosed)
        m_sim->station().comPort().close();
    const QList<Tarr_setup> before = setups(1);

    QPointer<Tfrm_record> dialog = openWrite(address, channel, item, QString());
    dialog->txt_value->setText(value);
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QVERIFY(waitForMessage(kCaption));

    const QList<DialogRequest> shown = messages(kCaption);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().text, kBadRequest);
    QCOMPARE(shown.first().icon, QMessageBox::Warning);
    QVERIFY(m_sim->sim.frames().isEmpty());
    QCOMPARE(m_sim->station().line().statistics().exchanges, quint64(0));
    QVERIFY(setups(1) == before);
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(waitUntil([&] { return dialog->BitBtn1->isEnabled(); }, 5000));
}

// While a node read or a scan has the line, "Записать" only warns; afterwards it writes.
void TestSetpointDialogs::busyLine_data()
{
    QTest::addColumn<bool>("scan");
    QTest::newRow("node read in progress") << false;
    QTest::newRow("scan in progress") << true;
}

void TestSetpointDialogs::busyLine()
{
    QFETCH(bool, scan);
    if (scan)
        VrProgressBar().setPosition(17);
    else
        VrProgressBar().readStarted();

    QPointer<Tfrm_record> dialog = openWrite(QStringLiteral("7"), 3, kUpperSetpoint, QStringLiteral("12,5"));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QVERIFY(waitForMessage(kCaption));
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.first().text, kLineBusy);
    QCOMPARE(m_messages.first().icon, QMessageBox::Warning);
    QVERIFY(m_sim->sim.frames().isEmpty());
    QCOMPARE(m_sim->station().line().statistics().exchanges, quint64(0));
    QVERIFY(dialog);

    if (scan)
        VrProgressBar().setPosition(0);
    else
        VrProgressBar().readEnded();
    QVERIFY(waitUntil([&] { return dialog->BitBtn1->isEnabled(); }, 5000));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QVERIFY(waitForMessage(kCaption, 2));
    QCOMPARE(m_messages.last().text, kWritten);
    QCOMPARE(m_sim->framesTo(7, 0x10), 1);
}

// "Записать" is off while a write is on its way; another request meanwhile sends nothing.
void TestSetpointDialogs::oneWriteAtATime()
{
    m_sim->sim.node(7)->faults().silent = true;
    QPointer<Tfrm_record> dialog = openWrite(QStringLiteral("7"), 3, kUpperSetpoint, QStringLiteral("12,5"));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QVERIFY(!dialog->BitBtn1->isEnabled());
    QCOMPARE(dialog->runningTasks(), 1);
    dialog->BitBtn1Click(); // as Enter or a stray call would
    QTest::keyClick(dialog->txt_value, Qt::Key_Return);

    QVERIFY(waitForMessage(kCaption));
    QVERIFY(waitUntil([&] { return dialog->runningTasks() == 0; }, 5000));
    QCOMPARE(messages(kCaption).size(), 1);
    QCOMPARE(m_sim->framesTo(7, 0x10), 1);
    QVERIFY(dialog->BitBtn1->isEnabled());
}

// The dialog closed while its write waits for the answer: no message for a window
// that is gone, and the node table follows the controller's answer all the same.
void TestSetpointDialogs::closedWhileWriting_data()
{
    QTest::addColumn<bool>("answers");
    QTest::newRow("confirmed") << true;
    QTest::newRow("silent") << false;
}

void TestSetpointDialogs::closedWhileWriting()
{
    QFETCH(bool, answers);
    sim::Node *node = m_sim->sim.node(7);
    if (answers)
        node->faults().lateMs = 60;
    else
        node->faults().silent = true;
    const std::int32_t old = arr_nodes[1].setup[3].vu;

    QPointer<Tfrm_record> dialog = openWrite(QStringLiteral("7"), 3, kUpperSetpoint, QStringLiteral("12,5"));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());
    // Closed from the test, outside any event loop: its deletion runs here, as the
    // station's event loop would run it when the close came from the operator.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(dialog.isNull());
    QVERIFY(waitUntil([] { return TaskOwner::orphanedTasks() == 0; }, 10000));

    QVERIFY(m_messages.isEmpty());
    QCOMPARE(m_sim->framesTo(7, 0x10), 1);
    QCOMPARE(arr_nodes[1].setup[3].vu, answers ? 12500 : old);
}

// The operator edits the fields while the write waits for its answer: the node
// table takes the value that went out, not the one the field holds afterwards.
void TestSetpointDialogs::editedWhileWriting()
{
    m_sim->sim.node(7)->faults().lateMs = 60;
    QPointer<Tfrm_record> dialog = openWrite(QStringLiteral("7"), 3, kUpperSetpoint, QStringLiteral("12,5"));
    QTest::mouseClick(dialog->BitBtn1, Qt::LeftButton);
    dialog->txt_value->setText(QStringLiteral("99"));
    dialog->cmb_operation->setCurrentIndex(0);
    dialog->txt_sensor->setText(QStringLiteral("9"));

    QVERIFY(waitForMessage(kCaption));
    QCOMPARE(messages(kCaption).first().text, kWritten);
    QCOMPARE(m_sim->sim.node(7)->channel(3).vu, 12500);
    QCOMPARE(arr_nodes[1].setup[3].vu, 12500);
    QCOMPARE(arr_nodes[1].setup[3].nu, 3001); // untouched
}

// The value field's check on every change.
void TestSetpointDialogs::numberField_data()
{
    QTest::addColumn<QString>("start");  // text already there, the caret after its first character
    QTest::addColumn<QString>("how");    // "type", "paste" or "set"
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");   // afterwards
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("errors");     // "Ввод числа" boxes

    QTest::newRow("full stop typed") << "" << "type" << "1." << "1," << 2 << 0;
    QTest::newRow("pasted with a full stop") << "" << "paste" << "1.25" << "1,25" << 4 << 0;
    QTest::newRow("full stop typed inside") << "12" << "type" << "." << "1,2" << 3 << 0;
    QTest::newRow("minus alone") << "" << "type" << "-" << "-" << 1 << 0;
    QTest::newRow("negative") << "" << "type" << "-0,5" << "-0,5" << 4 << 0;
    QTest::newRow("comma first") << "" << "set" << ",5" << ",5" << 2 << 0;
    QTest::newRow("comma alone") << "" << "type" << "," << "," << 1 << 1;
    QTest::newRow("two commas") << "" << "set" << "1,2,3" << "1,2,3" << 5 << 1;
    QTest::newRow("two full stops pasted") << "" << "paste" << "1.2.3" << "1,2,3" << 5 << 1;
    QTest::newRow("letter typed") << "" << "type" << "1x" << "1x" << 2 << 1;
    QTest::newRow("cleared") << "5" << "set" << "" << "" << 0 << 0;
}

void TestSetpointDialogs::numberField()
{
    QFETCH(QString, start);
    QFETCH(QString, how);
    QFETCH(QString, input);
    QFETCH(QString, text);
    QFETCH(int, caret);
    QFETCH(int, errors);

    std::unique_ptr<Tfrm_record> dialog(new Tfrm_record(m_sim->station()));
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    QLineEdit *field = dialog->txt_value;
    field->setText(start);
    field->setCursorPosition(qMin(1, int(start.size())));
    m_messages.clear();
    dialog->cmb_chanel->setFocus();

    if (how == QStringLiteral("type"))
        QTest::keyClicks(field, input);
    else if (how == QStringLiteral("paste"))
        field->insert(input);
    else
        field->setText(input);

    QCOMPARE(field->text(), text);
    QCOMPARE(field->cursorPosition(), caret);
    const QList<DialogRequest> shown = messages(QStringLiteral("Ввод числа"));
    QCOMPARE(shown.size(), errors);
    QCOMPARE(m_messages.size(), errors);
    if (errors > 0) {
        QCOMPARE(shown.first().text, kBadNumber);
        QCOMPARE(shown.first().icon, QMessageBox::Critical);
        QCOMPARE(QApplication::focusWidget(), field);
    }
}

// The read dialog resolves the typed address to the node table's last slot of it,
// each time; an address the table does not hold leaves the grid empty.
void TestSetpointDialogs::readDialog_data()
{
    QTest::addColumn<QString>("sensor");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QStringList>("values"); // empty: an empty grid

    QTest::newRow("typed address") << "9" << "4" << QStringList{"12,5000", "0,0020", "-0,5000", "-1234,5670"};
    QTest::newRow("address held twice: its last slot") << "7" << "4" << QStringList{"3,0000", "0,0000", "0,0000", "0,0000"};
    QTest::newRow("channel 12") << "9" << "12" << QStringList{"0,0010", "0,0000", "0,0000", "0,0000"};
    QTest::newRow("address after the first empty slot") << "11" << "4" << QStringList{};
    QTest::newRow("address not in the table") << "42" << "4" << QStringList{};
    QTest::newRow("not a number") << "x" << "4" << QStringList{};
}

void TestSetpointDialogs::readDialog()
{
    QFETCH(QString, sensor);
    QFETCH(QString, channel);
    QFETCH(QStringList, values);

    reset_node_table_state();
    putAddressesWithAGap();
    arr_nodes[2].setup[4] = Tarr_setup{.nu = -1234567, .vu = 12500, .gis_nu = -500, .gis_vu = 2};
    arr_nodes[2].setup[12].vu = 1;
    arr_nodes[1].setup[4].vu = 999;
    arr_nodes[3].setup[4].vu = 3000;
    arr_nodes[5].setup[4].vu = 5000;

    Tfrm_read_ustav read(m_sim->station());
    read.show();
    // Something shown first, so that an empty grid is one the dialog emptied.
    read.cmb_chanel->setCurrentIndex(read.cmb_chanel->findText(QStringLiteral("1")));
    typeInto(read.cmb_sensor, QStringLiteral("9"));
    QCOMPARE(column(read.StrGrid, 0), kRowLabels);

    typeInto(read.cmb_sensor, sensor);
    read.cmb_chanel->setCurrentIndex(read.cmb_chanel->findText(channel));
    if (values.isEmpty()) {
        QCOMPARE(column(read.StrGrid, 0), QStringList(4, QString()));
        QCOMPARE(column(read.StrGrid, 1), QStringList(4, QString()));
    } else {
        QCOMPARE(column(read.StrGrid, 0), kRowLabels);
        QCOMPARE(column(read.StrGrid, 1), values);
    }
}

// The node list is the table's nodes up to the first empty slot as the dialog opened;
// "Обновить" shows the table as it is now, and does nothing without a node and a channel.
void TestSetpointDialogs::readDialogList()
{
    reset_node_table_state();
    {
        Tfrm_read_ustav empty(m_sim->station());
        QCOMPARE(empty.cmb_sensor->count(), 0);
        empty.cmb_chanel->setCurrentIndex(2);
        QTest::mouseClick(empty.BitBtn1, Qt::LeftButton);
        QCOMPARE(column(empty.StrGrid, 1), QStringList(4, QString()));
    }

    putAddressesWithAGap();
    Tfrm_read_ustav read(m_sim->station());
    read.show();
    arr_nodes[4].address = 13;
    QStringList listed;
    for (int i = 0; i < read.cmb_sensor->count(); ++i)
        listed << read.cmb_sensor->itemText(i);
    QCOMPARE(listed, (QStringList{"7", "9", "7"}));
    QCOMPARE(read.cmb_sensor->currentText(), QString());
    QCOMPARE(read.cmb_chanel->currentText(), QString());

    // A node without a channel shows nothing yet.
    read.cmb_sensor->setCurrentIndex(1);
    QCOMPARE(column(read.StrGrid, 1), QStringList(4, QString()));
    read.cmb_chanel->setCurrentIndex(5);
    QCOMPARE(column(read.StrGrid, 1).first(), QStringLiteral("0,0000"));
    arr_nodes[2].setup[6].vu = 42000;
    QCOMPARE(column(read.StrGrid, 1).first(), QStringLiteral("0,0000"));
    QTest::mouseClick(read.BitBtn1, Qt::LeftButton);
    QCOMPARE(column(read.StrGrid, 1).first(), QStringLiteral("42,0000"));
}

// Inside the main window's multi-document frame, every way of closing a dialog
// takes its sub-window with it.
void TestSetpointDialogs::closing_data()
{
    QTest::addColumn<bool>("readDialog");
    QTest::addColumn<QString>("how");
    for (const bool read : {false, true}) {
        const char *name = read ? "read" : "write";
        QTest::addRow("%s, Закрыть", name) << read << "button";
        QTest::addRow("%s, Esc", name) << read << "escape";
        QTest::addRow("%s, close box", name) << read << "frame";
    }
    QTest::addRow("write, after a confirmed write") << false << "write";
}

void TestSetpointDialogs::closing()
{
    QFETCH(bool, readDialog);
    QFETCH(QString, how);

    QMdiArea area;
    area.resize(800, 600);
    area.show();
    QDialog *dialog = readDialog ? static_cast<QDialog *>(new Tfrm_read_ustav(m_sim->station()))
                                 : new Tfrm_record(m_sim->station(), nullptr, 7, 3);
    QPointer<QDialog> guarded(dialog);
    QPointer<QMdiSubWindow> sub = area.addSubWindow(dialog);
    sub->show();
    QVERIFY(QTest::qWaitForWindowExposed(&area));

    auto *closeButton = dialog->findChild<QPushButton *>(QStringLiteral("BitBtn2"));
    if (how == QStringLiteral("button")) {
        QTest::mouseClick(closeButton, Qt::LeftButton);
    } else if (how == QStringLiteral("escape")) {
        QTest::keyClick(dialog, Qt::Key_Escape);
    } else if (how == QStringLiteral("frame")) {
        sub->close();
    } else {
        auto *write = static_cast<Tfrm_record *>(dialog);
        write->cmb_operation->setCurrentIndex(1);
        write->txt_value->setText(QStringLiteral("4"));
        QTest::mouseClick(write->BitBtn1, Qt::LeftButton);
    }
    QVERIFY(waitUntil([&] { return guarded.isNull() && sub.isNull(); }, 5000));
    QVERIFY(area.subWindowList().isEmpty());
}

QTEST_MAIN(TestSetpointDialogs)
#include "test_setpoint_dialogs.moc"
