#include "line/unit_protocol.h"

#include "line/comport.h"

#include "base/logging.h"
#include "base/progress.h"
#include "base/unit_procedure.h"
#include "line/transaction.h"
#include "base/unit_crc.h"

#include <cmath>
#include <cstdint>
#include <exception>

namespace qlx {

namespace {

char byteOf(int v)
{
    return static_cast<char>(static_cast<quint8>(v & 0xFF));
}

quint8 at(const QByteArray &b, int i)
{
    return static_cast<quint8>(b[i]);
}

// Rounds half to even and wraps into 32 bits, as the controller's own firmware does.
std::int32_t roundToInt32(double x)
{
    const double r = std::nearbyint(x); // default rounding mode: to nearest, ties to even
    if (!std::isfinite(r))
        return 0;
    const long double clamped = std::fmod(static_cast<long double>(r), 4294967296.0L);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(clamped)));
}

} // namespace

QByteArray Build_identify(int address)
{
    QByteArray f;
    f.append(byteOf(address)).append(char(0x11));
    return append_crc(f);
}

QByteArray Build_read_request(int address, int first, int count)
{
    QByteArray f;
    f.append(byteOf(address)).append(char(0x03));
    f.append(byteOf(first >> 8)).append(byteOf(first));
    f.append(byteOf(count >> 8)).append(byteOf(count));
    return append_crc(f);
}

QByteArray Build_write_request(int address, int first, int count, std::int32_t value)
{
    // The data bytes of a negative value are its 32-bit two's complement, formed by the
    // digit-wise subtraction 100000000h - magnitude.
    QString hex;
    if (value < 0) {
        const qint64 magnitude = -static_cast<qint64>(value);
        hex = hex_sub(QStringLiteral("100000000"), QString::number(magnitude, 16).toUpper());
    } else {
        hex = QStringLiteral("%1").arg(static_cast<uint>(value), 8, 16, QLatin1Char('0')).toUpper();
    }
    const QByteArray v = hex_to_bytes(hex); // high half first: H1 H0 L1 L0
    QByteArray f;
    f.append(byteOf(address)).append(char(0x10));
    f.append(byteOf(first >> 8)).append(byteOf(first));
    f.append(byteOf(count >> 8)).append(byteOf(count));
    f.append(char(0x04));
    f.append(v.mid(2, 2)).append(v.mid(0, 2)); // low 16 bits first, each high byte first
    return append_crc(f);
}

QByteArray Build_diag_request(int address, int subfunction, int data)
{
    QByteArray f;
    f.append(byteOf(address)).append(char(0x08));
    f.append(byteOf(subfunction >> 8)).append(byteOf(subfunction));
    f.append(byteOf(data >> 8)).append(byteOf(data));
    return append_crc(f);
}

int speed_code(const QString &speedText)
{
    return static_cast<int>(line_speeds().indexOf(speedText));
}

QByteArray Build_set_baud(const QString &speedText)
{
    QByteArray f;
    f.append(char(0x00)).append(char(0x13));
    if (const int code = speed_code(speedText); code >= 0)
        f.append(byteOf(code));
    return append_crc(f);
}

TAnswer_11H Parse_identify(int address, const QByteArray &answer, QString &word, TAnswer_11H into)
{
    TAnswer_11H r = std::move(into);
    word.clear();
    if (answer.isEmpty() || at(answer, 0) != (address & 0xFF)) {
        word = word::BadNomer;
        return r;
    }
    if (answer.size() < 2 || at(answer, 1) != 0x11) {
        word = word::BadCommand;
        return r;
    }
    if (answer.size() < 4) // nothing more to decode
        return r;
    const int n = at(answer, 2);
    const quint8 identity = at(answer, 3);
    const int high = identity >> 4;
    const int low = identity & 0xF;
    // The identity digits are decimal digits; a digit A..F ends the decoding there.
    if (high > 9) {
        r.specification.clear();
        return r;
    }
    r.device_type = high;
    if (low > 9) {
        r.specification.clear();
        return r;
    }
    r.device_number = low;
    if (answer.size() >= 5)
        r.run_status = at(answer, 4);
    r.specification = n >= 3 ? answer.mid(5, n - 2) : QByteArray();
    return r;
}

