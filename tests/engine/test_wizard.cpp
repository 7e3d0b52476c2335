// The debugging wizard without its window: the frames it composes byte for byte,
// the numbers and frame texts it refuses (nothing goes on the line), and against
// the simulated line its scan lists, its sends and their answers, a scan beside
// polling, a port that fails and a release in the middle of a scan or a send.
#include "tests/fixtures/station_fixture.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "engine/polling.h"
#include "engine/station.h"
#include "engine/wizard.h"
#include "line/unit_protocol.h"

#include <QPointer>
#include <QSignalSpy>

#include <optional>

using namespace qlx;
using namespace qlx::testing;

Q_DECLARE_METATYPE(qlx::WizardPage)

namespace {

constexpr int kBaud = 19200;

// What a command of the wizard writes into its frame field, by the command's name:
// "03", "01" and "10" compose from the fields, "08:<diag>" composes a fixed
// diagnostic from the first field, "crc" appends check bytes to the first field.
std::optional<QString> command(const QString &name, const QStringList &f)
{
    const auto at = [&f](int i) { return i < f.size() ? f.at(i) : QString(); };
    if (name == QLatin1String("03"))
        return compose_read_text(WizardPage::F03, at(0), at(1), at(2));
    if (name == QLatin1String("01"))
        return compose_read_text(WizardPage::F01, at(0), at(1), at(2));
    if (name == QLatin1String("10"))
        return compose_write_text(at(0), at(1), at(2), at(3), at(4), at(5));
    if (name == QLatin1String("08:return"))
        return compose_diag_text(WizardDiag::ReturnQuery, at(0));
    if (name == QLatin1String("08:register"))
        return compose_diag_text(WizardDiag::DiagRegister, at(0));
    if (name == QLatin1String("08:restart"))
        return compose_diag_text(WizardDiag::Restart, at(0));
    if (name == QLatin1String("08:listen"))
        return compose_diag_text(WizardDiag::ListenOnly, at(0));
    if (name == QLatin1String("crc"))
        return with_crc_text(at(0));
    qFatal("unknown command");
}

// A line at 19200 baud whose exchanges end as soon as their answer is in; only a silent
// address waits the answer wait out. The answer must be on the wire within the wait:
// 25 ms suit the short answers of a scan, a 29-byte answer takes 17 ms alone.
struct WizardLine : SimLine {
    bool start(const QList<int> &addresses, const std::function<void(sim::NodeConfig &)> &configure = {},
               int answerWaitMs = 25)
    {
        if (!open(answerWaitMs, kBaud))
            return false;
        line->setFastSpeed(true);
        for (const int a : addresses)
            addStillNode(a, configure);
        return true;
    }
};

QStringList nodeListTexts(Station &station)
{
    QStringList texts;
    for (int i = 0; i < station.nodeList().count(); ++i)
        texts << station.nodeList().text(i);
    return texts;
}

} // namespace

class TestWizard : public QObject {
    Q_OBJECT
private slots:
    void init() { reset_node_table_state(); }

