#include "tools/ctl/ctl_app.h"

#include "engine/setpoint.h"

#include "line/comport.h"
#include "line/transaction.h"
#include "base/unit_crc.h"
#include "line/unit_protocol.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <cstdio>
#include <limits>

namespace qlx::ctl {

namespace {

const QString kPrefix = QStringLiteral("quorlex-ctl: ");

// Options that take a value, options that are switches, and the command an option
// belongs to (the line options belong to every command).
const QSet<QString> kValueOptions = {QStringLiteral("port"),     QStringLiteral("baud"),  QStringLiteral("wait"),
                                     QStringLiteral("interval"), QStringLiteral("count"), QStringLiteral("cap")};
const QSet<QString> kSwitchOptions = {QStringLiteral("fast"), QStringLiteral("json"), QStringLiteral("crc")};
const QHash<QString, Command> kOptionCommand = {{QStringLiteral("interval"), Command::Watch},
                                                {QStringLiteral("count"), Command::Watch},
                                                {QStringLiteral("crc"), Command::Raw},
                                                {QStringLiteral("cap"), Command::Raw}};

const QHash<QString, Command> kCommands = {
    {QStringLiteral("scan"), Command::Scan},   {QStringLiteral("identify"), Command::Identify},
    {QStringLiteral("read"), Command::Read},   {QStringLiteral("watch"), Command::Watch},
    {QStringLiteral("write"), Command::Write}, {QStringLiteral("diag"), Command::Diag},
    {QStringLiteral("baud"), Command::Baud},   {QStringLiteral("raw"), Command::Raw}};

const QHash<QString, DiagKind> kDiagKinds = {{QStringLiteral("echo"), DiagKind::Echo},
                                             {QStringLiteral("restart"), DiagKind::Restart},
                                             {QStringLiteral("register"), DiagKind::Register},
                                             {QStringLiteral("listen"), DiagKind::Listen}};


// Diagnostic subfunctions and their data words.
constexpr int kDiagEchoSub = 0x0000;
constexpr int kDiagEchoData = 0x182B;
constexpr int kDiagRegisterSub = 0x0002;
constexpr int kDiagListenSub = 0x0004;

constexpr int kMaxFrame = 256;

// A decimal whole number within [min, max]; `what` names it in the message.
int parseWhole(const QString &text, const QString &what, qint64 min, qint64 max)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
    if (!digits.match(text).hasMatch())
        throw UsageError(QStringLiteral("%1 must be a whole number, not \"%2\"").arg(what, text));
    const qint64 v = text.toLongLong();
    if (v < min || v > max)
        throw UsageError(QStringLiteral("%1 %2 outside %3..%4").arg(what, text).arg(min).arg(max));
    return static_cast<int>(v);
}

int parseAddress(const QString &text)
{
    return parseWhole(text, QStringLiteral("address"), 1, 255);
}

void expectArguments(const QStringList &positional, qsizetype min, qsizetype max)
{
    const QString &command = positional.first();
    const qsizetype n = positional.size() - 1;
    if (n < min)
        throw UsageError(QStringLiteral("%1: missing argument (see --help)").arg(command));
    if (n > max)
        throw UsageError(QStringLiteral("%1: unexpected argument \"%2\"").arg(command, positional.at(max + 1)));
}

QByteArray parseHexFrame(const QString &given)
{
    QString hex = given;
    hex.remove(QRegularExpression(QStringLiteral("\\s")));
    if (hex.isEmpty())
        throw UsageError(QStringLiteral("raw: empty frame"));
    if (hex.size() % 2 != 0)
        throw UsageError(QStringLiteral("bad hex \"%1\": odd number of digits").arg(given));
    QByteArray frame;
    try {
        frame = hex_to_bytes(hex.toUpper());
    } catch (const ConvertError &) {
        throw UsageError(QStringLiteral("bad hex \"%1\"").arg(given));
    }
    if (frame.size() > kMaxFrame)
        throw UsageError(QStringLiteral("raw: frame longer than %1 bytes").arg(kMaxFrame));
    return frame;
}

QString jsonLine(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// Thousandths as a decimal text with three decimals: 12500 -> "12.500".
QString thousandthsText(qint64 v)
{
    const qint64 a = v < 0 ? -v : v;
    return QStringLiteral("%1%2.%3").arg(v < 0 ? QStringLiteral("-") : QString()).arg(a / 1000).arg(a % 1000, 3, 10,
                                                                                                 QLatin1Char('0'));
}

// Bytes as text, with anything but printable ASCII written as \xNN.
QString printable(const QByteArray &bytes)
{
    QString s;
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"')
            s += QLatin1Char(c);
        else
            s += QStringLiteral("\\x") + QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return s;
}

// What is wrong with the answer to a request of function `function`; empty when it is
// a well-formed answer from `address`.
QString answerWord(const QByteArray &answer, int address, int function)
{
    if (answer.isEmpty())
        return word::TimeOut;
    if (!crc_ok(answer))
        return word::BadCRC;
    if (static_cast<quint8>(answer[0]) != (address & 0xFF))
        return word::BadNomer;
    if (answer.size() < 2 || static_cast<quint8>(answer[1]) != function)
        return word::BadCommand;
    return {};
}

QCoro::Task<void> pause(int ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    co_await qCoro(timer).waitForTimeout();
}

// ---- identify and scan ----

struct Identity {
    QByteArray answer;
    QString result;
    TAnswer_11H fields;
};

QCoro::Task<Identity> identify(Transaction &line, int address)
{
    Identity id;
    id.answer = co_await line.Timed_exchange(Build_identify(address), kIdentifyCap);
    if (id.answer.isEmpty()) {
        id.result = word::TimeOut;
        co_return id;
    }
    id.fields = Parse_identify(address, id.answer, id.result);
    // The checksum can be tested only when the whole answer fitted the cap.
    const QByteArray &a = id.answer;
    if (id.result.isEmpty() && a.size() >= 3 && a.size() == static_cast<quint8>(a[2]) + 5 && !crc_ok(a))
        id.result = word::BadCRC;
    co_return id;
}

QJsonObject identityJson(int address, const Identity &id)
{
    return {{QStringLiteral("address"), address},
            {QStringLiteral("result"), id.result},
            {QStringLiteral("device_type"), id.fields.device_type},
            {QStringLiteral("device_number"), id.fields.device_number},
            {QStringLiteral("run_status"), id.fields.run_status},
            {QStringLiteral("details"), QString::fromLatin1(id.fields.specification)},
            {QStringLiteral("answer"), bytes_to_hex(id.answer)}};
}

QString identityText(int address, const Identity &id)
{
    QString s = QStringLiteral("%1  type %2  number %3  run %4  details \"%5\"")
                    .arg(address, 3)
                    .arg(id.fields.device_type)
                    .arg(id.fields.device_number)
                    .arg(id.fields.run_status)
                    .arg(printable(id.fields.specification));
    if (!id.result.isEmpty())
        s += QStringLiteral("  (%1, answer %2)").arg(id.result, bytes_to_hex(id.answer));
    return s;
}

QCoro::Task<int> runScan(Transaction &line, const Options &o, const Output &out)
{
    QJsonArray nodes;
    int found = 0;
    for (int address = o.first; address <= o.last; ++address) {
        const Identity id = co_await identify(line, address);
        if (id.answer.isEmpty())
            continue; // any answer at all counts as a node
        ++found;
        if (o.json)
            nodes.append(identityJson(address, id));
        else
            out.line(identityText(address, id));
    }
    if (o.json)
        out.line(jsonLine({{QStringLiteral("first"), o.first},
                           {QStringLiteral("last"), o.last},
                           {QStringLiteral("nodes"), nodes}}));
    if (found == 0) {
        out.error(kPrefix + QStringLiteral("no node answered in %1..%2").arg(o.first).arg(o.last));
        co_return kExitDevice;
    }
    co_return kExitOk;
}

QCoro::Task<int> runIdentify(Transaction &line, const Options &o, const Output &out)
{
    const Identity id = co_await identify(line, o.address);
    if (o.json)
        out.line(jsonLine(identityJson(o.address, id)));
    else if (id.result.isEmpty())
        out.line(identityText(o.address, id));
    if (!id.result.isEmpty()) {
        out.error(kPrefix + QStringLiteral("address %1: %2").arg(o.address).arg(id.result));
        co_return kExitDevice;
    }
    co_return kExitOk;
}

// ---- node reads ----

QCoro::Task<int> runRead(Transaction &line, const Options &o, const Output &out)
{
    arr_nodes[1].address = o.address;
    // One look at the mode register first: a silent or wrong address is reported with the
    // word of that exchange at once instead of after the twelve channel reads.
    const auto probe = co_await Read_registers(line, o.address, kModeRegister, 1);
    QString result;
    if (!probe) {
        result = last_result;
    } else {
        co_await Read_node(line, 1, QStringLiteral("F"));
        result = last_result;
    }
    if (o.json)
        out.line(jsonLine(node_json(o.address, result, arr_nodes[1])));
    else if (probe)
        for (const QString &l : node_table(o.address, result, arr_nodes[1]))
            out.line(l);
    if (!result.isEmpty()) {
        out.error(kPrefix + QStringLiteral("address %1: %2").arg(o.address).arg(result));
        co_return kExitDevice;
    }
    co_return kExitOk;
}

QString watchText(int pass, bool full, const QString &result, const Tarr_node &node)
{
    QString s = QStringLiteral("%1  pass %2 %3  %4")
                    .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")))
                    .arg(pass)
                    .arg(full ? QStringLiteral("full ") : QStringLiteral("short"))
                    .arg(result.isEmpty() ? QStringLiteral("ok") : result);
    if (node.state.prog_mode == 1) {
        s += QStringLiteral("  programming mode");
        return s;
    }
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_channel &ch = node.channels[c];
        s += QStringLiteral("  %1=%2").arg(c).arg(engineering_text(ch));
        if (ch.alarm_nu)
            s += QStringLiteral("[nu]");
        if (ch.alarm_vu)
            s += QStringLiteral("[vu]");
    }
    return s;
}

QCoro::Task<int> runWatch(Transaction &line, const Options &o, const Output &out)
{
    arr_nodes[1].address = o.address;
    bool haveSetup = false; // a full read succeeded: short reads can scale with its setup
    bool failed = false;
    for (int pass = 1; o.count == 0 || pass <= o.count; ++pass) {
        if (pass > 1)
            co_await pause(o.intervalMs);
        const bool full = !haveSetup;
        co_await Read_node(line, 1, full ? QStringLiteral("F") : QStringLiteral("NF"));
        const QString result = last_result;
        if (result.isEmpty() && full && arr_nodes[1].state.prog_mode == 0)
            haveSetup = true;
        failed = failed || !result.isEmpty();
        if (o.json) {
            QJsonObject j = node_json(o.address, result, arr_nodes[1]);
            j.insert(QStringLiteral("pass"), pass);
            j.insert(QStringLiteral("read"), full ? QStringLiteral("full") : QStringLiteral("short"));
            j.insert(QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
            out.line(jsonLine(j));
        } else {
            out.line(watchText(pass, full, result, arr_nodes[1]));
        }
    }
    co_return failed ? kExitDevice : kExitOk;
}

// ---- write, diagnostics, line speed, raw frames ----

QCoro::Task<int> runWrite(Transaction &line, const Options &o, const Output &out)
{
    const int first = setpoint_register(o.channel, o.quantity);
    const QString answer = co_await Write_value(line, o.address, first, 2, o.thousandths);
    QString result;
    if (answer == word::TimeOut) {
        result = word::TimeOut;
    } else if (!setpoint_confirmed(answer, o.address, first)) {
        result = answerWord(hex_to_bytes(answer), o.address, 0x10);
        if (result.isEmpty())
            result = QStringLiteral("Not confirmed");
    }
    const QString quantity = quantity_names().at(o.quantity);
    if (o.json) {
        out.line(jsonLine({{QStringLiteral("address"), o.address},
                           {QStringLiteral("channel"), o.channel},
                           {QStringLiteral("quantity"), quantity},
                           {QStringLiteral("value"), o.thousandths / 1000.0},
                           {QStringLiteral("thousandths"), o.thousandths},
                           {QStringLiteral("register"), first},
                           {QStringLiteral("answer"), answer == word::TimeOut ? QString() : answer},
                           {QStringLiteral("result"), result}}));
    } else if (result.isEmpty()) {
        out.line(QStringLiteral("address %1 channel %2 %3 = %4 (registers %5-%6): Ok")
                     .arg(o.address)
                     .arg(o.channel)
                     .arg(quantity, thousandthsText(o.thousandths))
                     .arg(first)
                     .arg(first + 1));
    }
    if (!result.isEmpty()) {
        out.error(kPrefix + QStringLiteral("address %1 channel %2 %3: write failed: %4%5")
                                .arg(o.address)
                                .arg(o.channel)
                                .arg(quantity, result,
                                     answer == word::TimeOut ? QString() : QStringLiteral(" (answer %1)").arg(answer)));
        co_return kExitDevice;
    }
    co_return kExitOk;
}

QCoro::Task<int> runDiag(Transaction &line, const Options &o, const Output &out)
{
    QString name = kDiagKinds.key(o.diag);
    QString result;
    QByteArray answer;
    QJsonObject j{{QStringLiteral("address"), o.address}, {QStringLiteral("diag"), name}};
    QString text;
    switch (o.diag) {
    case DiagKind::Echo: {
        const QByteArray request = Build_diag_request(o.address, kDiagEchoSub, kDiagEchoData);
        answer = co_await line.SendReadCom(request);
        result = answerWord(answer, o.address, 0x08);
        if (result.isEmpty() && answer != request)
            result = QStringLiteral("Echo differs");
        text = QStringLiteral("address %1 echo: Ok").arg(o.address);
        break;
    }
    case DiagKind::Restart: {
        const QString r = co_await Diag_restart(line, o.address);
        result = r == word::Ok ? QString() : last_result;
        text = QStringLiteral("address %1 restart: Ok").arg(o.address);
        break;
    }
    case DiagKind::Register: {
        const QByteArray request = Build_diag_request(o.address, kDiagRegisterSub, 0x0000);
        answer = co_await line.SendReadCom(request);
        result = answerWord(answer, o.address, 0x08);
        if (result.isEmpty() && (answer.size() != 8 || answer.left(4) != request.left(4)))
            result = word::BadCommand;
        if (result.isEmpty()) {
            const int value = (static_cast<quint8>(answer[4]) << 8) | static_cast<quint8>(answer[5]);
            j.insert(QStringLiteral("register"), value);
            text = QStringLiteral("address %1 diagnostic register: 0x%2 (%3)")
                       .arg(o.address)
                       .arg(value, 4, 16, QLatin1Char('0'))
                       .arg(value);
        }
        break;
    }
    case DiagKind::Listen:
        // The node goes quiet and does not answer this request.
        co_await line.Send_and_wait(Build_diag_request(o.address, kDiagListenSub, 0x0000));
        text = QStringLiteral("address %1 listen-only: sent").arg(o.address);
        break;
    }
    j.insert(QStringLiteral("result"), result);
    j.insert(QStringLiteral("answer"), bytes_to_hex(answer));
    if (o.json)
        out.line(jsonLine(j));
    else if (result.isEmpty())
        out.line(text);
    if (!result.isEmpty()) {
        out.error(kPrefix + QStringLiteral("address %1 diag %2: %3").arg(o.address).arg(name, result));
        co_return kExitDevice;
    }
    co_return kExitOk;
}

QCoro::Task<int> runBaud(Transaction &line, const Options &o, const Output &out)
{
    const QString r = co_await Set_baud(line, o.speed);
    if (o.json)
        out.line(jsonLine({{QStringLiteral("speed"), o.speed.toInt()},
                           {QStringLiteral("sent_at"), o.baud},
                           {QStringLiteral("result"), r == word::Ok ? QString() : r}}));
    else
        out.line(QStringLiteral("line speed %1 sent at %2 baud: %3").arg(o.speed).arg(o.baud).arg(r));
    co_return kExitOk;
}

QCoro::Task<int> runRaw(Transaction &line, const Options &o, const Output &out)
{
    const QByteArray request = o.crc ? append_crc(o.frame) : o.frame;
    const QByteArray answer = co_await line.Timed_exchange(request, o.cap);
    const QString result = answer.isEmpty() ? word::TimeOut : QString();
    if (o.json)
        out.line(jsonLine({{QStringLiteral("request"), bytes_to_hex(request)},
                           {QStringLiteral("answer"), bytes_to_hex(answer)},
                           {QStringLiteral("crc_ok"), !answer.isEmpty() && crc_ok(answer)},
                           {QStringLiteral("result"), result}}));
    else
        out.line(answer.isEmpty() ? word::TimeOut : bytes_to_hex(answer));
    co_return answer.isEmpty() ? kExitDevice : kExitOk;
}

} // namespace

UsageError::UsageError(const QString &message)
    : std::runtime_error(message.toStdString())
{
}

QString usage_text()
{
    return QStringLiteral(
        "usage: quorlex-ctl --port PATH [--baud N] [--wait MS] [--fast] [--json] COMMAND\n"
        "  scan [FIRST [LAST]]          identify every address in the range (default 1 255)\n"
        "  identify ADDR                identify one node\n"
        "  read ADDR                    full read: state and the 12 channels with their setup\n"
        "  watch ADDR [--interval MS] [--count N]\n"
        "                               a full read, then short reads, one line per pass\n"
        "  write ADDR CHANNEL nu|vu|gis_nu|gis_vu VALUE\n"
        "                               write a setpoint or hysteresis, VALUE in engineering units\n"
        "  diag ADDR echo|restart|register|listen\n"
        "  baud 1200|2400|4800|9600|19200\n"
        "                               switch the speed of every node (sent at --baud)\n"
        "  raw HEX [--crc] [--cap N]    send a frame as is (--crc appends the check bytes)\n"
        "Line: 8 data bits, no parity, 2 stop bits; --baud default 9600, --wait answer wait in ms\n"
        "(default 100), --fast ends an exchange once the whole answer is in.\n"
        "Exit codes: 0 success, 1 no answer or a bad answer, 2 bad input (nothing sent).");
}

Options parse_arguments(const QStringList &args)
{
    Options o;
    QStringList positional;
    QHash<QString, QString> values;
    QSet<QString> switches;

    // Asking for help is never an error, whatever else the line holds.
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h")))
        return o;

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (!a.startsWith(QStringLiteral("--"))) {
            positional << a; // a negative VALUE such as -1.5 is an argument, not an option
            continue;
        }
        QString name = a.mid(2);
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            value = name.mid(eq + 1);
            name.truncate(eq);
            inlineValue = true;
        }
        if (kValueOptions.contains(name)) {
            if (!inlineValue) {
                if (i + 1 >= args.size() || args[i + 1].startsWith(QStringLiteral("--")))
                    throw UsageError(QStringLiteral("option --%1 needs a value").arg(name));
                value = args[++i];
            }
            if (values.contains(name))
                throw UsageError(QStringLiteral("option --%1 given twice").arg(name));
            values.insert(name, value);
        } else if (kSwitchOptions.contains(name)) {
            if (inlineValue)
                throw UsageError(QStringLiteral("option --%1 takes no value").arg(name));
            switches.insert(name);
        } else {
            throw UsageError(QStringLiteral("unknown parameter \"%1\"").arg(a));
        }
    }

    if (positional.isEmpty())
        throw UsageError(QStringLiteral("no command given (see --help)"));
    const QString commandName = positional.first();
    if (!kCommands.contains(commandName))
        throw UsageError(QStringLiteral("unknown command \"%1\"").arg(commandName));
    o.command = kCommands.value(commandName);

    auto givenOptions = QSet<QString>(values.keyBegin(), values.keyEnd()) | switches;
    for (const QString &name : givenOptions)
        if (kOptionCommand.contains(name) && kOptionCommand.value(name) != o.command)
            throw UsageError(QStringLiteral("option --%1 does not apply to %2").arg(name, commandName));

    o.port = values.value(QStringLiteral("port"));
    if (o.port.isEmpty())
        throw UsageError(QStringLiteral("no --port given"));
    if (values.contains(QStringLiteral("baud")))
        o.baud = parseWhole(values.value(QStringLiteral("baud")), QStringLiteral("--baud"), 50, 4000000);
    if (values.contains(QStringLiteral("wait")))
        o.waitMs = parseWhole(values.value(QStringLiteral("wait")), QStringLiteral("--wait"), 0, 60000);
    o.fast = switches.contains(QStringLiteral("fast"));
    o.json = switches.contains(QStringLiteral("json"));

    switch (o.command) {
    case Command::Help:
        break;
    case Command::Scan:
        expectArguments(positional, 0, 2);
        if (positional.size() > 1)
            o.first = parseAddress(positional[1]);
        if (positional.size() > 2)
            o.last = parseAddress(positional[2]);
        if (o.first > o.last)
            throw UsageError(QStringLiteral("scan: first address %1 above last %2").arg(o.first).arg(o.last));
        break;
    case Command::Identify:
    case Command::Read:
        expectArguments(positional, 1, 1);
        o.address = parseAddress(positional[1]);
        break;
    case Command::Watch:
        expectArguments(positional, 1, 1);
        o.address = parseAddress(positional[1]);
        if (values.contains(QStringLiteral("interval")))
            o.intervalMs =
                parseWhole(values.value(QStringLiteral("interval")), QStringLiteral("--interval"), 0, 86400000);
        if (values.contains(QStringLiteral("count")))
            o.count = parseWhole(values.value(QStringLiteral("count")), QStringLiteral("--count"), 0, 1000000000);
        break;
    case Command::Write: {
        expectArguments(positional, 4, 4);
        o.address = parseAddress(positional[1]);
        o.channel = parseWhole(positional[2], QStringLiteral("channel"), 1, kChannels);
        o.quantity = static_cast<int>(quantity_names().indexOf(positional[3]));
        if (o.quantity < 0)
            throw UsageError(QStringLiteral("unknown quantity \"%1\" (nu, vu, gis_nu, gis_vu)").arg(positional[3]));
        const auto v = parse_thousandths(positional[4]);
        if (!v)
            throw UsageError(QStringLiteral("bad number \"%1\"").arg(positional[4]));
        o.thousandths = *v;
        break;
    }
    case Command::Diag:
        expectArguments(positional, 2, 2);
        o.address = parseAddress(positional[1]);
        if (!kDiagKinds.contains(positional[2]))
            throw UsageError(
                QStringLiteral("unknown diagnostic \"%1\" (echo, restart, register, listen)").arg(positional[2]));
        o.diag = kDiagKinds.value(positional[2]);
        break;
    case Command::Baud:
        expectArguments(positional, 1, 1);
        if (!line_speeds().contains(positional[1]))
            throw UsageError(
                QStringLiteral("unknown line speed \"%1\" (1200, 2400, 4800, 9600, 19200)").arg(positional[1]));
        o.speed = positional[1];
        break;
    case Command::Raw:
        expectArguments(positional, 1, 1);
        o.frame = parseHexFrame(positional[1]);
        o.crc = switches.contains(QStringLiteral("crc"));
        if (values.contains(QStringLiteral("cap")))
            o.cap = parseWhole(values.value(QStringLiteral("cap")), QStringLiteral("--cap"), 1, 4096);
        break;
    }
    return o;
}

