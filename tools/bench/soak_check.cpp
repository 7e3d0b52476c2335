// Checks what a station recorded against what a simulated line served it.
//
//   soak_check --home DIR --served FILE [--tolerance X]
//
// DIR is a station folder: its value logs logs/log_*.txt (code page 1251,
// tab-separated, a header line first; node address, date, time, then the twelve
// channel values with a decimal comma) and the history database its bd/ link
// names. FILE holds the values the simulator served, one "address channel value"
// line each, in the order served (quorlex-sim --served FILE).
//
// For every node and channel, the values recorded, in the order recorded, must be
// values served for that node and channel, in the order served: a subsequence, as
// a read may serve a value nobody keeps. Recorded and served values match within
// half the last digit the channel shows; the digits a channel shows are the most
// decimals any of its recorded values has (at most three), unless --tolerance
// gives one tolerance for all channels.
//
// Prints the counts (value-log rows, database rows, served values) and the first
// value that breaks the order, if any. Exit status 0 when every recorded value
// was served in order, 1 otherwise (also when the inputs cannot be read), 2 for
// bad arguments.
#include "base/station_folder.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

using namespace qlx;

namespace {

constexpr int kChannels = 12;
constexpr int kMaxDecimals = 3;   // thousandths: the finest a channel shows

using Key = QPair<int, int>;   // node address, channel

// A recorded value and where it was read from, for the report.
struct Recorded {
    double value = 0;
    QString where;
};

struct Series {
    QList<Recorded> values;
    int decimals = 0;   // the most decimals any of them shows
};

using Recordings = QMap<Key, Series>;

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
}

void complain(const QString &text)
{
    std::fprintf(stderr, "soak_check: %s\n", qPrintable(text));
}

// Decimals a log field shows, trailing zeros left out: "12,3400" shows 2.
int shownDecimals(const QString &text)
{
    const qsizetype comma = text.indexOf(QLatin1Char(','));
    if (comma < 0)
        return 0;
    qsizetype end = text.size();
    while (end > comma + 1 && text.at(end - 1) == QLatin1Char('0'))
        --end;
    return int(end - comma - 1);
}

// Decimals a stored number needs, up to four.
int neededDecimals(double value)
{
    for (int d = 0; d < 4; ++d) {
        const double scaled = value * std::pow(10.0, d);
        if (std::abs(scaled - std::round(scaled)) < 1e-6 * std::max(1.0, std::abs(scaled)))
            return d;
    }
    return 4;
}

struct Served {
    QMap<Key, QList<double>> values;
    qint64 count = 0;
    qint64 badLines = 0;
};

std::optional<Served> readServed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    Served served;
    qint64 lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        bool okAddress = false, okChannel = false, okValue = false;
        const int address = fields.size() == 3 ? fields.at(0).toInt(&okAddress) : 0;
        const int channel = fields.size() == 3 ? fields.at(1).toInt(&okChannel) : 0;
        const double value = fields.size() == 3 ? fields.at(2).toDouble(&okValue) : 0;
        if (!okAddress || !okChannel || !okValue) {
            if (served.badLines++ == 0)
                complain(QStringLiteral("%1 line %2 is not \"address channel value\": %3")
                             .arg(path).arg(lineNumber).arg(QString::fromLatin1(line)));
            continue;
        }
        served.values[{address, channel}].append(value);
        ++served.count;
    }
    return served;
}

struct LogReading {
    Recordings recordings;
    qint64 rows = 0;
    qint64 badRows = 0;
    QString firstBad;
};

