// quorlex-sim: a simulated line of sensor controllers on a pseudo-terminal.
//
// Prints the path the station should open as the first line on stdout, then
// serves the line until SIGTERM, SIGINT or SIGHUP. SIGUSR1 cuts the line (every
// node falls silent), SIGUSR2 joins it again. With --served FILE every value a
// node serves is appended to FILE as it is served.
#include "tools/sim/line_simulator.h"

#include "base/unit_crc.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace qlx::sim;

namespace {

void complain(const QString &message)
{
    std::fprintf(stderr, "quorlex-sim: %s\n", qPrintable(message));
}

bool parseAddresses(const QString &text, QList<int> *addresses)
{
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int address = part.trimmed().toInt(&ok);
        if (!ok || address < 1 || address > 255)
            return false;
        addresses->append(address);
    }
    return !addresses->isEmpty();
}

QString stamp(const LineSimulator &sim)
{
    return QString::number(sim.elapsedNs() / 1e9, 'f', 3);
}

bool sameServed(const ServedValue &a, const ServedValue &b)
{
    return a.address == b.address && a.channel == b.channel && a.atMs == b.atMs && a.value == b.value;
}

// Appends every value the nodes serve to a text file, one "address channel value"
// line each, as it is served, so a script can hold what a station recorded
// against what it was given, however long the simulator runs.
//
// The simulator keeps only its latest served records, dropping the oldest, so
// the file follows them by the last record written rather than by position.
// Writing after every frame keeps the new tail far shorter than the kept records.
class ServedLog {
public:
    bool open(const QString &path, QString *error)
    {
        m_file.setFileName(path);
        if (m_file.open(QIODevice::WriteOnly | QIODevice::Append))
            return true;
        *error = QStringLiteral("cannot open %1 for appending: %2").arg(path, m_file.errorString());
        return false;
    }

    // Writes what was served since the last call.
    void follow(const LineSimulator &sim)
    {
        const QList<ServedValue> &served = sim.servedValues();
        qsizetype first = 0;
        if (m_last) {
            first = served.size();
            while (first > 0 && !sameServed(served.at(first - 1), *m_last))
                --first;
            if (first == 0 && !m_lossReported && !served.isEmpty()) {
                // The last record written is gone from the kept ones: some were never written.
                complain(QStringLiteral("served values were dropped before they reached %1").arg(m_file.fileName()));
                m_lossReported = true;
            }
        }
        if (first >= served.size())
            return;
        QByteArray text;
        for (qsizetype i = first; i < served.size(); ++i) {
            const ServedValue &v = served.at(i);
            text += QByteArray::number(v.address) + ' ' + QByteArray::number(v.channel) + ' '
                + QByteArray::number(v.value, 'g', QLocale::FloatingPointShortest) + '\n';
        }
        m_last = served.last();
        // Handed to the system at once: a reader, or a simulator killed, loses no line.
        if (m_file.write(text) != text.size() || !m_file.flush()) {
            if (!m_writeReported)
                complain(QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
            m_writeReported = true;
        }
    }

private:
    QFile m_file;
    std::optional<ServedValue> m_last;
    bool m_lossReported = false;
    bool m_writeReported = false;
};

// A cut of the whole line: every node falls silent until the line is joined
// again, when each node is as silent as it was before the cut.
class LineCut {
public:
    explicit LineCut(LineSimulator &sim) : m_sim(sim) {}

    void cut()
    {
        if (m_before)
            return;
        m_before.emplace();
        for (const int address : m_sim.addresses()) {
            Node *node = m_sim.node(address);
            (*m_before)[address] = node->faults().silent;
            node->faults().silent = true;
        }
    }

    void join()
    {
        if (!m_before)
            return;
        for (const auto &[address, silent] : *m_before) {
            if (Node *node = m_sim.node(address))
                node->faults().silent = silent;
        }
        m_before.reset();
    }

private:
    LineSimulator &m_sim;
    std::optional<std::map<int, bool>> m_before;
};

} // namespace

