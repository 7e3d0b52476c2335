// The transaction layer against the simulated line on a real pseudo-terminal.
#include "tests/fixtures/sim_fixture.h"

#include "base/unit_crc.h"
#include "line/unit_protocol.h"

#include <QSignalSpy>

#include <functional>
#include <memory>
#include <optional>

using namespace qlx;
using namespace qlx::testing;

namespace {

constexpr int kWait = 60; // the answer wait of the late-answer cases, ms

// Starts `start` once, when the simulator has taken in the next frame: the
// exchange that sent it is then in its answer wait.
void onceHeard(sim::LineSimulator &sim, QObject *context, std::function<void()> start)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(&sim, &sim::LineSimulator::frameReceived, context, [connection, start] {
        QObject::disconnect(*connection);
        start();
    });
}

// A read of one raw code that the node answers with `raw`: its value, or nothing
// with the word in last_result.
std::optional<int> readRaw(Transaction &line, int address, int channel)
{
    const auto data = run(Read_registers(line, address, 191 + channel, 1));
    return data ? std::optional<int>(regs_to_int32(*data)) : std::nullopt;
}

// Every byte the simulator handed to the station is accounted for: returned in an
// answer, dropped ahead of one, discarded, or still queued at the port.
struct ByteLedger {
    quint64 delivered = 0;
    quint64 returned = 0;
    ByteLedger(SimLine &l, QObject *context)
    {
        QObject::connect(&l.sim, &sim::LineSimulator::delivered, context,
                         [this](const QByteArray &bytes) { delivered += quint64(bytes.size()); });
        QObject::connect(l.line.get(), &Transaction::exchanged, context,
                         [this](const QByteArray &, const QByteArray &answer) { returned += quint64(answer.size()); });
    }
    static quint64 accounted(SimLine &l, quint64 returned)
    {
        const LineStatistics &s = l.line->statistics();
        return returned + s.droppedBytes + s.discardedBytes + quint64(l.port.queuedBytes());
    }
};

} // namespace

class TestTransaction : public QObject {
    Q_OBJECT
private slots:
    // After a silent exchange the line stays quiet for the longest answer the request
    // could have had, but no answer is longer than a frame: a hand-made read of 65535
    // registers must not hold the line for minutes.
    void quietAfterSilenceIsBoundedByAFrame()
    {
        SimLine l;
        QVERIFY(l.open(100, 9600));
        const auto read = [](int count) {
            QByteArray r("\x08\x03\x00\x00", 4);
            r.append(char(count >> 8)).append(char(count & 0xFF));
            return append_crc(r);
        };
        const qint64 two = l.line->quietMicros(read(2), 10);
        const qint64 hundred = l.line->quietMicros(read(100), 10);
        const qint64 frame = l.line->quietMicros(read(126), 10); // 257 bytes asked: a frame's worth
        QVERIFY(two < hundred);
        QVERIFY(hundred < frame);
        QCOMPARE(l.line->quietMicros(read(65535), 10), frame);
        QCOMPARE(l.line->quietMicros(read(2), 100000), frame);
    }

