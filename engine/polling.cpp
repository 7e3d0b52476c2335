#include "engine/polling.h"

#include "base/logging.h"
#include "base/node_table.h"
#include "engine/recorder.h"
#include "engine/station.h"
#include "base/unit_procedure.h"
#include "storage/unit_files.h"
#include "line/unit_protocol.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qlx {

namespace {

qint64 nowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.elapsed();
}

const QString kNoData = QStringLiteral("Нет данных для обновления");

// Excluded nodes tested again in one pass at most: an absent node costs three answer waits.
constexpr int kRetriesPerPass = 4;

} // namespace

Polling::Polling(Station &station, TDM_local &dm, DailyLogs &logs, PollingView &view, QObject *parent)
    : QObject(parent),
      m_station(station),
      m_dm(dm),
      m_logs(logs),
      m_view(&view)
{
}

void Polling::setInterval(int ms)
{
    m_interval = ms;
    m_passStartMs = nowMs(); // a wait in progress starts again with the new interval
    emit intervalRestarted();
}

void Polling::setRunning(bool on)
{
    m_running = on;
    m_view->runStateChanged(on);
}

QCoro::Task<void> Polling::mnu_refreshClick()
{
    const QString m = m_running ? QStringLiteral("Автоматическое обновление было отключено пользователем.")
                                : QStringLiteral("Не выбрано ни одного узла для обновления");
    if (!m_station.nodeList().anyChecked()) {
        setRunning(false);
        m_station.eventLog().append(time_stamp() + QStringLiteral(" ") + m);
        co_await m_view->message(kNoData, m);
        co_return;
    }
    setRunning(!m_running);
    m_view->switchToggled();
    if (!m_running)
        co_return; // the run in progress sees the cleared mark at its next check
    const QString seconds = seconds_text(m_interval);
    m_station.eventLog().appendStamped(QStringLiteral(" - Включено авт. обновление с интервалом ") + seconds +
                                       QStringLiteral(" сек."));
    // The monitor is there whenever the run is on, also when a run still finishing
    // its node simply goes on (never two runs).
    m_view->createMonitor(QStringLiteral("Монитор состояний - авт. обновление с интервалом ") + seconds +
                         QStringLiteral(" сек."));
    if (m_runActive)
        co_return;
    try {
        co_await Refresh_QuorlexM();
    } catch (const std::exception &e) {
        // An error that ends the run is said, and the run is shown as off.
        m_runActive = false;
        const QString line = time_stamp() + QStringLiteral(" - Автоматическое обновление остановлено: ") +
                             QString::fromUtf8(e.what());
        qCWarning(lcLine) << line;
        m_station.eventLog().append(line);
        m_station.setStatusPanel(1, line);
        setRunning(false);
    }
    co_await service_events();
}

QCoro::Task<void> Polling::Refresh_QuorlexM()
{
    if (!m_running)
        co_return;
    m_runActive = true;
    m_station.setPollingActive(true);
    m_readStop.clear(); // a stop asked of an earlier run is not this run's
    struct Done {
        bool &flag;
        Station &station;
        ~Done()
        {
            flag = false;
            station.setPollingActive(false);
        }
    } done{m_runActive, m_station};
    if (co_await waitForPort())
        co_await pass(QStringLiteral("F"));
    co_await service_events();
    while (m_running) {
        m_passStartMs = nowMs();
        co_await service_events();
        if (!co_await waitForPort())
            break;
        co_await pass(QStringLiteral("NF"));
        if (!m_station.nodeList().anyChecked()) {
            if (waitingForExcluded()) {
                sayAllOut();
            } else {
                setRunning(false);
                co_await m_view->message(
                    kNoData,
                    QStringLiteral("Не выбрано ни одного узла для обновления.\n\rАвтоматическое обновление будет отключено."));
            }
        } else {
            m_allOutSaid = false;
        }
        co_await waitInterval();
    }
}

QCoro::Task<void> Polling::waitInterval()
{
    // The next pass starts one interval after the previous one started; a pass that took
    // longer is followed at once. Switching the run off ends the wait early. While no node
    // is ticked the run only waits for its excluded nodes' next test (or an operator's tick).
    while (m_running) {
        qint64 left = m_passStartMs + m_interval - nowMs();
        if (!m_station.nodeList().anyChecked() && waitingForExcluded()) {
            qint64 due = std::numeric_limits<qint64>::max();
            for (const Excluded &e : std::as_const(m_excluded))
                due = std::min(due, e.dueMs);
            left = std::max(left, due - nowMs());
        }
        if (left <= 0)
            co_return;
        co_await service_events(static_cast<int>(std::min<qint64>(left, 100)));
    }
}

