// Scenario files: a JSON description of the line, checked as a whole before
// any of it is applied. Unknown keys are errors, so that a misspelt fault
// does not silently leave a node healthy.
#include "tools/sim/line_simulator.h"

#include "base/unit_crc.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <limits>
#include <numbers>

namespace qlx::sim {

namespace {

struct ScenarioError {
    QString message;
};

[[noreturn]] void fail(const QString &message)
{
    throw ScenarioError{message};
}

void checkKeys(const QJsonObject &object, const QStringList &known, const QString &where)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            fail(QStringLiteral("%1: unknown key \"%2\"").arg(where, it.key()));
    }
}

double number(const QJsonValue &value, const QString &what, double min, double max)
{
    if (!value.isDouble())
        fail(QStringLiteral("%1 must be a number").arg(what));
    const double v = value.toDouble();
    if (v < min || v > max)
        fail(QStringLiteral("%1 must be within %2..%3").arg(what).arg(min).arg(max));
    return v;
}

qint64 integer(const QJsonValue &value, const QString &what, qint64 min, qint64 max)
{
    const double v = number(value, what, static_cast<double>(min), static_cast<double>(max));
    if (v != std::floor(v))
        fail(QStringLiteral("%1 must be a whole number").arg(what));
    return static_cast<qint64>(v);
}

bool boolean(const QJsonValue &value, const QString &what)
{
    if (!value.isBool())
        fail(QStringLiteral("%1 must be true or false").arg(what));
    return value.toBool();
}

// A byte given as a number or as hex text ("21" for device type 2, number 1).
quint8 byteValue(const QJsonValue &value, const QString &what)
{
    if (value.isString()) {
        const QString text = value.toString();
        if (text.isEmpty() || text.size() > 2)
            fail(QStringLiteral("%1 must be one or two hex digits").arg(what));
        try {
            return static_cast<quint8>(hex_to_byte(text));
        } catch (const ConvertError &) {
            fail(QStringLiteral("%1: \"%2\" is not hex").arg(what, text));
        }
    }
    return static_cast<quint8>(integer(value, what, 0, 255));
}

qint32 int32(const QJsonValue &value, const QString &what)
{
    return static_cast<qint32>(integer(value, what, std::numeric_limits<qint32>::min(),
                                       std::numeric_limits<qint32>::max()));
}

void readChannel(const QJsonValue &value, NodeConfig &config, const QString &where)
{
    if (!value.isObject())
        fail(QStringLiteral("%1 must be an object").arg(where));
    const QJsonObject o = value.toObject();
    checkKeys(o, {"channel", "gain", "zero", "point_pos", "range_min", "range_max", "nu", "vu", "gis_nu",
                  "gis_vu", "raw", "raw_amplitude", "raw_period_s", "raw_phase_deg"},
              where);
    if (!o.contains("channel"))
        fail(QStringLiteral("%1: \"channel\" is missing").arg(where));
    const int c = static_cast<int>(integer(o["channel"], where + ".channel", 1, kChannelCount));
    const QString at = QStringLiteral("%1 (channel %2)").arg(where).arg(c);
    ChannelSetup &s = config.channels[static_cast<std::size_t>(c - 1)];
    ChannelMotion &m = config.motion[static_cast<std::size_t>(c - 1)];

    const std::pair<const char *, qint32 *> words32[] = {
        {"gain", &s.gain}, {"range_min", &s.range_min}, {"range_max", &s.range_max}, {"nu", &s.nu},
        {"vu", &s.vu},     {"gis_nu", &s.gis_nu},       {"gis_vu", &s.gis_vu},
    };
    for (const auto &[key, field] : words32) {
        if (o.contains(key))
            *field = int32(o[key], at + "." + key);
    }
    if (o.contains("zero"))
        s.zero = static_cast<quint16>(integer(o["zero"], at + ".zero", 0, 65535));
    if (o.contains("point_pos"))
        s.point_pos = static_cast<quint16>(integer(o["point_pos"], at + ".point_pos", 0, 3));
    // A raw code alone holds still; with an amplitude it swings around it.
    if (o.contains("raw")) {
        m.center = static_cast<double>(integer(o["raw"], at + ".raw", 0, 65535));
        m.amplitude = 0;
    }
    if (o.contains("raw_amplitude"))
        m.amplitude = number(o["raw_amplitude"], at + ".raw_amplitude", 0, 65535);
    if (o.contains("raw_period_s"))
        m.periodS = number(o["raw_period_s"], at + ".raw_period_s", 0.001, 1e9);
    if (o.contains("raw_phase_deg"))
        m.phase = number(o["raw_phase_deg"], at + ".raw_phase_deg", -360, 360) * std::numbers::pi / 180;
}