    void fixedWaitWithoutFastSpeed_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("answerBytes");
        QTest::newRow("node answers") << 5 << 9;
        QTest::newRow("nobody at the address") << 6 << 0;
    }
    void fixedWaitWithoutFastSpeed()
    {
        QFETCH(int, address);
        SimLine l;
        QVERIFY(l.open(120));
        l.addStillNode(5);
        QElapsedTimer t;
        t.start();
        const QByteArray answer = run(l.line->Timed_exchange(Build_read_request(address, 0, 2), 10));
        QVERIFY(t.elapsed() >= 120); // the whole wait, answer or not
        QTEST(int(answer.size()), "answerBytes");
        QCOMPARE(l.line->statistics().earlyEnds, 0u);
        if (!answer.isEmpty())
            QVERIFY(crc_ok(answer));
    }

    void capLeavesTheRestToBeDiscarded()
    {
        SimLine l;
        QVERIFY(l.open(60));
        l.addStillNode(5);
        const QByteArray head = run(l.line->Timed_exchange(Build_read_request(5, 0, 2), 5));
        QCOMPARE(head.size(), 5);
        const QByteArray next = run(l.line->Timed_exchange(Build_read_request(5, 204, 1), 10));
        QCOMPARE(next.size(), 7); // only its own answer
        QCOMPARE(quint8(next[0]), quint8(5));
        QCOMPARE(l.line->statistics().discardedBytes, 4u);
    }

    void sendReadComRetries_data()
    {
        QTest::addColumn<int>("goodFrom"); // answer number from which the CRC is right; 0 never
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("sends");
        QTest::addColumn<bool>("answered");
        QTest::newRow("silent node: one send") << 0 << true << 1 << false;
        QTest::newRow("always bad CRC: six sends") << 0 << false << 6 << false;
        QTest::newRow("bad then good: two sends") << 2 << false << 2 << true;
        QTest::newRow("good at once") << 1 << false << 1 << true;
    }
    void sendReadComRetries()
    {
        QFETCH(int, goodFrom);
        QFETCH(bool, silent);
        SimLine l;
        QVERIFY(l.open(50));
        sim::Node *node = l.addStillNode(9);
        node->faults().silent = silent;
        node->faults().badCrc = goodFrom == 1 ? 0.0 : 1.0;
        int answers = 0;
        connect(&l.sim, &sim::LineSimulator::answerSent, this, [&] {
            if (++answers + 1 >= goodFrom && goodFrom > 0)
                node->faults().badCrc = 0.0;
        });
        const QByteArray request = Build_diag_request(9, 0, 0x182B);
        const QByteArray answer = run(l.line->SendReadCom(request));
        QTEST(l.framesStartingWith(request.left(2)), "sends");
        QTEST(!answer.isEmpty(), "answered");
        if (!answer.isEmpty())
            QCOMPARE(answer, request); // the echo
        QCOMPARE(retry_count, 0);
    }

    void lateAnswerIsDiscarded()
    {
        SimLine l;
        QVERIFY(l.open(80));
        sim::Node *node = l.addStillNode(5);
        node->faults().lateMs = 150;
        QSignalSpy late(&l.sim, &sim::LineSimulator::answerSent);
        QCOMPARE(run(l.line->Timed_exchange(Build_read_request(5, 192, 1), 10)), QByteArray());
        QVERIFY(late.wait(30000)); // the answer comes after the wait was over
        const QByteArray lateAnswer = late.first().first().toByteArray();
        node->faults().lateMs = 0;

        // The next request must get its own answer, not the one still queued.
        node->setRaw(2, 4321);
        const auto data = run(Read_registers(*l.line, 5, 193, 1));
        QVERIFY(data.has_value());
        QCOMPARE(regs_to_int32(*data), 4321);
        QCOMPARE(l.line->statistics().discardedBytes, quint64(lateAnswer.size()));
    }

    void answerSlightlyLaterThanTheWait()
    {
        // At 1200 baud a one-register answer needs about 172 ms of line time; the node adds
        // 33 ms more, so its answer lands just after a 200 ms wait, inside the next exchange.
        SimLine l;
        QVERIFY(l.open(200, 1200));
        sim::Node *node = l.addStillNode(5);
        node->faults().lateMs = 33;
        node->setRaw(1, 1111);
        node->setRaw(2, 2222);
        node->setRaw(3, 3333);
        for (int c = 1; c <= 3; ++c) {
            const auto data = run(Read_registers(*l.line, 5, 191 + c, 1));
            if (data) // never another channel's value
                QCOMPARE(regs_to_int32(*data), c * 1111);
        }
        QVERIFY(l.line->statistics().discardedBytes > 0);
    }

    void concurrentExchangesAreQueued()
    {
        SimLine l;
        QVERIFY(l.open(100));
        sim::Node *node = l.addStillNode(5);
        node->setRaw(1, 1111);
        node->setRaw(2, 2222);
        // B is asked while A waits for its answer (the node has A's request); it must
        // run after A, and each gets its own answer.
        std::optional<QCoro::Task<QByteArray>> b;
        bool aWaiting = false;
        onceHeard(l.sim, this, [&] {
            aWaiting = l.line->busy();
            b.emplace(l.line->Timed_exchange(Build_read_request(5, 193, 1), 10));
        });
        auto a = l.line->Timed_exchange(Build_read_request(5, 192, 1), 10);
        QTRY_VERIFY_WITH_TIMEOUT(b.has_value(), 30000);
        QVERIFY(aWaiting);
        const QByteArray answerB = run(std::move(*b));
        const QByteArray answerA = run(std::move(a));
        QCOMPARE(regs_to_int32(answerA.mid(3, 2)), 1111);
        QCOMPARE(regs_to_int32(answerB.mid(3, 2)), 2222);
        const auto &frames = l.sim.frames();
        QCOMPARE(frames.size(), 2);
        QVERIFY(frames[1].atMs - frames[0].atMs >= 100); // B went out only after A's whole wait
        QVERIFY(!l.line->busy());
    }

    void nestedExchangeFromInsideAWait()
    {
        SimLine l;
        QVERIFY(l.open(60));
        l.addStillNode(5);
        l.addStillNode(6);
        // A command given while an exchange waits (as a menu click would) runs its own
        // exchange; both finish without a deadlock.
        QByteArray inner;
        auto nested = [&]() -> QCoro::Task<void> { inner = co_await l.line->Timed_exchange(Build_identify(6), 13); };
        std::optional<QCoro::Task<void>> innerTask;
        onceHeard(l.sim, this, [&] { innerTask.emplace(nested()); });
        const QByteArray outer = run(l.line->Timed_exchange(Build_identify(5), 13));
        QVERIFY(innerTask.has_value());
        QCOMPARE(quint8(outer[0]), quint8(5));
        run(std::move(*innerTask));
        QCOMPARE(quint8(inner[0]), quint8(6));
    }

    void fastSpeedEndsOnCompleteAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("cap");
        QTest::addColumn<int>("length");
        QTest::newRow("read two registers") << Build_read_request(5, 0, 2) << 10 << 9;
        QTest::newRow("identify") << Build_identify(5) << 13 << 12;
        QTest::newRow("write echo") << Build_write_request(5, 8, 2, 1500) << 10 << 8;
        QTest::newRow("exception answer") << Build_read_request(5, 300, 1) << 10 << 5;
        QTest::newRow("cap reached first") << Build_read_request(5, 0, 2) << 4 << 4;
    }
    void fastSpeedEndsOnCompleteAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, cap);
        SimLine l;
        QVERIFY(l.open(3000));
        l.addStillNode(5);
        l.line->setFastSpeed(true);
        const QByteArray answer = run(l.line->Timed_exchange(request, cap));
        QTEST(int(answer.size()), "length");
        QCOMPARE(l.line->statistics().earlyEnds, 1u);
    }

    void fastSpeedStillWaitsForSilenceAndTimeouts()
    {
        SimLine l;
        QVERIFY(l.open(70));
        l.addStillNode(5);
        l.line->setFastSpeed(true);
        QElapsedTimer t;
        t.start();
        QCOMPARE(run(l.line->Timed_exchange(Build_identify(77), 13)), QByteArray());
        QVERIFY(t.elapsed() >= 70); // nothing came: the full wait
        QList<qint64> answersAtNs;
        connect(&l.sim, &sim::LineSimulator::answerSent, this, [&] { answersAtNs << l.sim.elapsedNs(); });
        run(l.line->Timed_exchange(Build_read_request(5, 0, 1), 10));
        run(l.line->Timed_exchange(Build_read_request(5, 1, 1), 10));
        // The next request left at least 3.5 characters after the previous answer ended.
        QCOMPARE(answersAtNs.size(), 2);
        const qint64 gapNs = l.sim.frames().last().atMs * 1000000 - answersAtNs.first();
        const double charMs = l.sim.charTimeMs();
        QVERIFY2(gapNs >= qint64((3.5 * charMs - 1) * 1e6), qPrintable(QString::number(gapNs)));
        QCOMPARE(l.line->statistics().earlyEnds, 2u);
    }

    // A node that answers within a millisecond, its answer handed over at once or after
    // an adapter's latency timer: its answer is its exchange's, also right after an
    // address where nobody answered (the scan of a line, the first pass of polling).
    void instantAnswerIsTaken_data()
    {
        QTest::addColumn<bool>("fastSpeed");
        QTest::addColumn<int>("deliveryMs");
        QTest::addColumn<bool>("afterSilence");
        for (const bool fast : {false, true})
            for (const int delivery : {0, 16})
                for (const bool silence : {false, true})
                    QTest::addRow("%s, delivery %d ms%s", fast ? "FastSpeed" : "full wait", delivery,
                                  silence ? ", after a silent address" : "")
                        << fast << delivery << silence;
    }
    void instantAnswerIsTaken()
    {
        QFETCH(bool, fastSpeed);
        QFETCH(int, deliveryMs);
        QFETCH(bool, afterSilence);
        SimLine l;
        QVERIFY(l.open(60));
        l.sim.setWireTime(false);
        l.sim.setLatencyMs(0);
        l.sim.setDeliveryDelayMs(deliveryMs);
        l.line->setFastSpeed(fastSpeed);
        sim::Node *node = l.addStillNode(5);
        node->setRaw(1, 1234);
        if (afterSilence)
            QCOMPARE(run(l.line->Timed_exchange(Build_identify(6), kIdentifyCap)), QByteArray());
        QCOMPARE(readRaw(*l.line, 5, 1), std::optional<int>(1234));
        const QByteArray identity = run(l.line->Timed_exchange(Build_identify(5), kIdentifyCap));
        QVERIFY(crc_ok(identity));
        QCOMPARE(identity.left(2), QByteArray::fromHex("0511"));
        QCOMPARE(l.line->statistics().droppedBytes, 0u);
    }

    // What comes ahead of the answer in the same wait is not the answer: it is dropped
    // and counted, and the answer behind it is taken.
    void strayBytesAheadOfTheAnswerAreDropped_data()
    {
        QTest::addColumn<QByteArray>("leading");
        QTest::addColumn<bool>("extraAfter");
        QTest::addColumn<bool>("fastSpeed");
        const QList<std::pair<const char *, QByteArray>> strays{
            {"noise", QByteArray::fromHex("FF00137E")},
            {"a lone address byte", QByteArray::fromHex("05")},
            {"a frame of another node", append_crc(QByteArray::fromHex("0703020457"))},
            {"own address, another function", append_crc(QByteArray::fromHex("051000C00001"))},
            {"own address, exception of another function", append_crc(QByteArray::fromHex("059002"))},
            {"own answer with a broken checksum", QByteArray::fromHex("05030204D20000")},
        };
        for (const bool fast : {false, true}) {
            for (const auto &[name, bytes] : strays)
                QTest::addRow("%s, %s", name, fast ? "FastSpeed" : "full wait") << bytes << false << fast;
            QTest::addRow("noise ahead, a byte after, %s", fast ? "FastSpeed" : "full wait")
                << QByteArray::fromHex("A5") << true << fast;
        }
    }
    void strayBytesAheadOfTheAnswerAreDropped()
    {
        QFETCH(QByteArray, leading);
        QFETCH(bool, extraAfter);
        QFETCH(bool, fastSpeed);
        SimLine l;
        QVERIFY(l.open(80));
        l.line->setFastSpeed(fastSpeed);
        ByteLedger ledger(l, this);
        sim::Node *node = l.addStillNode(5);
        node->setRaw(1, 1234);
        node->setRaw(2, 2345);
        node->faults().leading = leading;
        node->faults().extraByte = extraAfter;
        QCOMPARE(readRaw(*l.line, 5, 1), std::optional<int>(1234));
        QCOMPARE(readRaw(*l.line, 5, 2), std::optional<int>(2345));
        QCOMPARE(l.line->statistics().droppedBytes, quint64(2 * leading.size()));
        QCOMPARE(l.line->statistics().unmatched, 0u);
        QTRY_COMPARE_WITH_TIMEOUT(ByteLedger::accounted(l, ledger.returned), ledger.delivered, 30000);
    }

    // A node answering later than the wait, by up to twice the wait: its answer never
    // goes to the next request, which asks the same node the same kind of question (the
    // answer would fit it in every way but its value). Each read gets its own value or
    // "Time Out", with FastSpeed on or off, with or without an adapter's latency timer,
    // with the wire modelled or answers as fast as the pty carries them.
    void lateAnswerNeverGoesToTheNextRequest_data()
    {
        QTest::addColumn<int>("lateMs");
        QTest::addColumn<bool>("fastSpeed");
        QTest::addColumn<int>("deliveryMs");
        QTest::addColumn<bool>("wireTime");
        for (const bool wire : {true, false})
            for (const int delivery : {0, 16})
                for (const bool fast : {false, true})
                    for (const int late : {1, kWait / 2, kWait + 1, 2 * kWait})
                        QTest::addRow("late %d ms, %s, delivery %d ms, %s", late, fast ? "FastSpeed" : "full wait",
                                      delivery, wire ? "wire time" : "no wire time")
                            << late << fast << delivery << wire;
    }
    void lateAnswerNeverGoesToTheNextRequest()
    {
        QFETCH(int, lateMs);
        QFETCH(bool, fastSpeed);
        QFETCH(int, deliveryMs);
        QFETCH(bool, wireTime);
        SimLine l;
        QVERIFY(l.open(kWait));
        l.sim.setWireTime(wireTime);
        l.sim.setDeliveryDelayMs(deliveryMs);
        l.line->setFastSpeed(fastSpeed);
        sim::Node *node = l.addStillNode(5);
        node->faults().lateMs = lateMs;
        for (int c = 1; c <= 3; ++c)
            node->setRaw(c, quint16(1111 * c));
        int answered = 0;
        for (int c = 1; c <= 3; ++c) {
            const std::optional<int> value = readRaw(*l.line, 5, c);
            if (value) {
                QCOMPARE(*value, 1111 * c); // never the channel asked before
                ++answered;
            } else {
                QCOMPARE(last_result, word::TimeOut);
            }
        }
        if (lateMs == 1)
            QCOMPARE(answered, 3);
        if (lateMs == 2 * kWait)
            QCOMPARE(answered, 0);
    }

    // A scan past a node that answers late lists no node where there is none and
    // misses none that is there: each address gets its own answer or nothing.
    void scanPastALateNode_data()
    {
        QTest::addColumn<bool>("fastSpeed");
        QTest::addColumn<int>("deliveryMs");
        for (const bool fast : {false, true})
            for (const int delivery : {0, 16})
                QTest::addRow("%s, delivery %d ms", fast ? "FastSpeed" : "full wait", delivery) << fast << delivery;
    }
    void scanPastALateNode()
    {
        QFETCH(bool, fastSpeed);
        QFETCH(int, deliveryMs);
        SimLine l;
        QVERIFY(l.open(kWait));
        l.sim.setDeliveryDelayMs(deliveryMs);
        l.line->setFastSpeed(fastSpeed);
        l.addStillNode(5)->faults().lateMs = 1.5 * kWait;
        l.addStillNode(7);
        QList<int> found;
        for (int a = 4; a <= 8; ++a) {
            const QByteArray answer = run(l.line->Timed_exchange(Build_identify(a), kIdentifyCap));
            if (answer.isEmpty())
                continue;
            QVERIFY2(crc_ok(answer) && quint8(answer[0]) == a, qPrintable(bytes_to_hex(answer)));
            found << a;
        }
        QCOMPARE(found, QList<int>{7});
    }

    // A line that takes nothing (hardware flow control with CTS held low): the request
    // cannot leave, and the exchange raises PortError once the write time-out has passed
    // instead of showing a silent node. When the line takes bytes again, exchanges work.
    void stalledWriteRaisesPortError()
    {
        SimLine l;
        QVERIFY(l.open(60));
        l.sim.setWireTime(false); // the bytes stuck in the pty reach the simulator at once later
        l.addStillNode(5);
        l.sim.setReceiving(false);
        // More than the pty holds: once it is full nothing more leaves the port.
        l.port.write(QByteArray(64 * 1024, '\xFF'));
        const QByteArray request = Build_identify(5);
        QElapsedTimer t;
        t.start();
        QVERIFY_THROWS_EXCEPTION(PortError, run(l.line->Timed_exchange(request, kIdentifyCap)));
        QVERIFY(t.elapsed() >= ComPort::writeTimeoutMs(request.size()));
        QVERIFY(l.port.isOpen());
        QVERIFY(!l.line->busy());
        QCOMPARE(l.line->statistics().exchanges, 0u);

        l.sim.setReceiving(true);
        QTRY_VERIFY_WITH_TIMEOUT(!l.sim.frames().isEmpty(), 30000); // what was stuck, heard by nobody
        QVERIFY(!l.sim.frames().first().heard);
        const QByteArray answer = run(l.line->Timed_exchange(request, kIdentifyCap));
        QVERIFY(crc_ok(answer));
        QCOMPARE(answer.left(2), QByteArray::fromHex("0511"));
    }

    void closedPortRaises()
    {
        SimLine l;
        QVERIFY(l.open(30));
        l.port.close();
        QVERIFY_THROWS_EXCEPTION(PortError, run(l.line->Timed_exchange(Build_identify(1), 13)));
        QVERIFY(!l.line->busy()); // the turn was given back
    }

    void broadcastWaitsOneIntervalAndReadsNothing()
    {
        SimLine l;
        QVERIFY(l.open(90));
        l.addStillNode(5);
        QElapsedTimer t;
        t.start();
        QCOMPARE(run(Set_baud(*l.line, QStringLiteral("9600"))), QStringLiteral("Ok"));
        QVERIFY(t.elapsed() >= 90);
        QCOMPARE(l.sim.frames().size(), 1);
        QCOMPARE(l.sim.frames().first().bytes, QByteArray::fromHex("0013033CF1"));
    }
};

QTEST_GUILESS_MAIN(TestTransaction)
#include "test_transaction.moc"