const QStringList &quantity_names()
{
    static const QStringList names = {QStringLiteral("nu"), QStringLiteral("vu"), QStringLiteral("gis_nu"),
                                      QStringLiteral("gis_vu")};
    return names;
}

std::optional<double> engineering(const Tarr_channel &channel)
{
    if (channel.point < 1 || channel.point > 4)
        return std::nullopt;
    return double(channel.value) / point_divisor(channel.point);
}

QString engineering_text(const Tarr_channel &channel)
{
    if (channel.point < 1 || channel.point > 4)
        return QStringLiteral("-");
    const int decimals = 4 - channel.point;
    if (decimals == 0)
        return QString::number(channel.value);
    const qint64 divisor = point_divisor(channel.point);
    const qint64 v = channel.value;
    const qint64 a = v < 0 ? -v : v;
    return QStringLiteral("%1%2.%3")
        .arg(v < 0 ? QStringLiteral("-") : QString())
        .arg(a / divisor)
        .arg(a % divisor, decimals, 10, QLatin1Char('0'));
}

QJsonObject node_json(int address, const QString &result, const Tarr_node &node)
{
    const Tarr_state &st = node.state;
    const QJsonObject state{{QStringLiteral("mode_bit7"), st.mode_bit7},
                            {QStringLiteral("prog_mode"), st.prog_mode},
                            {QStringLiteral("settings_changed"), st.settings_changed},
                            {QStringLiteral("display_quantity"), st.display_quantity},
                            {QStringLiteral("display_channel"), st.display_channel}};
    QJsonArray channels;
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_channel &ch = node.channels[c];
        const Tarr_setup &s = node.setup[c];
        const QJsonObject setup{{QStringLiteral("gain"), s.gain},
                                {QStringLiteral("zero"), s.zero},
                                {QStringLiteral("range_min"), s.range_min},
                                {QStringLiteral("nu"), s.nu},
                                {QStringLiteral("vu"), s.vu},
                                {QStringLiteral("range_max"), s.range_max},
                                {QStringLiteral("point_pos"), s.point_pos},
                                {QStringLiteral("gis_nu"), s.gis_nu},
                                {QStringLiteral("gis_vu"), s.gis_vu},
                                {QStringLiteral("raw"), s.raw},
                                {QStringLiteral("conv_error"), s.conv_error}};
        const auto eng = engineering(ch);
        channels.append(QJsonObject{{QStringLiteral("channel"), c},
                                    {QStringLiteral("value"), ch.value},
                                    {QStringLiteral("point"), ch.point},
                                    {QStringLiteral("engineering"), eng ? QJsonValue(*eng) : QJsonValue()},
                                    {QStringLiteral("alarm_nu"), ch.alarm_nu},
                                    {QStringLiteral("alarm_vu"), ch.alarm_vu},
                                    {QStringLiteral("setup"), setup}});
    }
    return {{QStringLiteral("address"), address},
            {QStringLiteral("result"), result},
            {QStringLiteral("state"), state},
            {QStringLiteral("channels"), channels}};
}