// Every value log of the folder, in name (that is, date) order.
LogReading readValueLogs(const StationFolder &folder)
{
    LogReading reading;
    const QDir logs(folder.logsDir());
    for (const QString &name : logs.entryList({QStringLiteral("log_??????.txt")}, QDir::Files, QDir::Name)) {
        QFile file(logs.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            ++reading.badRows;
            if (reading.firstBad.isEmpty())
                reading.firstBad = QStringLiteral("%1 cannot be read: %2").arg(name, file.errorString());
            continue;
        }
        const QStringList lines = from_cp1251(file.readAll()).split(QStringLiteral("\r\n"));
        // The first line is the header; the last, after the final CR LF, is empty.
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QString &line = lines.at(i);
            if (line.isEmpty() && i == lines.size() - 1)
                continue;
            const QString where = QStringLiteral("%1 line %2").arg(name).arg(i + 1);
            const QStringList fields = line.split(QLatin1Char('\t'));
            bool ok = fields.size() >= 3 + kChannels;
            const int address = ok ? fields.at(0).toInt(&ok) : 0;
            QList<double> values;
            for (int c = 1; ok && c <= kChannels; ++c) {
                QString text = fields.at(2 + c);
                values.append(text.replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok));
            }
            if (!ok) {
                if (reading.badRows++ == 0)
                    reading.firstBad = QStringLiteral("%1 is not a value row: %2").arg(where, line);
                continue;
            }
            ++reading.rows;
            for (int c = 1; c <= kChannels; ++c) {
                Series &series = reading.recordings[{address, c}];
                series.values.append({values.at(c - 1), where});
                series.decimals = std::max(series.decimals, shownDecimals(fields.at(2 + c)));
            }
        }
    }
    return reading;
}

struct DatabaseReading {
    Recordings recordings;
    qint64 rows = 0;
    QString error;
};

// Every history row, per node and channel in the order written: SQLite by rowid;
// PostgreSQL by the poll time, rows of one second by their place in the table.
DatabaseReading readDatabase(const StationFolder &folder)
{
    DatabaseReading reading;
    TDM_local dm;
    if (!dm.open_history_database(folder.bdDir())) {
        reading.error = dm.last_error();
        return reading;
    }
    const QString order = dm.engine() == HistoryEngine::SQLite ? QStringLiteral("rowid")
                                                                : QStringLiteral("rec_time, ctid");
    QSqlQuery query(dm.ADOCon());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("select sensor, chanel, izm, rec_time from Sensors_history order by ") + order)) {
        reading.error = query.lastError().text();
        return reading;
    }
    while (query.next()) {
        ++reading.rows;
        const int sensor = query.value(0).toInt();
        const int channel = query.value(1).toInt();
        const double izm = query.value(2).toDouble();
        Series &series = reading.recordings[{sensor, channel}];
        series.values.append({izm, QStringLiteral("row %1 (%2)").arg(reading.rows).arg(query.value(3).toString())});
        series.decimals = std::max(series.decimals, neededDecimals(izm));
    }
    return reading;
}

// The first recorded value of a series that no served value matches after the
// previous match; empty when all match.
QString firstUnserved(const Key &key, const Series &series, const QList<double> &served, double tolerance)
{
    qsizetype next = 0;
    for (qsizetype i = 0; i < series.values.size(); ++i) {
        const Recorded &recorded = series.values.at(i);
        const qsizetype from = next;
        while (next < served.size() && std::abs(served.at(next) - recorded.value) > tolerance)
            ++next;
        if (next < served.size()) {
            ++next;
            continue;
        }
        QString around;
        if (served.isEmpty()) {
            around = QStringLiteral("nothing was served for it");
        } else {
            QStringList following;
            for (qsizetype k = from; k < std::min(from + 5, served.size()); ++k)
                following << QString::number(served.at(k), 'g', 10);
            const qsizetype anywhere = std::count_if(served.cbegin(), served.cend(), [&](double v) {
                return std::abs(v - recorded.value) <= tolerance;
            });
            around = QStringLiteral("%1 served for it; from served #%2 on, after the previous match: %3%4; %5")
                         .arg(served.size())
                         .arg(from + 1)
                         .arg(following.isEmpty() ? QStringLiteral("none") : following.join(QLatin1Char(' ')))
                         .arg(served.size() > from + 5 ? QStringLiteral(" ...") : QString())
                         .arg(anywhere ? QStringLiteral("it was served for it, but only earlier")
                                       : QStringLiteral("it was never served for it"));
        }
        return QStringLiteral("node %1 channel %2, recorded value #%3 %4 (%5), tolerance %6: %7")
            .arg(key.first)
            .arg(key.second)
            .arg(i + 1)
            .arg(recorded.value, 0, 'g', 10)
            .arg(recorded.where)
            .arg(tolerance)
            .arg(around);
    }
    return {};
}