QCoro::Task<bool> Polling::waitForPort()
{
    // A lost port is reopened by the station; the run resumes when it is open. The wait
    // looks ten times a second: nothing runs meanwhile.
    if (m_station.comPort().isOpen())
        co_return m_running;
    if (!m_portWaitSaid) {
        m_portWaitSaid = true;
        const QString line = time_stamp() + QStringLiteral(" - Автоматическое обновление ожидает открытия COM порта ")
                             + m_station.comPort().settings().port;
        m_station.setStatusPanel(1, line);
        m_station.eventLog().append(line);
    }
    while (m_running && !m_station.comPort().isOpen())
        co_await service_events(100);
    if (m_running && m_portWaitSaid) {
        m_portWaitSaid = false;
        m_station.eventLog().appendStamped(QStringLiteral(" - Автоматическое обновление продолжается"));
    }
    co_return m_running;
}

QCoro::Task<void> Polling::pass(QString mode)
{
    for (int n = 1; n <= kSlots && arr_nodes[n].address != 0; ++n) {
        co_await service_events();
        if (!m_running)
            break;
        if (n - 1 >= m_station.nodeList().count() || !m_station.nodeList().isChecked(n - 1))
            continue;
        m_excluded.remove(n); // ticked again by the operator
        bool present = false;
        try {
            present = co_await m_station.test_quorlex_in_net(arr_nodes[n].address);
        } catch (const PortError &e) {
            // The port is gone: no node is to blame. The pass ends; the run waits for the port.
            qCWarning(lcLine) << "pass ended:" << e.what();
            break;
        }
        if (present) {
            // Only a read that got every channel is recorded: a channel it missed would
            // carry an earlier poll's reading (or none) under this poll's time.
            const QString nodeMode = m_fullNext.contains(n) ? QStringLiteral("F") : mode;
            const NodeRead read = co_await Read_node(m_station.line(), n, nodeMode, &m_readStop);
            if (read.stopped)
                continue; // a closing window stopped it
            if (!read.complete()) {
                reportUnread(n, read);
                continue;
            }
            m_fullNext.remove(n);
            // Every full read leaves a row of the node's setpoints in the setpoint log.
            // A log that cannot be written is said by the station and keeps nothing else
            // from being recorded.
            if (read.setpointsRead())
                m_station.writeLog(DailyLog::Setpoints, [&] { m_logs.write_setpoint_row(n); });
            if (m_view->recordToFile())
                m_station.writeLog(DailyLog::Values, [&] { m_logs.write_value_row(n); });
            co_await record_node(n);
        } else {
            exclude(n, mode);
        }
    }
    if (m_running)
        co_await retryExcluded();
    m_view->repaintMonitor();
    emit passFinished(mode);
}

QList<int> Polling::excludedAddresses() const
{
    QList<int> addresses;
    for (const Excluded &e : m_excluded)
        addresses << e.address;
    return addresses;
}

bool Polling::waitingForExcluded() const
{
    if (m_nodeRetryMs <= 0)
        return false;
    for (auto it = m_excluded.cbegin(); it != m_excluded.cend(); ++it) {
        const int n = it.key();
        if (n - 1 < m_station.nodeList().count() && arr_nodes[n].address == it->address)
            return true;
    }
    return false;
}

QCoro::Task<void> Polling::retryExcluded()
{
    if (m_nodeRetryMs <= 0)
        co_return;
    int tested = 0;
    for (const int n : m_excluded.keys()) {
        const auto it = m_excluded.constFind(n);
        if (it == m_excluded.cend())
            continue;
        const Excluded e = *it;
        // A rescan put another node into the slot, or the operator ticked it: not ours to test.
        if (n - 1 >= m_station.nodeList().count() || arr_nodes[n].address != e.address
            || m_station.nodeList().isChecked(n - 1)) {
            m_excluded.remove(n);
            continue;
        }
        if (e.dueMs > nowMs())
            continue;
        if (tested == kRetriesPerPass || !m_running)
            break;
        ++tested;
        bool back = false;
        try {
            back = co_await m_station.test_quorlex_in_net(e.address);
        } catch (const PortError &) {
            co_return; // the port is gone; the node is tested when it is back
        }
        if (!m_excluded.contains(n) || arr_nodes[n].address != e.address)
            continue; // the slot changed while the test waited
        if (back)
            readmit(n);
        else
            m_excluded[n].dueMs = nowMs() + m_nodeRetryMs;
    }
}