QStringList node_table(int address, const QString &result, const Tarr_node &node)
{
    const Tarr_state &st = node.state;
    QStringList lines;
    lines << QStringLiteral("address %1: %2").arg(address).arg(result.isEmpty() ? QStringLiteral("Ok") : result);
    lines << QStringLiteral("state: mode_bit7 %1  prog_mode %2  settings_changed %3  display_quantity %4  "
                            "display_channel %5")
                 .arg(st.mode_bit7)
                 .arg(st.prog_mode)
                 .arg(st.settings_changed)
                 .arg(st.display_quantity)
                 .arg(st.display_channel);
    if (st.prog_mode == 1) {
        lines << QStringLiteral("the node is in programming mode: channels not read");
        return lines;
    }
    // Setpoints, hysteresis and the range are shown in engineering units.
    lines << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11 %12 %13 %14 %15 %16")
                 .arg(QStringLiteral("ch"), 2)
                 .arg(QStringLiteral("reading"), 12)
                 .arg(QStringLiteral("value"), 11)
                 .arg(QStringLiteral("pt"), 2)
                 .arg(QStringLiteral("alarm"), 5)
                 .arg(QStringLiteral("nu"), 12)
                 .arg(QStringLiteral("vu"), 12)
                 .arg(QStringLiteral("gis_nu"), 10)
                 .arg(QStringLiteral("gis_vu"), 10)
                 .arg(QStringLiteral("range_min"), 13)
                 .arg(QStringLiteral("range_max"), 13)
                 .arg(QStringLiteral("gain"), 11)
                 .arg(QStringLiteral("zero"), 6)
                 .arg(QStringLiteral("pp"), 2)
                 .arg(QStringLiteral("raw"), 6)
                 .arg(QStringLiteral("err"), 3);
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_channel &ch = node.channels[c];
        const Tarr_setup &s = node.setup[c];
        QString alarm = ch.alarm_nu ? QStringLiteral("NU") : QStringLiteral("--");
        alarm += ch.alarm_vu ? QStringLiteral(" VU") : QStringLiteral(" --");
        lines << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11 %12 %13 %14 %15 %16")
                     .arg(c, 2)
                     .arg(engineering_text(ch), 12)
                     .arg(ch.value, 11)
                     .arg(ch.point, 2)
                     .arg(alarm, 5)
                     .arg(thousandthsText(s.nu), 12)
                     .arg(thousandthsText(s.vu), 12)
                     .arg(thousandthsText(s.gis_nu), 10)
                     .arg(thousandthsText(s.gis_vu), 10)
                     .arg(thousandthsText(s.range_min), 13)
                     .arg(thousandthsText(s.range_max), 13)
                     .arg(s.gain, 11)
                     .arg(s.zero, 6)
                     .arg(s.point_pos, 2)
                     .arg(s.raw, 6)
                     .arg(s.conv_error, 3);
    }
    return lines;
}

