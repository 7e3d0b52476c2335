// quorlex-ctl: the command-line tool that talks to the controller line for
// technicians and scripts. This library holds everything but main(): the
// argument parser (which checks every input before the port is opened), the
// commands as coroutines on one Transaction, and the text and JSON output.
#pragma once

#include "base/node_table.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

namespace qlx::ctl {

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDevice = 1; // no answer, a bad answer, or the port cannot be used
inline constexpr int kExitUsage = 2;  // bad input; nothing was sent

// Bad input found by the argument parser; the message is one line.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString &message);
    QString message() const { return QString::fromStdString(what()); }
};

enum class Command { Help, Scan, Identify, Read, Watch, Write, Diag, Baud, Raw };
enum class DiagKind { Echo, Restart, Register, Listen };

// Everything one invocation asks for, checked and converted.
struct Options {
    Command command = Command::Help;

    // Line.
    QString port;
    int baud = 9600;
    int waitMs = 100;
    bool fast = false;
    bool json = false;

    int address = 0; // identify, read, watch, write, diag

    // scan
    int first = 1;
    int last = 255;

    // watch
    int intervalMs = 1000;
    int count = 0; // passes; 0 = until stopped

    // write
    int channel = 0;
    int quantity = 0;           // 0 nu, 1 vu, 2 gis_nu, 3 gis_vu
    std::int32_t thousandths = 0; // the value to write, engineering units x 1000

    // diag
    DiagKind diag = DiagKind::Echo;

    // baud
    QString speed;

    // raw
    QByteArray frame; // as given; the check bytes are appended at send time with `crc`
    bool crc = false;
    int cap = 256;

    bool operator==(const Options &) const = default;
};

// Parses the arguments after the program name; raises UsageError.
Options parse_arguments(const QStringList &args);
QString usage_text();

// Names of the writable quantities in register order: nu, vu, gis_nu, gis_vu.
const QStringList &quantity_names();
// The reading of a channel in engineering units; nothing for a channel never read.
std::optional<double> engineering(const Tarr_channel &channel);
// The same as text with the channel's own number of decimals, e.g. "12.345", "-0.5", "17".
QString engineering_text(const Tarr_channel &channel);

// A node read as JSON: address, result, state and the 12 channels with their setup.
QJsonObject node_json(int address, const QString &result, const Tarr_node &node);
// The same as a readable table, one string per line.
QStringList node_table(int address, const QString &result, const Tarr_node &node);

// Where the tool writes: whole lines to standard output and to standard error.
struct Output {
    std::function<void(const QString &)> line;
    std::function<void(const QString &)> error;
};
// Lines to the process's stdout and stderr, flushed line by line.
Output standard_output();

// Opens the port, runs the command, closes the port; the exit code.
QCoro::Task<int> run(Options options, Output out);

} // namespace qlx::ctl
