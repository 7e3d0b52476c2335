// Protocol commands of the controller line: identification, register reads,
// the node reads that fill the node table, value writing, the restart
// diagnostic and the line-speed broadcast.
#pragma once

#include "base/node_table.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace qlx {

class Transaction;

// Result words of device operations (empty = success).
namespace word {
inline const QString TimeOut = QStringLiteral("Time Out");
inline const QString BadCRC = QStringLiteral("Bad CRC");
inline const QString BadNomer = QStringLiteral("Bad nomer");
inline const QString BadCommand = QStringLiteral("Bad command");
inline const QString ErrorConvert = QStringLiteral("Error convert");
inline const QString BadAnswerReadFieldMode = QStringLiteral("Bad answer ReadFieldMode");
inline const QString BadAnswerOrInListening = QStringLiteral("Bad Answer or in listening");
inline const QString Ok = QStringLiteral("Ok");
} // namespace word

inline constexpr int kModeRegister = 204;
inline constexpr int kRawRegister = 192; // raw code of channel c at 192 + c - 1
inline constexpr int kIdentifyCap = 13;
inline constexpr int kAnswerCap = 10;

struct TAnswer_11H {
    std::int32_t device_type = 0;
    std::int32_t device_number = 0;
    std::int32_t run_status = 0;
    QByteArray specification;
};

// Frame builders.
QByteArray Build_identify(int address);
QByteArray Build_read_request(int address, int first, int count);
QByteArray Build_write_request(int address, int first, int count, std::int32_t value);
QByteArray Build_diag_request(int address, int subfunction, int data);
QByteArray Build_set_baud(const QString &speedText);
// Speed code of the line-speed broadcast; -1 for a speed outside the five.
int speed_code(const QString &speedText);

// Decodes an identify answer; the outcome goes to `word` ("Bad nomer", "Bad command" or empty).
// The checksum is not tested. `into` gives the values of fields the answer does not set.
TAnswer_11H Parse_identify(int address, const QByteArray &answer, QString &word, TAnswer_11H into = {});

// Two's-complement value of 4 bytes b0 b1 b2 b3 = b2 b3 b0 b1 (first register holds the low half);
// given two bytes, their unsigned 16-bit value.
std::int32_t regs_to_int32(const QByteArray &bytes);

// Decodes a 34-byte channel block; a shorter block fails: conv_error 999 and "Error convert"
// in last_result. `previous` supplies the fields that cannot be decoded.
Tarr_setup Parse_setup_block(const QByteArray &block, const Tarr_setup &previous = {});

// The four-digit display value of a reading in units: the four characters of the decimal
// text of `rounded` that start at character max(1, L - 6).
std::int32_t units_display_value(qint64 rounded);

// Scales raw code `raw` with setup `s` into channels[c] of the slot and evaluates the alarms.
void Evaluate_channel(int slot, int c, const Tarr_setup &s, int raw);

// Decodes the two bytes of the mode register.
Tarr_state decode_state(const QByteArray &two);

// Register read: the data bytes, or nothing with the word in last_result.
QCoro::Task<std::optional<QByteArray>> Read_registers(Transaction &line, int address, int first, int count);
QCoro::Task<std::optional<Tarr_state>> ReadFieldMode(Transaction &line, int address);
// A request to stop the multi-channel reads of one caller (the polling run, a
// device window): its reads look at it before every channel. Closing one window
// stops the reads that window started, never another's. `abort_read` shows the
// latest request the station made.
class ReadStop {
public:
    void request()
    {
        m_requested = true;
        abort_read = 1;
    }
    bool requested() const { return m_requested; }
    void clear() { m_requested = false; }

private:
    bool m_requested = false;
};

// How a node read went, for its caller to decide what to record: only channels
// read in this read carry this read's values.
struct NodeRead {
    bool stopped = false;      // a stop request ended the channel read before its last channel
    bool modeAnswered = false; // the mode register answered
    bool programming = false;  // the node is in programming mode: no channel was read
    bool full = false;         // the setup blocks were read
    bool failed = false;       // the read ended on an error (the port)
    std::uint16_t channelsRead = 0; // bit c - 1: channel c was read and evaluated in this read

    bool channelRead(int c) const { return (channelsRead >> (c - 1)) & 1u; }
    // Channels that this read did not get (1-based), in order.
    QList<int> missingChannels() const;
    // Every channel was read in this read: the slot holds this read's values only.
    bool complete() const { return !stopped && !failed && !programming && channelsRead == kAllChannels; }
    // A full read that got every channel: the slot's setpoints are this read's, so the
    // setpoint row may be written.
    bool setpointsRead() const { return full && complete(); }
};

// Multi-channel reads. Each channel read and evaluated is marked in `outcome`; `stop`
// (when given) is looked at before every channel. A channel whose setup block was
// never read is not evaluated by a short read.
QCoro::Task<QString> Read_full(Transaction &line, int slot, NodeRead *outcome = nullptr, ReadStop *stop = nullptr);
QCoro::Task<QString> Read_values(Transaction &line, int slot, NodeRead *outcome = nullptr, ReadStop *stop = nullptr);

// Reads the state, then a full read (mode "F", changed settings, or a channel whose setup
// block was never read) or a short read. Never raises: an error ends the read with the
// progress back at 0 and `failed` set.
QCoro::Task<NodeRead> Read_node(Transaction &line, int slot, QString mode, ReadStop *stop = nullptr);

// Writes a 32-bit value into two registers; "Time Out" or the hex text of the answer.
QCoro::Task<QString> Write_value(Transaction &line, int address, int first, int count, std::int32_t value);
// Broadcasts the line speed; always "Ok".
QCoro::Task<QString> Set_baud(Transaction &line, QString speedText);
// Restart-communications diagnostic; "Ok", or empty with last_result "Bad Answer or in listening".
QCoro::Task<QString> Diag_restart(Transaction &line, int address);

} // namespace qlx