void Polling::readmit(int n)
{
    m_excluded.remove(n);
    m_fullNext.insert(n); // it may have been set up anew while it was away
    m_allOutSaid = false;
    m_station.nodeList().setChecked(n - 1, true);
    const QString line = time_stamp() + QStringLiteral(" - Узел ") + QString::number(arr_nodes[n].address) +
                         QStringLiteral(" снова отвечает и возвращен в список опроса");
    m_station.setStatusPanel(1, line);
    m_station.eventLog().append(line);
    m_station.writeLog(DailyLog::Alerts, [&] { m_logs.write_alert_row(n, kAlertAnswersAgain); });
}

void Polling::sayAllOut()
{
    if (m_allOutSaid)
        return;
    m_allOutSaid = true;
    const QString text = QStringLiteral("Ни один узел не отвечает. Автоматическое обновление продолжается: "
                                        "исключенные узлы проверяются каждые %1 сек.")
                             .arg(seconds_text(m_nodeRetryMs));
    m_station.setStatusPanel(1, time_stamp() + QStringLiteral(" - ") + text);
    m_station.warn(text);
    m_view->notice(kNoData, text);
}

void Polling::reportUnread(int n, const NodeRead &read)
{
    QString why;
    if (read.programming)
        why = QStringLiteral("прибор в режиме программирования");
    else if (read.failed)
        why = QStringLiteral("ошибка порта");
    else {
        QStringList channels;
        for (const int c : read.missingChannels())
            channels << QString::number(c);
        why = QStringLiteral("нет верного ответа по каналам ") + channels.join(QStringLiteral(", "));
    }
    const QString line = time_stamp() + QStringLiteral(" - Узел ") + QString::number(arr_nodes[n].address) +
                         QStringLiteral(" не прочитан (") + why + QStringLiteral("), данные опроса не записаны");
    m_station.setStatusPanel(1, line);
    m_station.eventLog().append(line);
}

void Polling::exclude(int n, const QString &mode)
{
    const int address = arr_nodes[n].address;
    m_station.nodeList().setChecked(n - 1, false);
    const QString line =
        time_stamp() + QStringLiteral(" - Узел ") + QString::number(address) + QStringLiteral(" исключен из списка опроса");
    m_station.setStatusPanel(1, line);
    m_station.eventLog().append(line);
    T_cell &head = arr_cells(0, n);
    head.text = QString::number(address);
    head.font_color = clNavy;
    head.font_style = fsBold;
    head.font_size = 8;
    head.back_color = clBtnFace;
    const QString off = mode == QStringLiteral("F") ? QStringLiteral("Откл") : QStringLiteral("Откл.");
    for (int column = 1; column < kGridColumns; ++column) {
        arr_cells(column, n).text = off;
        arr_cells(column, n).top_offset = 2;
    }
    if (m_nodeRetryMs > 0)
        m_excluded.insert(n, Excluded{address, nowMs() + m_nodeRetryMs});
    m_station.writeLog(DailyLog::Alerts, [&] { m_logs.write_alert_row(n, kAlertNoAnswer); });
}

QCoro::Task<void> Polling::record_node(int n)
{
    T_cell &head = arr_cells(0, n);
    head.text = QString::number(arr_nodes[n].address);
    head.font_color = clNavy;
    head.font_style = fsBold;
    head.font_size = 8;
    head.back_color = clBtnFace;
    if (!m_station.nodeList().isChecked(n - 1))
        arr_cells(1, n).text = QStringLiteral("Отключен");
    for (int c = 1; c <= kChannels; ++c) {
        const Tarr_channel &ch = arr_nodes[n].channels[c];
        if (ch.point >= 1 && ch.point <= 4)
            m_view->formatCell(c + 3, n + 1, history_values(n, c).izm, ch.alarm_nu, ch.alarm_vu);
    }
    co_await record_history(m_station, m_dm, m_logs, n, [this] { return m_view->recordToDatabase(); });
    m_view->repaintMonitor();
}

} // namespace qlx