void readFaults(const QJsonValue &value, NodeFaults &f, const QString &where)
{
    if (!value.isObject())
        fail(QStringLiteral("%1 must be an object").arg(where));
    const QJsonObject o = value.toObject();
    checkKeys(o, {"silent", "silent_from_s", "silent_after_frames", "bad_crc", "seed", "late_ms",
                  "foreign_address", "extra_byte", "leading", "exception", "settings_changed_every_s",
                  "prog_mode", "listen_only", "short_answer", "random_faults", "random_late_ms", "fault_function"},
              where);
    const auto has = [&](const char *key) { return o.contains(key) && !o[key].isNull(); };
    const auto at = [&](const char *key) { return where + "." + key; };

    if (has("silent"))
        f.silent = boolean(o["silent"], at("silent"));
    if (has("silent_from_s"))
        f.silentFromS = number(o["silent_from_s"], at("silent_from_s"), 0, 1e9);
    if (has("silent_after_frames"))
        f.silentAfterFrames = static_cast<int>(integer(o["silent_after_frames"], at("silent_after_frames"), 0,
                                                       std::numeric_limits<int>::max()));
    if (has("bad_crc")) {
        const QJsonValue v = o["bad_crc"];
        f.badCrc = v.isBool() ? (v.toBool() ? 1.0 : 0.0) : number(v, at("bad_crc"), 0, 1);
    }
    if (has("seed"))
        f.seed = static_cast<quint32>(integer(o["seed"], at("seed"), 0, std::numeric_limits<quint32>::max()));
    if (has("late_ms"))
        f.lateMs = number(o["late_ms"], at("late_ms"), 0, 1e7);
    if (has("foreign_address"))
        f.foreignAddress = static_cast<int>(integer(o["foreign_address"], at("foreign_address"), 0, 255));
    if (has("extra_byte"))
        f.extraByte = boolean(o["extra_byte"], at("extra_byte"));
    if (has("leading")) {
        const QJsonValue v = o["leading"];
        const QByteArray text = v.toString().toLatin1();
        const QByteArray bytes = QByteArray::fromHex(text);
        if (!v.isString() || text.size() % 2 != 0 || bytes.toHex().compare(text, Qt::CaseInsensitive) != 0)
            fail(QStringLiteral("%1 must be hex text, two digits a byte").arg(at("leading")));
        f.leading = bytes;
    }
    if (has("exception"))
        f.exception = static_cast<int>(integer(o["exception"], at("exception"), 0, 255));
    if (has("settings_changed_every_s"))
        f.settingsChangedEveryS = number(o["settings_changed_every_s"], at("settings_changed_every_s"), 0, 1e9);
    if (has("prog_mode"))
        f.progMode = boolean(o["prog_mode"], at("prog_mode"));
    if (has("listen_only"))
        f.listenOnly = boolean(o["listen_only"], at("listen_only"));
    if (has("short_answer"))
        f.shortAnswer = boolean(o["short_answer"], at("short_answer"));
    if (has("random_faults"))
        f.randomFaults = number(o["random_faults"], at("random_faults"), 0, 1);
    if (has("random_late_ms"))
        f.randomLateMs = number(o["random_late_ms"], at("random_late_ms"), 0, 1e7);
    if (has("fault_function"))
        f.faultFunction = static_cast<int>(integer(o["fault_function"], at("fault_function"), 0, 255));
}