    // The frames of the commands, byte for byte, with their check bytes where the
    // command adds them.
    void composedFrames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("frame");
        QTest::newRow("03: node 1, start 0, count 2") << "03" << QStringList{"1", "0", "2"} << "010300000002C40B";
        QTest::newRow("01: node 1, start 0, count 2") << "01" << QStringList{"1", "0", "2"} << "010100000002BDCB";
        QTest::newRow("03: the largest numbers") << "03" << QStringList{"255", "65535", "65535"} << "FF03FFFFFFFF5180";
        QTest::newRow("08: return query data") << "08:return" << QStringList{"1"} << "01080000182BAA14";
        QTest::newRow("08: listen-only mode") << "08:listen" << QStringList{"1"} << "010800040000A1CA";
        QTest::newRow("08: restart of node 255") << "08:restart" << QStringList{"255"} << "FF0800010000A415";
        QTest::newRow("08: broadcast listen-only") << "08:listen" << QStringList{"0"} << "000800040000A01B";
        QTest::newRow("10: 123456 into registers 8 and 9")
            << "10" << QStringList{"1", "8", "2", "4", "57920", "1"} << "01100008000204E2400001";
        QTest::newRow("CRC after the write") << "crc" << QStringList{"01100008000204E2400001"}
                                             << "01100008000204E24000010465";
        // The checksum of a frame that ends with its own checksum is 0.
        QTest::newRow("CRC pressed twice covers the first pair")
            << "crc" << QStringList{"010300000002C40B"} << "010300000002C40B0000";
    }
    void composedFrames()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, fields);
        QFETCH(QString, frame);
        const std::optional<QString> text = command(name, fields);
        QVERIFY(text);
        QCOMPARE(*text, frame);
    }

    void byteCountFollowsTheRegisterCount()
    {
        QCOMPARE(byte_count_text(QStringLiteral("2")), QStringLiteral("4"));
        QCOMPARE(byte_count_text(QStringLiteral("65535")), QStringLiteral("131070"));
        // While the operator types something that is no count yet, the byte count stays.
        for (const QString &typing : {QString(), QStringLiteral("-"), QStringLiteral("1x"), QStringLiteral("65536")})
            QVERIFY2(!byte_count_text(typing), qPrintable(typing));
    }

    // A command whose start or count (or address, on page 08Н) is empty does nothing,
    // and so does a command on an empty frame text.
    void emptyFieldsDoNothing()
    {
        QVERIFY(!command("03", {"1", "", "2"}));
        QVERIFY(!command("01", {"1", "0", ""}));
        QVERIFY(!command("10", {"1", "", "2", "4", "1", "1"}));
        QVERIFY(!command("08:return", {""}));
        QVERIFY(!command("crc", {""}));
        QVERIFY(!wizard_request(WizardPage::F03, QString()));
        QVERIFY(!wizard_request(WizardPage::F10, QString()));
    }

    // Every refused number or frame text raises the conversion error in the operator's
    // words and composes nothing; a refused send puts nothing on the line.
    void refusedInputs_data()
    {
        QTest::addColumn<QString>("name"); // a command, or "send 03" .. "send 10"
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("address above 255") << "03" << QStringList{"256", "0", "2"};
        QTest::newRow("negative address") << "08:restart" << QStringList{"-1"};
        QTest::newRow("address not a number") << "01" << QStringList{"8a", "0", "2"};
        QTest::newRow("address empty") << "03" << QStringList{"", "0", "2"};
        QTest::newRow("register above 65535") << "03" << QStringList{"1", "65536", "2"};
        QTest::newRow("count above 65535") << "01" << QStringList{"1", "0", "70000"};
        QTest::newRow("count beyond 32 bits") << "01" << QStringList{"1", "0", "99999999999"};
        QTest::newRow("byte count above 255") << "10" << QStringList{"1", "8", "200", "400", "1", "1"};
        QTest::newRow("value above 65535") << "10" << QStringList{"1", "8", "2", "4", "123456", "0"};
        QTest::newRow("value empty") << "10" << QStringList{"1", "8", "2", "4", "1", ""};
        QTest::newRow("CRC on an odd number of digits") << "crc" << QStringList{"0103000000020"};
        QTest::newRow("CRC on a text that is not hex") << "crc" << QStringList{"0103G0000002"};
        QTest::newRow("send 03 shorter than eight bytes") << "send 03" << QStringList{"010300000002C40"};
        QTest::newRow("send 01 not hex") << "send 01" << QStringList{"0101000000X2BDCB"};
        QTest::newRow("send 08 without a byte") << "send 08" << QStringList{"7"};
        QTest::newRow("send 10 not hex") << "send 10" << QStringList{"01 10"};
    }
    void refusedInputs()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, fields);
        WizardLine l;
        QVERIFY(l.start({1}));
        Wizard wizard(*l.line);
        QString message;
        try {
            if (name.startsWith(QLatin1String("send "))) {
                static const QMap<QString, WizardPage> pages = {{"send 03", WizardPage::F03},
                                                                {"send 01", WizardPage::F01},
                                                                {"send 08", WizardPage::F08},
                                                                {"send 10", WizardPage::F10}};
                wizard.send(pages.value(name), fields.first());
            } else {
                command(name, fields);
            }
            QFAIL("the input was taken");
        } catch (const WizardInputError &e) {
            message = QString::fromUtf8(e.what());
        }
        QVERIFY2(message.startsWith(QStringLiteral("Ошибка преобразования: '")), qPrintable(message));
        // A send that had begun would hold the line now, before any event ran.
        QCOMPARE(wizard.sendsPending(), 0);
        QVERIFY(!l.line->busy());
        QCOMPARE(l.line->statistics().exchanges, 0u);
    }

    // The bytes "Отправить" takes from a frame text, and how much of the answer it reads.
    void requestsAndAnswerCaps_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("cap");
        QTest::newRow("03: the first eight bytes of a longer text")
            << int(WizardPage::F03) << "010300000002C40BFFFF" << QByteArray::fromHex("010300000002C40B") << 10;
        QTest::newRow("03 of 12 registers: the whole 29-byte answer")
            << int(WizardPage::F03) << "08030000000C4556" << QByteArray::fromHex("08030000000C4556") << 29;
        QTest::newRow("03 of 65535 registers: no more than a frame can hold")
            << int(WizardPage::F03) << "00030000FFFF45AB" << QByteArray::fromHex("00030000FFFF45AB") << 256;
        QTest::newRow("08: every complete pair, lowercase taken")
            << int(WizardPage::F08) << "01080000182baa14" << QByteArray::fromHex("01080000182BAA14") << 10;
        QTest::newRow("10: a trailing odd digit is left out")
            << int(WizardPage::F10) << "01100008000204E240000104651"
            << QByteArray::fromHex("01100008000204E24000010465") << 10;
        QTest::newRow("01: an answer of unknown length is read up to a whole frame")
            << int(WizardPage::F01) << "010100000002BDCB" << QByteArray::fromHex("010100000002BDCB") << 256;
    }
    void requestsAndAnswerCaps()
    {
        QFETCH(int, page);
        QFETCH(QString, text);
        QFETCH(QByteArray, request);
        QFETCH(int, cap);
        const std::optional<QByteArray> bytes = wizard_request(WizardPage(page), text);
        QVERIFY(bytes);
        QCOMPARE(*bytes, request);
        QCOMPARE(wizard_answer_cap(*bytes), cap);
    }

    // The wizard's scan lists every address that answers, however many, and every silent
    // one; it leaves the station's node table, node list, count and result word alone.
    void scanListsFoundAndSilent()
    {
        WizardLine l;
        QList<int> nodes;
        for (int a = 1; a <= 24; ++a)
            nodes << a;
        nodes << 40 << 200;
        // Node 40 answers with another address and a wrong checksum: it answers all the same.
        QVERIFY(l.start(nodes, [](sim::NodeConfig &c) {
            if (c.address == 40) {
                c.faults.foreignAddress = 41;
                c.faults.badCrc = 1;
            }
        }));
        found_count = 1;
        arr_nodes[1].address = 77;
        last_result = QStringLiteral("kept");
        Wizard wizard(*l.line);
        QSignalSpy positions(&wizard, &Wizard::positionChanged);
        run(wizard.scan());

        QCOMPARE(wizard.foundCount(), 26);
        QCOMPARE(wizard.foundLines().first(), QStringLiteral("Кворлекс - 1 - 1"));
        QCOMPARE(wizard.foundLines().at(24), QStringLiteral("Кворлекс - 25 - 40"));
        QCOMPARE(wizard.foundLines().last(), QStringLiteral("Кворлекс - 26 - 200"));
        QCOMPARE(wizard.silentLines().size(), 255 - 26);
        QCOMPARE(wizard.silentLines().first(), QStringLiteral("25 - Time Out Expired"));
        QCOMPARE(wizard.silentLines().last(), QStringLiteral("255 - Time Out Expired"));
        QCOMPARE(wizard.scanMessage(), QStringLiteral("Time Out Expired"));
        QCOMPARE(positions.size(), 255);
        QCOMPARE(positions.last().first().toInt(), 255);
        QVERIFY(!wizard.scanning());
        // The list click: entry k is row k - 1; no row, no address.
        QCOMPARE(wizard.foundAddressText(25), QStringLiteral("200"));
        QVERIFY(!wizard.foundAddressText(-1));
        QVERIFY(!wizard.foundAddressText(26));

        QCOMPARE(found_count, 1);
        QCOMPARE(arr_nodes[1].address, 77);
        QCOMPARE(arr_nodes[2].address, 0);
        QCOMPARE(last_result, QStringLiteral("kept"));
        QCOMPARE(VrProgressBar().position(), 0);
    }

    // "Отправить" sends the frame as it stands and shows the whole answer: its hex text,
    // or "Time Out".
    void sendsAndAnswers_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("head"); // what the answer begins with; empty: "Time Out"
        QTest::addColumn<int>("length");   // answer bytes
        QTest::newRow("03: two registers") << int(WizardPage::F03) << "080300000002C492" << "080304" << 9;
        QTest::newRow("03: twelve registers, longer than ten bytes")
            << int(WizardPage::F03) << "08030000000C4556" << "080318" << 29;
        QTest::newRow("08: the echo of return query data")
            << int(WizardPage::F08) << "08080000182BAA8D" << "08080000182BAA8D" << 8;
        QTest::newRow("08: odd text, complete pairs sent")
            << int(WizardPage::F08) << "08080000182BAA8D0" << "08080000182BAA8D" << 8;
        QTest::newRow("10: 123456 into registers 8 and 9")
            << int(WizardPage::F10) << "08100008000204E24000012AF9" << "081000080002" << 8;
        QTest::newRow("01: answered with an exception") << int(WizardPage::F01) << "080100000002BD52" << "0881" << 5;
        QTest::newRow("03: a silent node") << int(WizardPage::F03) << "090300000002C543" << "" << 0;
    }
    void sendsAndAnswers()
    {
        QFETCH(int, page);
        QFETCH(QString, frame);
        QFETCH(QString, head);
        QFETCH(int, length);
        WizardLine l;
        QVERIFY(l.start({8}, {}, 200));
        l.sim.node(8)->setReg32(8, 0);
        Wizard wizard(*l.line);
        QSignalSpy answers(&wizard, &Wizard::answered);
        QVERIFY(wizard.send(WizardPage(page), frame));
        QVERIFY(waitUntil([&] { return !answers.isEmpty(); }, 30000));
        QCOMPARE(answers.first().at(0).value<WizardPage>(), WizardPage(page));
        const QString answer = answers.first().at(1).toString();

        QCOMPARE(l.sim.frames().size(), 1);
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex(frame.left(frame.size() / 2 * 2).toLatin1()));
        if (length == 0) {
            QCOMPARE(answer, QStringLiteral("Time Out"));
            return;
        }
        QVERIFY2(answer.startsWith(head), qPrintable(answer));
        const QByteArray bytes = hex_to_bytes(answer);
        QCOMPARE(bytes.size(), length);
        QVERIFY(crc_ok(bytes));
        if (head == QLatin1String("080304")) {
            const sim::Node *node = l.sim.node(8);
            QCOMPARE(bytes.mid(3, 4), QByteArray::fromHex(QStringLiteral("%1%2")
                                                              .arg(node->reg(0), 4, 16, QLatin1Char('0'))
                                                              .arg(node->reg(1), 4, 16, QLatin1Char('0'))
                                                              .toLatin1()));
        }
        if (head == QLatin1String("081000080002"))
            QCOMPARE(l.sim.node(8)->reg32(8), 123456);
    }

    // A wizard scan while polling runs: the exchanges take turns on the line, the node
    // table and node list stay as the main scan left them, and polling records only
    // values its nodes served.
    void scanBesidePolling()
    {
        SimStation l;
        QVERIFY(l.open(kBaud, 40));
        l.station().line().setFastSpeed(true);
        l.putNodes({2, 3});
        const QStringList listBefore = nodeListTexts(l.station());
        l.polling().setInterval(200);
        std::optional<QCoro::Task<void>> runTask;
        runTask.emplace(l.polling().mnu_refreshClick());

        Wizard wizard(l.station().line());
        QVERIFY(wizard.startScan());
        QVERIFY(!wizard.startScan()); // one scan at a time
        QVERIFY(waitUntil([&] { return !wizard.scanning(); }, 600000));
        l.polling().stop();
        run(std::move(*runTask));

        QCOMPARE(wizard.foundLines(), (QStringList{QStringLiteral("Кворлекс - 1 - 2"), QStringLiteral("Кворлекс - 2 - 3")}));
        QCOMPARE(wizard.silentLines().size(), 253);
        QCOMPARE(found_count, 2);
        QCOMPARE(arr_nodes[1].address, 2);
        QCOMPARE(arr_nodes[2].address, 3);
        QCOMPARE(arr_nodes[3].address, 0);
        QCOMPARE(nodeListTexts(l.station()), listBefore);

        const RowProbe probe = l.probe();
        QVERIFY(!probe.valueRows(2).isEmpty());
        QVERIFY(!probe.valueRows(3).isEmpty());
        QCOMPARE(probe.valueRows().size(), probe.valueRows(2).size() + probe.valueRows(3).size());
        const QString unserved = unservedValues(probe, l.sim);
        QVERIFY2(unserved.isEmpty(), qPrintable(unserved));
    }

    // A port that fails ends the scan with its text as the message, the lists kept; a send
    // on it reports the failure instead of an answer.
    void portErrorEndsTheScan()
    {
        WizardLine l;
        QVERIFY(l.start({2, 3}));
        Wizard wizard(*l.line);
        connect(&wizard, &Wizard::positionChanged, this, [&](int a) {
            if (a == 5)
                l.port.close();
        });
        run(wizard.scan());
        QVERIFY(!wizard.scanning());
        QCOMPARE(wizard.position(), 5);
        QCOMPARE(wizard.foundLines(), (QStringList{QStringLiteral("Кворлекс - 1 - 2"), QStringLiteral("Кворлекс - 2 - 3")}));
        QCOMPARE(wizard.silentLines(), (QStringList{QStringLiteral("1 - Time Out Expired"), QStringLiteral("4 - Time Out Expired"),
                                                    QStringLiteral("5 - Time Out Expired")}));
        QVERIFY2(wizard.scanMessage().contains(QStringLiteral("порт не открыт")), qPrintable(wizard.scanMessage()));

        QSignalSpy failures(&wizard, &Wizard::sendFailed);
        QSignalSpy answers(&wizard, &Wizard::answered);
        QVERIFY(wizard.send(WizardPage::F03, QStringLiteral("020300000002C438")));
        QVERIFY(waitUntil([&] { return !failures.isEmpty(); }, 30000));
        QVERIFY(failures.first().at(1).toString().contains(QStringLiteral("порт не открыт")));
        QVERIFY(answers.isEmpty());
    }

    // Released in the middle of a scan (its window closed), the wizard stops after the
    // address in progress and goes; released with a send on its way, it drops the answer.
    void releasedDuringScanAndSend()
    {
        WizardLine l;
        QVERIFY(l.start({2}));
        QPointer<Wizard> wizard = new Wizard(*l.line);
        QSignalSpy finished(wizard.data(), &Wizard::scanFinished);
        QVERIFY(wizard->startScan());
        QVERIFY(waitUntil([&] { return wizard->position() >= 3; }, 30000));
        wizard->release();
        const int probed = wizard->position();
        QVERIFY(!wizard->startScan());
        QVERIFY(waitUntil([&] { return wizard.isNull(); }, 30000));
        QCOMPARE(finished.size(), 1);
        // The address in progress was the last one asked.
        QVERIFY2(l.sim.frames().size() <= probed + 1, qPrintable(QString::number(l.sim.frames().size())));
        QVERIFY(!l.line->busy());

        QPointer<Wizard> sender = new Wizard(*l.line);
        QSignalSpy answers(sender.data(), &Wizard::answered);
        QVERIFY(sender->send(WizardPage::F03, QStringLiteral("090300000002C543"))); // nobody at 9
        sender->release();
        QVERIFY(!sender.isNull()); // it waits for its exchange
        QVERIFY(waitUntil([&] { return sender.isNull(); }, 30000));
        QVERIFY(answers.isEmpty());
        QVERIFY(!l.line->busy());
    }
};

QTEST_GUILESS_MAIN(TestWizard)
#include "test_wizard.moc"