std::int32_t regs_to_int32(const QByteArray &bytes)
{
    if (bytes.size() < 4) {
        if (bytes.size() < 2)
            return 0;
        return (at(bytes, 0) << 8) | at(bytes, 1);
    }
    const std::uint32_t v = (std::uint32_t(at(bytes, 2)) << 24) | (std::uint32_t(at(bytes, 3)) << 16) |
                            (std::uint32_t(at(bytes, 0)) << 8) | std::uint32_t(at(bytes, 1));
    return static_cast<std::int32_t>(v);
}

Tarr_setup Parse_setup_block(const QByteArray &block, const Tarr_setup &previous)
{
    last_result.clear();
    if (block.size() < 34) {
        // The registers did not all arrive, so the offsets of the rest are unknown:
        // keep every field as it was and mark the block.
        Tarr_setup s = previous;
        s.conv_error = 999;
        last_result = word::ErrorConvert;
        return s;
    }
    auto u16 = [&](int offset) { return std::int32_t((at(block, offset) << 8) | at(block, offset + 1)); };
    auto i32 = [&](int offset) { return regs_to_int32(block.mid(offset, 4)); };
    Tarr_setup s;
    s.gain = i32(0);
    s.zero = u16(4);
    s.point_pos = u16(6);
    s.range_min = i32(8);
    s.range_max = i32(12);
    s.nu = i32(16);
    s.vu = i32(20);
    s.gis_nu = i32(24);
    s.gis_vu = i32(28);
    s.raw = u16(32);
    s.conv_error = 0;
    return s;
}

std::int32_t units_display_value(qint64 rounded)
{
    // At most four characters fit the controller's display.
    const QString t = QString::number(rounded);
    const qsizetype start = std::max<qsizetype>(1, t.size() - 6);
    return t.mid(start - 1, 4).toInt();
}

void Evaluate_channel(int slot, int c, const Tarr_setup &s, int raw)
{
    Tarr_channel &ch = arr_nodes[slot].channels[c];
    const double h = (s.gain / 65536.0 * (double(raw) - double(s.zero)) + s.range_min) / 1000.0;
    switch (s.point_pos) {
    case 0:
        ch.value = roundToInt32(h * 1000);
        ch.point = 1;
        break;
    case 1:
        ch.value = roundToInt32(h * 100);
        ch.point = 2;
        break;
    case 2:
        ch.value = roundToInt32(h * 10);
        ch.point = 3;
        break;
    case 3: {
        const double r = std::nearbyint(h);
        ch.value = units_display_value(static_cast<qint64>(std::isfinite(r) ? r : 0));
        ch.point = 4;
        break;
    }
    default:
        break; // value and point keep what they were
    }

    ch.alarm_nu = 0;
    ch.alarm_vu = 0;
    std::int32_t m = 1;
    for (int i = 1; i < ch.point; ++i)
        m *= 10;
    const auto q = static_cast<std::int32_t>(static_cast<std::uint32_t>(m) * static_cast<std::uint32_t>(ch.value));
    const qint64 nu = s.nu, vu = s.vu, gnu = s.gis_nu, gvu = s.gis_vu;
    if (q < nu - gnu)
        ch.alarm_nu = 1;
    if (q < nu + gvu)
        ch.alarm_nu = 1;
    if (q > vu - gnu)
        ch.alarm_vu = 1;
    if (q > vu + gvu)
        ch.alarm_vu = 1;
}