NodeConfig readNode(const QJsonValue &value, int index)
{
    QString where = QStringLiteral("nodes[%1]").arg(index);
    if (!value.isObject())
        fail(QStringLiteral("%1 must be an object").arg(where));
    const QJsonObject o = value.toObject();
    if (!o.contains("address"))
        fail(QStringLiteral("%1: \"address\" is missing").arg(where));
    const int address = static_cast<int>(integer(o["address"], where + ".address", 1, 255));
    where = QStringLiteral("node %1").arg(address);
    checkKeys(o, {"address", "baud", "identity", "run_status", "details", "moving", "mode", "diagnostic",
                  "channels", "faults"},
              where);

    NodeConfig config = defaultNode(address);
    if (o.contains("baud"))
        config.baud = static_cast<int>(integer(o["baud"], where + ".baud", 1, 4000000));
    if (o.contains("identity"))
        config.identity = byteValue(o["identity"], where + ".identity");
    if (o.contains("run_status"))
        config.runStatus = byteValue(o["run_status"], where + ".run_status");
    if (o.contains("details")) {
        if (!o["details"].isString())
            fail(QStringLiteral("%1.details must be a string").arg(where));
        config.details = o["details"].toString().toLatin1();
        if (config.details.size() > kMaxDetailBytes)
            fail(QStringLiteral("%1.details is longer than %2 bytes").arg(where).arg(kMaxDetailBytes));
    }
    if (o.contains("moving"))
        config.moving = boolean(o["moving"], where + ".moving");
    if (o.contains("mode"))
        config.mode = static_cast<quint16>(integer(o["mode"], where + ".mode", 0, 65535));
    if (o.contains("diagnostic"))
        config.diagnostic = static_cast<quint16>(integer(o["diagnostic"], where + ".diagnostic", 0, 65535));
    if (o.contains("channels")) {
        if (!o["channels"].isArray())
            fail(QStringLiteral("%1.channels must be a list").arg(where));
        const QJsonArray channels = o["channels"].toArray();
        for (qsizetype i = 0; i < channels.size(); ++i)
            readChannel(channels[i], config, QStringLiteral("%1.channels[%2]").arg(where).arg(i));
    }
    if (o.contains("faults"))
        readFaults(o["faults"], config.faults, where + ".faults");
    return config;
}

} // namespace

bool LineSimulator::loadScenario(const QString &file, QString *error)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(file, f.errorString());
        return false;
    }
    QString why;
    if (applyScenario(f.readAll(), &why))
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(file, why);
    return false;
}

bool LineSimulator::applyScenario(const QByteArray &json, QString *error)
{
    try {
        QJsonParseError parseError{};
        const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
        if (parseError.error != QJsonParseError::NoError)
            fail(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
        if (!doc.isObject())
            fail(QStringLiteral("the scenario must be a JSON object"));
        const QJsonObject root = doc.object();
        checkKeys(root, {"latency_ms", "wire_time", "delivery_delay_ms", "nodes"}, QStringLiteral("scenario"));

        std::optional<double> latency;
        std::optional<bool> wire;
        std::optional<double> delivery;
        if (root.contains("latency_ms"))
            latency = number(root["latency_ms"], QStringLiteral("latency_ms"), 0, 1e7);
        if (root.contains("delivery_delay_ms"))
            delivery = number(root["delivery_delay_ms"], QStringLiteral("delivery_delay_ms"), 0, 1e5);
        if (root.contains("wire_time"))
            wire = boolean(root["wire_time"], QStringLiteral("wire_time"));
        QList<NodeConfig> nodes;
        if (root.contains("nodes")) {
            if (!root["nodes"].isArray())
                fail(QStringLiteral("nodes must be a list"));
            const QJsonArray list = root["nodes"].toArray();
            QSet<int> seen;
            for (qsizetype i = 0; i < list.size(); ++i) {
                nodes.append(readNode(list[i], static_cast<int>(i)));
                if (seen.contains(nodes.last().address))
                    fail(QStringLiteral("node %1 is listed twice").arg(nodes.last().address));
                seen.insert(nodes.last().address);
            }
        }

        if (latency)
            setLatencyMs(*latency);
        if (wire)
            setWireTime(*wire);
        if (delivery)
            setDeliveryDelayMs(*delivery);
        for (const NodeConfig &config : nodes)
            addNode(config);
        return true;
    } catch (const ScenarioError &e) {
        if (error)
            *error = e.message;
        return false;
    }
}

} // namespace qlx::sim
