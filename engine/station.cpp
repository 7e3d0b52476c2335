#include "engine/station.h"

#include "base/logging.h"
#include "base/node_table.h"
#include "base/progress.h"
#include "base/unit_procedure.h"
#include "base/unit_crc.h"
#include "line/unit_protocol.h"
#include "storage/unit_files.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace qlx {

Station::Station(QObject *parent)
    : QObject(parent),
      m_line(m_port),
      m_scanCaption(kScanCaption)
{
    m_portRetry.setInterval(kDefaultPortRetryMs);
    connect(&m_port, &ComPort::failed, this, &Station::onPortFailed);
    connect(&m_portRetry, &QTimer::timeout, this, &Station::retryPort);
}

Station::~Station() = default;

void Station::setStatusPanel(int panel, const QString &text)
{
    m_status.at(static_cast<std::size_t>(panel)) = text;
    emit statusPanelChanged(panel, text);
}

void Station::setScanCaption(const QString &caption)
{
    m_scanCaption = caption;
    emit scanCaptionChanged(caption);
}

void Station::useFolder(const StationFolder &folder)
{
    m_folder.emplace(folder);
    m_settings.emplace(folder);
}

QCoro::Task<void> Station::start_network()
{
    co_await Set_baud(m_line, m_lineSpeedText);
    emit speedTicked(m_lineSpeedText);
}

QCoro::Task<void> Station::change_speed(QString speedText)
{
    m_lineSpeedText = speedText;
    emit speedTicked(speedText);
    // The nodes hear the new speed at the speed they still use; only then does the port follow.
    co_await Set_baud(m_line, speedText);
    m_port.setSpeed(speedText.toInt());
}

void Station::warn(const QString &text)
{
    const QString line = time_stamp() + QStringLiteral(" - ") + text;
    m_eventLog.append(line);
    std::fprintf(stderr, "quorlex-station: %s\n", line.toLocal8Bit().constData());
}

bool Station::writeLog(DailyLog log, const std::function<void()> &write)
{
    bool &failing = m_logFailing.at(static_cast<std::size_t>(log));
    try {
        write();
    } catch (const LogWriteError &e) {
        if (!failing) {
            failing = true;
            const QString text = QString::fromUtf8(e.what());
            warn(text);
            setStatusPanel(1, time_stamp() + QStringLiteral(" - ") + text);
        }
        return false;
    }
    if (failing) {
        failing = false;
        static const std::array<QString, 3> names = {QStringLiteral("журнал значений"),
                                                     QStringLiteral("журнал уставок"),
                                                     QStringLiteral("журнал тревог")};
        warn(QStringLiteral("Запись в ") + names.at(static_cast<std::size_t>(log)) + QStringLiteral(" возобновлена"));
    }
    return true;
}

void Station::onPortFailed(const QString &reason)
{
    const QString text = QStringLiteral("COM порт %1 потерян (%2); повторное открытие каждые %3 сек.")
                             .arg(m_port.settings().port, reason, seconds_text(m_portRetry.interval()));
    warn(text);
    setStatusPanel(1, time_stamp() + QStringLiteral(" - ") + text);
    m_portRetry.start();
    emit portLost(reason);
}

void Station::retryPort()
{
    if (m_port.isOpen()) {
        m_portRetry.stop();
        return;
    }
    try {
        m_port.open();
    } catch (const PortError &e) {
        qCDebug(lcPort) << "reopen failed:" << e.what();
        return;
    }
    m_portRetry.stop();
    const QString text = QStringLiteral("COM порт %1 снова открыт").arg(m_port.settings().port);
    warn(text);
    setStatusPanel(1, time_stamp() + QStringLiteral(" - ") + text);
    emit portRestored();
}

bool Station::toggle_port()
{
    // The operator's open or close ends the station's own attempts.
    m_portRetry.stop();
    if (m_port.isOpen()) {
        m_port.close();
        return false;
    }
    try {
        m_port.open();
    } catch (const PortError &e) {
        qCWarning(lcPort) << "open failed:" << e.what();
    }
    return m_port.isOpen();
}

bool Station::load_port_settings()
{
    const QString path = m_folder->iniFile(QStringLiteral("Com_setup_modbus.ini"));
    if (!QFileInfo::exists(path))
        return false;
    const IniFile ini(path);
    const QStringList corrections = m_port.loadSettings(ini);
    for (const QString &text : corrections)
        warn(text);
    // A file that cannot be read, or names no port, leaves the built-in port: said
    // before anything opens it.
    if (!QFileInfo(path).isReadable() || !ini.hasKey(QStringLiteral("ComPort"), QStringLiteral("Port")))
        warn(QStringLiteral("Файл настроек порта %1 не читается или не называет порт; используется порт %2")
                 .arg(QDir::toNativeSeparators(path), m_port.settings().port));
    return true;
}