Tarr_state decode_state(const QByteArray &two)
{
    Tarr_state st;
    const quint8 hi = two.size() > 0 ? at(two, 0) : 0;
    const quint8 lo = two.size() > 1 ? at(two, 1) : 0;
    st.mode_bit7 = (hi >> 7) & 1;
    st.prog_mode = (hi >> 6) & 1;
    st.settings_changed = (hi >> 5) & 1;
    st.display_quantity = hi & 0x07;
    st.display_channel = lo;
    return st;
}

QCoro::Task<std::optional<QByteArray>> Read_registers(Transaction &line, int address, int first, int count)
{
    last_result.clear();
    const QByteArray answer = co_await line.Timed_exchange(Build_read_request(address, first, count), kAnswerCap);
    if (answer.isEmpty()) {
        last_result = word::TimeOut;
        co_return std::nullopt;
    }
    if (!crc_ok(answer)) {
        last_result = word::BadCRC;
        co_return std::nullopt;
    }
    if (at(answer, 0) != (address & 0xFF)) {
        last_result = word::BadNomer;
        co_return std::nullopt;
    }
    if (at(answer, 1) != 0x03) {
        last_result = word::BadCommand;
        co_return std::nullopt;
    }
    // A valid frame carrying fewer data bytes than asked is no reading: the missing
    // registers would read as zeros.
    if (answer.size() != 5 + 2 * count || at(answer, 2) != 2 * count) {
        last_result = word::ErrorConvert;
        co_return std::nullopt;
    }
    co_return answer.mid(3, 2 * count);
}

QCoro::Task<std::optional<Tarr_state>> ReadFieldMode(Transaction &line, int address)
{
    const auto data = co_await Read_registers(line, address, kModeRegister, 1);
    if (!data || data->size() < 2) {
        last_result = word::BadAnswerReadFieldMode;
        co_return std::nullopt;
    }
    co_return decode_state(*data);
}

QList<int> NodeRead::missingChannels() const
{
    QList<int> missing;
    for (int c = 1; c <= kChannels; ++c)
        if (!channelRead(c))
            missing << c;
    return missing;
}

namespace {

// The per-channel steps of a multi-channel read; false (and the outcome marked
// stopped) when the read is to stop. A stop request is used up by the read that
// honours it.
QCoro::Task<bool> beginChannel(int c, NodeRead *outcome, ReadStop *stop)
{
    const auto stopNow = [outcome, stop] {
        stop->clear();
        abort_read = 0;
        if (outcome)
            outcome->stopped = true;
        return false;
    };
    if (stop && stop->requested())
        co_return stopNow();
    co_await service_events();
    if (stop && stop->requested()) // the caller asked the read to stop while events ran
        co_return stopNow();
    VrProgressBar().setPosition(c);
    co_return true;
}

void markRead(NodeRead *outcome, int c)
{
    if (outcome)
        outcome->channelsRead |= std::uint16_t(1u << (c - 1));
}

// Counts the read in progress for the busy sign; the position goes back to 0 when
// the last read in progress ends.
struct ProgressReset {
    ProgressReset() { VrProgressBar().readStarted(); }
    ~ProgressReset() { VrProgressBar().readEnded(); }
    ProgressReset(const ProgressReset &) = delete;
    ProgressReset &operator=(const ProgressReset &) = delete;
};

} // namespace

QCoro::Task<QString> Read_full(Transaction &line, int slot, NodeRead *outcome, ReadStop *stop)
{
    ProgressReset reset;
    QString result;
    VrProgressBar().setMaximum(kChannels);
    static constexpr std::pair<int, int> kBlockReads[] = {{0, 2},  {2, 1},  {3, 1},  {4, 2}, {6, 2},
                                                          {8, 2},  {10, 2}, {12, 2}, {14, 2}};
    for (int c = 1; c <= kChannels; ++c) {
        if (!co_await beginChannel(c, outcome, stop))
            break;
        const int address = arr_nodes[slot].address;
        const int b = 16 * (c - 1);
        QByteArray block;
        for (const auto &[offset, count] : kBlockReads)
            if (const auto data = co_await Read_registers(line, address, b + offset, count))
                block += *data;
        if (const auto data = co_await Read_registers(line, address, kRawRegister + c - 1, 1))
            block += *data;
        if (block.isEmpty())
            continue; // the channel keeps its old data
        const Tarr_setup s = Parse_setup_block(block, arr_nodes[slot].setup[c]);
        arr_nodes[slot].setup[c] = s;
        if (s.conv_error != 0) {
            result = word::BadCRC;
        } else {
            arr_nodes[slot].setups_read |= std::uint16_t(1u << (c - 1));
            Evaluate_channel(slot, c, s, s.raw);
            markRead(outcome, c);
            result.clear();
        }
    }
    co_return result;
}