struct CheckResult {
    qint64 values = 0;
    QString firstMismatch;
};

CheckResult check(const Recordings &recordings, const Served &served, std::optional<double> tolerance)
{
    CheckResult result;
    for (auto it = recordings.cbegin(); it != recordings.cend(); ++it) {
        result.values += it.value().values.size();
        if (!result.firstMismatch.isEmpty())
            continue;
        const int decimals = std::min(it.value().decimals, kMaxDecimals);
        const double within = tolerance ? *tolerance : 0.5 * std::pow(10.0, -decimals) + 1e-9;
        result.firstMismatch = firstUnserved(it.key(), it.value(), served.values.value(it.key()), within);
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("soak_check"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks that every value a station folder recorded (value logs, history database)\n"
                       "was served by the simulated line, per node and channel in the order served."));
    parser.addHelpOption();
    const QCommandLineOption homeOption(QStringLiteral("home"), QStringLiteral("The station folder."),
                                        QStringLiteral("dir"));
    const QCommandLineOption servedOption(QStringLiteral("served"),
                                          QStringLiteral("The simulator's served values (quorlex-sim --served)."),
                                          QStringLiteral("file"));
    const QCommandLineOption toleranceOption(
        QStringLiteral("tolerance"),
        QStringLiteral("One tolerance for every channel instead of half the last digit it shows."),
        QStringLiteral("x"));
    parser.addOptions({homeOption, servedOption, toleranceOption});
    parser.process(app);
    if (!parser.isSet(homeOption) || !parser.isSet(servedOption) || !parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("usage: soak_check --home DIR --served FILE [--tolerance X]"));
        return 2;
    }
    std::optional<double> tolerance;
    if (parser.isSet(toleranceOption)) {
        bool ok = false;
        tolerance = parser.value(toleranceOption).toDouble(&ok);
        if (!ok || *tolerance < 0) {
            complain(QStringLiteral("--tolerance wants a number of at least 0"));
            return 2;
        }
    }

    const StationFolder folder(parser.value(homeOption));
    const std::optional<Served> served = readServed(parser.value(servedOption));
    if (!served)
        return 1;
    const LogReading logs = readValueLogs(folder);
    const DatabaseReading database = readDatabase(folder);

    say(QStringLiteral("served values:      %1 (%2 nodes and channels)%3")
            .arg(served->count)
            .arg(served->values.size())
            .arg(served->badLines ? QStringLiteral(", %1 unreadable lines skipped").arg(served->badLines) : QString()));
    const CheckResult inLogs = check(logs.recordings, *served, tolerance);
    say(QStringLiteral("value-log rows:     %1 (%2 values)%3")
            .arg(logs.rows)
            .arg(inLogs.values)
            .arg(logs.badRows ? QStringLiteral(", %1 unreadable rows").arg(logs.badRows) : QString()));
    CheckResult inDatabase;
    if (database.error.isEmpty()) {
        inDatabase = check(database.recordings, *served, tolerance);
        say(QStringLiteral("database rows:      %1").arg(database.rows));
    } else {
        say(QStringLiteral("database rows:      unreadable: %1").arg(database.error));
    }

    bool ok = true;
    if (logs.badRows) {
        say(QStringLiteral("value log: %1").arg(logs.firstBad));
        ok = false;
    }
    if (!inLogs.firstMismatch.isEmpty()) {
        say(QStringLiteral("first mismatch in the value logs: %1").arg(inLogs.firstMismatch));
        ok = false;
    }
    if (!database.error.isEmpty()) {
        ok = false;
    } else if (!inDatabase.firstMismatch.isEmpty()) {
        say(QStringLiteral("first mismatch in the history database: %1").arg(inDatabase.firstMismatch));
        ok = false;
    }
    say(ok ? QStringLiteral("every recorded value was served, in order")
           : QStringLiteral("recorded values do not follow the served ones"));
    return ok ? 0 : 1;
}