bool Station::store_port_settings()
{
    IniFile ini(m_folder->iniFile(QStringLiteral("Com_setup_modbus.ini")));
    return m_port.storeSettings(ini);
}

bool Station::set_modem_line(bool dtr, bool on)
{
    try {
        if (dtr)
            m_port.setDtr(on);
        else
            m_port.setRts(on);
        return true;
    } catch (const PortError &e) {
        m_eventLog.appendStamped(QStringLiteral(" - ") + e.message());
        return false;
    }
}

bool Station::set_dtr(bool on)
{
    return set_modem_line(true, on);
}

bool Station::set_rts(bool on)
{
    return set_modem_line(false, on);
}

void Station::set_fast_speed(bool on)
{
    m_line.setFastSpeed(on);
    if (m_settings)
        m_settings->setFastSpeed(on);
}

bool Station::answersAs(int a, const QByteArray &answer)
{
    // Noise, a frame of another node or a late answer to another request is no sign of
    // a node at this address: only an intact frame from it counts.
    return answer.size() >= 4 && crc_ok(answer) && static_cast<quint8>(answer[0]) == (a & 0xFF);
}

QCoro::Task<QByteArray> Station::identify(int a)
{
    co_return co_await m_line.Timed_exchange(Build_identify(a), kIdentifyCap);
}

QCoro::Task<void> Station::Test_net_quorlex(int a)
{
    const QByteArray answer = co_await identify(a);
    if (!answersAs(a, answer))
        co_return;
    Parse_identify(a, answer, last_result);
    found_count += 1;
    // Nothing of the slot's previous occupant (setup, readings, alarms) survives.
    arr_nodes[found_count] = Tarr_node{};
    arr_nodes[found_count].address = a;
    m_nodeList.append(node_item_text(found_count, a));
}

QCoro::Task<bool> Station::test_quorlex_in_net(int a)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QByteArray answer = co_await identify(a);
        if (answersAs(a, answer)) {
            Parse_identify(a, answer, last_result);
            co_return true;
        }
    }
    co_return false;
}

QCoro::Task<void> Station::mnu_refresh_networkClick()
{
    // Stopping takes effect at once, so the scan ends after the address in progress;
    // the presence probe of address 1 that every scan command sends follows.
    const bool stopping = scan_running != 0;
    if (!stopping) {
        if (!m_port.isOpen())
            throw CommandRefused(QStringLiteral("Опрос сети невозможен: COM порт закрыт."));
        if (m_pollingActive)
            throw CommandRefused(
                QStringLiteral("Опрос сети невозможен во время автоматического обновления.\n\rОтключите автоматическое обновление."));
    }
    if (stopping) {
        scan_running = 0;
        setScanCaption(kScanCaption);
    }
    try {
        co_await test_quorlex_in_net(1);
    } catch (const PortError &e) {
        m_eventLog.appendStamped(QStringLiteral(" - ") + e.message());
    }
    if (stopping || scan_running)
        co_return;
    scan_running = 1;
    setScanCaption(kStopScanCaption);
    // A scan told to stop and started again before it saw the stop simply goes on.
    if (m_scanActive)
        co_return;
    co_await service_events();
    if (scan_running)
        co_await Refresh_network();
}

QCoro::Task<void> Station::Refresh_network()
{
    m_scanActive = true;
    m_eventLog.appendStamped(QStringLiteral(" - Начало опроса сети..."));
    VrProgressBar().setMaximum(255);
    VrProgressBar().setPosition(0);
    found_count = 0;
    m_nodeList.clear();
    reset_cell_grid();
    reset_node_addresses();

    int last = 0;
    try {
        if (m_resetComPorts)
            co_await Set_baud(m_line, m_lineSpeedText);
        for (int a = 1; a <= 255; ++a) {
            if (m_resetComPorts)
                co_await Diag_restart(m_line, a);
            co_await Test_net_quorlex(a);
            last = a;
            VrProgressBar().setPosition(a);
            setStatusPanel(0, QStringLiteral("Опрос узла - ") + QString::number(a));
            co_await service_events();
            if (!scan_running) {
                m_eventLog.appendStamped(QStringLiteral(" - Выполнение прервано по запросу пользователя..."));
                break;
            }
        }
    } catch (const PortError &e) {
        // The line is gone (port closed or unplugged): say so instead of pretending to scan on.
        qCWarning(lcLine) << "scan ended:" << e.what();
        m_eventLog.appendStamped(QStringLiteral(" - Опрос сети прерван: ") + e.message());
    }

    VrProgressBar().setPosition(0);
    setStatusPanel(0, QStringLiteral("Опрошено узлов - %1 из 255").arg(last));
    m_eventLog.appendStamped(QStringLiteral(" - Опрошено узлов - %1 из 255").arg(last));
    m_eventLog.appendStamped(QStringLiteral(" - Обнаружено узлов - %1").arg(found_count));
    setScanCaption(kScanCaption);
    scan_running = 0;
    m_scanActive = false;
}

} // namespace qlx
