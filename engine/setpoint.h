// Writing one threshold of one channel of a controller: the lower or upper setpoint
// or the hysteresis of either, two registers holding a signed 32-bit value in
// thousandths of the engineering unit. Shared by the station's setpoint dialog and
// `quorlex-ctl write`.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include <qcoro/qcorotask.h>

namespace qlx {

class Transaction;

// The thresholds in register order.
enum class Threshold { Nu = 0, Vu = 1, GisNu = 2, GisVu = 3 };

// An engineering value ("12,5", "-0.25", "+3") in thousandths, rounded half to even
// by exact decimal arithmetic; nothing when the text is not such a number or the
// result does not fit 32 bits.
std::optional<std::int32_t> parse_thousandths(const QString &text);

// First of the two registers that hold threshold `quantity` (0..3) of channel 1..12.
int setpoint_register(int channel, int quantity);
// True when a write answer (hex text) is the exact echo of the write of two registers
// from `first` at `address`, with a valid checksum.
bool setpoint_confirmed(const QString &answerHex, int address, int first);

struct SetpointWrite {
    int address = 0;     // 1..255: 0 would reach every controller at once
    int channel = 0;     // 1..12
    int quantity = -1;   // Threshold, 0..3
    std::int32_t thousandths = 0;

    bool valid() const;
    int firstRegister() const { return setpoint_register(channel, quantity); }
};

struct SetpointResult {
    bool sent = false;       // false: the request was not valid, nothing went out
    bool confirmed = false;  // the controller echoed the write exactly
    QString answer;          // the answer's hex text, or "Time Out"
};

// Sends the write and checks the echo. Raises PortError when the port fails.
QCoro::Task<SetpointResult> write_setpoint(Transaction &line, SetpointWrite write);

// The last node slot holding this bus address, 0 when none does.
int find_slot(int address);
// After a confirmed write: the station's copy of the threshold in the node table (the
// last slot of the address) becomes the value written; 0 for a channel whose point
// code is still unknown (never read in full).
void store_setpoint(const SetpointWrite &write);

} // namespace qlx