QCoro::Task<QString> Read_values(Transaction &line, int slot, NodeRead *outcome, ReadStop *stop)
{
    ProgressReset reset;
    QString result;
    VrProgressBar().setMaximum(kChannels);
    for (int c = 1; c <= kChannels; ++c) {
        if (!co_await beginChannel(c, outcome, stop))
            break;
        const int address = arr_nodes[slot].address;
        auto data = co_await Read_registers(line, address, kRawRegister + c - 1, 1);
        if (!data)
            data = co_await Read_registers(line, address, kRawRegister + c - 1, 1);
        if (!data)
            continue;
        // Without its setup block the raw code cannot be scaled.
        if (!(arr_nodes[slot].setups_read & (1u << (c - 1))))
            continue;
        Evaluate_channel(slot, c, arr_nodes[slot].setup[c], regs_to_int32(*data));
        markRead(outcome, c);
        result.clear();
    }
    co_return result;
}

QCoro::Task<NodeRead> Read_node(Transaction &line, int slot, QString mode, ReadStop *stop)
{
    NodeRead read;
    try {
        const auto state = co_await ReadFieldMode(line, arr_nodes[slot].address);
        // Without an answer from the mode register the slot keeps its previous state and the
        // read goes on as if no mode bit were set; the failure word stays visible unless the
        // channel reads report a failure of their own.
        read.modeAnswered = state.has_value();
        if (state) {
            arr_nodes[slot].state = *state;
            if (state->prog_mode == 1) {
                read.programming = true;
                co_return read;
            }
        }
        // A channel whose setup block never arrived makes the read a full one, until all are in.
        read.full = (state && state->settings_changed == 1) || mode == QStringLiteral("F")
                    || arr_nodes[slot].setups_read != kAllChannels;
        const QString modeWord = state ? QString() : word::BadAnswerReadFieldMode;
        const QString w = read.full ? co_await Read_full(line, slot, &read, stop)
                                    : co_await Read_values(line, slot, &read, stop);
        last_result = w.isEmpty() ? modeWord : w;
    } catch (const std::exception &e) {
        read.failed = true;
        // The progress goes back to 0, unless another read is still under way.
        if (VrProgressBar().readsInProgress() == 0)
            VrProgressBar().setPosition(0);
        qCWarning(lcProtocol) << "node read of slot" << slot << "ended:" << e.what();
    }
    co_return read;
}

QCoro::Task<QString> Write_value(Transaction &line, int address, int first, int count, std::int32_t value)
{
    const QByteArray answer =
        co_await line.Timed_exchange(Build_write_request(address, first, count, value), kAnswerCap);
    if (answer.isEmpty())
        co_return word::TimeOut;
    co_return bytes_to_hex(answer);
}

QCoro::Task<QString> Set_baud(Transaction &line, QString speedText)
{
    co_await line.Send_and_wait(Build_set_baud(speedText));
    co_return word::Ok;
}

QCoro::Task<QString> Diag_restart(Transaction &line, int address)
{
    const QByteArray request = Build_diag_request(address, 0x0001, 0x0000);
    const QByteArray answer = co_await line.SendReadCom(request);
    if (!answer.isEmpty() && answer == request)
        co_return word::Ok;
    last_result = word::BadAnswerOrInListening;
    co_return QString();
}

} // namespace qlx