int main(int argc, char *argv[])
{
    // Block the stop and line-cut signals before Qt starts any thread, so that
    // they arrive only through the signalfd read on the event loop.
    sigset_t watchedSignals;
    sigemptyset(&watchedSignals);
    sigaddset(&watchedSignals, SIGINT);
    sigaddset(&watchedSignals, SIGTERM);
    sigaddset(&watchedSignals, SIGHUP);
    sigaddset(&watchedSignals, SIGUSR1);
    sigaddset(&watchedSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &watchedSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorlex-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated line of Quorlex sensor controllers on a pseudo-terminal.\n"
                       "Prints the path for the station to open as the first line on stdout."));
    parser.addHelpOption();
    const QCommandLineOption nodesOption(QStringLiteral("nodes"),
                                         QStringLiteral("Nodes with default content, e.g. 5,17,200 (default 1,2,3)."),
                                         QStringLiteral("list"));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
                                            QStringLiteral("JSON scenario: nodes, their content and faults."),
                                            QStringLiteral("file"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Symbolic link to the station's end of the line."),
                                        QStringLiteral("path"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("Serve this terminal device instead of a new pty."),
                                          QStringLiteral("path"));
    const QCommandLineOption latencyOption(QStringLiteral("latency"),
                                           QStringLiteral("Node answer latency in ms (default 2)."),
                                           QStringLiteral("ms"));
    const QCommandLineOption noWireOption(QStringLiteral("no-wire-time"),
                                          QStringLiteral("Answer without modelling the time bytes spend on the wire."));
    const QCommandLineOption deliveryOption(
        QStringLiteral("delivery-delay"),
        QStringLiteral("Hand bytes to the station in batches, this many ms after the first of each\n"
                       "(a USB adapter's latency timer; default 0)."),
        QStringLiteral("ms"));
    const QCommandLineOption demoOption(QStringLiteral("demo"),
                                        QStringLiteral("Eight lively nodes, one alarm, one node going silent."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Log every frame and answer in hex on stderr."));
    const QCommandLineOption servedOption(QStringLiteral("served"),
                                          QStringLiteral("Append every value a node serves to this file as\n"
                                                         "\"address channel value\" lines."),
                                          QStringLiteral("file"));
    parser.addOptions({nodesOption, scenarioOption, linkOption, deviceOption, latencyOption, noWireOption,
                       deliveryOption, demoOption, verboseOption, servedOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
        return 2;
    }

    LineSimulator sim;

    // Nodes: --demo or --nodes first, a scenario adds to or replaces them;
    // with neither nodes nor a scenario the line holds nodes 1, 2 and 3.
    QList<int> addresses;
    if (parser.isSet(nodesOption) && !parseAddresses(parser.value(nodesOption), &addresses)) {
        complain(QStringLiteral("--nodes wants addresses 1..255 separated by commas"));
        return 2;
    }
    if (!parser.isSet(nodesOption) && !parser.isSet(demoOption) && !parser.isSet(scenarioOption))
        addresses = {1, 2, 3};
    if (parser.isSet(demoOption)) {
        for (const NodeConfig &config : demoLine())
            sim.addNode(config);
    }
    for (const int address : addresses)
        sim.addNode(defaultNode(address));
    QString error;
    if (parser.isSet(scenarioOption) && !sim.loadScenario(parser.value(scenarioOption), &error)) {
        complain(error);
        return 2;
    }
    // The command line has the last word over the scenario.
    if (parser.isSet(latencyOption)) {
        bool ok = false;
        const double latency = parser.value(latencyOption).toDouble(&ok);
        if (!ok || latency < 0) {
            complain(QStringLiteral("--latency wants a number of milliseconds"));
            return 2;
        }
        sim.setLatencyMs(latency);
    }
    if (parser.isSet(noWireOption))
        sim.setWireTime(false);
    if (parser.isSet(deliveryOption)) {
        bool ok = false;
        const double delay = parser.value(deliveryOption).toDouble(&ok);
        if (!ok || delay < 0) {
            complain(QStringLiteral("--delivery-delay wants a number of milliseconds"));
            return 2;
        }
        sim.setDeliveryDelayMs(delay);
    }

    ServedLog servedLog;
    if (parser.isSet(servedOption) && !servedLog.open(parser.value(servedOption), &error)) {
        complain(error);
        return 1;
    }

    const bool opened = parser.isSet(deviceOption) ? sim.openDevice(parser.value(deviceOption), &error)
                                                   : sim.openPty(&error);
    if (!opened) {
        complain(error);
        return 1;
    }
    if (parser.isSet(linkOption)) {
        if (!parser.isSet(deviceOption) && !sim.makeLink(parser.value(linkOption), &error)) {
            complain(error);
            return 1;
        }
        if (parser.isSet(deviceOption))
            complain(QStringLiteral("--link is ignored with --device"));
    }

    const int signalFd = signalfd(-1, &watchedSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        complain(QStringLiteral("cannot watch for stop signals"));
        return 1;
    }
    LineCut lineCut(sim);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [signalFd, &lineCut, &sim] {
        signalfd_siginfo info{};
        bool stop = false;
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGUSR1) {
                lineCut.cut();
                std::fprintf(stderr, "%s line cut: every node silent\n", qPrintable(stamp(sim)));
            } else if (info.ssi_signo == SIGUSR2) {
                lineCut.join();
                std::fprintf(stderr, "%s line joined: nodes answer again\n", qPrintable(stamp(sim)));
            } else {
                stop = true;
            }
        }
        if (stop)
            QCoreApplication::quit();
    });

    // A simulator serving for days keeps only the latest records.
    sim.setRecordLimit(10000);

    // Every frame's served values reach the file before the next frame can drop any.
    if (parser.isSet(servedOption))
        QObject::connect(&sim, &LineSimulator::frameReceived, &sim, [&sim, &servedLog] { servedLog.follow(sim); });

    if (parser.isSet(verboseOption)) {
        QObject::connect(&sim, &LineSimulator::frameReceived, &sim, [&sim](const QByteArray &frame, int baud) {
            const bool heard = !sim.frames().isEmpty() && sim.frames().last().heard;
            std::fprintf(stderr, "%s rx %6d %s%s\n", qPrintable(stamp(sim)), baud,
                         qPrintable(qlx::bytes_to_hex(frame)), heard ? "" : "  (not heard)");
        });
        QObject::connect(&sim, &LineSimulator::answerSent, &sim, [&sim](const QByteArray &answer) {
            std::fprintf(stderr, "%s tx %6d %s\n", qPrintable(stamp(sim)), sim.lineBaud(),
                         qPrintable(qlx::bytes_to_hex(answer)));
        });
        QStringList nodes;
        for (const int address : sim.addresses())
            nodes.append(QString::number(address));
        complain(QStringLiteral("serving %1 with nodes %2").arg(sim.devicePath(), nodes.join(QLatin1Char(','))));
    }

    // The first line on stdout is what scripts and tests wait for.
    const QString stationEnd = sim.stationPath().isEmpty() ? sim.devicePath() : sim.stationPath();
    std::printf("%s\n", qPrintable(stationEnd));
    std::fflush(stdout);

    const int rc = app.exec();
    sim.close();   // also removes the link
    ::close(signalFd);
    return rc;
}