Output standard_output()
{
    auto writer = [](std::FILE *f) {
        return [f](const QString &line) {
            const QByteArray bytes = line.toUtf8() + '\n';
            std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), f);
            std::fflush(f);
        };
    };
    return {writer(stdout), writer(stderr)};
}

QCoro::Task<int> run(Options o, Output out)
{
    reset_node_table_state();
    ComPort port;
    PortSettings settings;
    settings.port = o.port;
    if (baudRateTexts().contains(QString::number(o.baud))) {
        settings.baudRate = QString::number(o.baud);
    } else {
        settings.baudRate = QStringLiteral("Custom");
        settings.customBaudRate = o.baud;
    }
    settings.dataBits = QStringLiteral("8");
    settings.parity = QStringLiteral("None");
    settings.stopBits = QStringLiteral("2");
    settings.flowControl = QStringLiteral("None");
    port.setSettings(settings);
    try {
        port.open();
    } catch (const PortError &e) {
        out.error(kPrefix + QStringLiteral("cannot open the port: %1").arg(e.message()));
        co_return kExitDevice;
    }

    Transaction line(port);
    line.setAnswerWait(o.waitMs);
    line.setFastSpeed(o.fast);

    int code = kExitDevice;
    QString failure;
    try {
        switch (o.command) {
        case Command::Help:
            out.line(usage_text());
            code = kExitOk;
            break;
        case Command::Scan:
            code = co_await runScan(line, o, out);
            break;
        case Command::Identify:
            code = co_await runIdentify(line, o, out);
            break;
        case Command::Read:
            code = co_await runRead(line, o, out);
            break;
        case Command::Watch:
            code = co_await runWatch(line, o, out);
            break;
        case Command::Write:
            code = co_await runWrite(line, o, out);
            break;
        case Command::Diag:
            code = co_await runDiag(line, o, out);
            break;
        case Command::Baud:
            code = co_await runBaud(line, o, out);
            break;
        case Command::Raw:
            code = co_await runRaw(line, o, out);
            break;
        }
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    if (!failure.isEmpty()) {
        out.error(kPrefix + failure);
        code = kExitDevice;
    }
    port.close();
    co_return code;
}

} // namespace qlx::ctl
