#include "engine/polling.h"

#include "base/logging.h"
#include "base/node_table.h"
#include "engine/recorder.h"
#include "engine/station.h"
#include "base/unit_procedure.h"
#include "storage/unit_files.h"
#include "line/unit_protocol.h"

#include <QElapsedTimer>

#include <cmath>

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
    co_await pass(QStringLiteral("F"));
    co_await service_events();
    while (m_running) {
        m_passStartMs = nowMs();
        co_await service_events();
        co_await pass(QStringLiteral("NF"));
        if (!m_station.nodeList().anyChecked()) {
            setRunning(false);
            co_await m_view->message(
                kNoData,
                QStringLiteral("Не выбрано ни одного узла для обновления.\n\rАвтоматическое обновление будет отключено."));
        }
        co_await waitInterval();
    }
}

QCoro::Task<void> Polling::waitInterval()
{
    // The next pass starts one interval after the previous one started; a pass that took
    // longer is followed at once. Switching the run off ends the wait early.
    while (m_running) {
        const qint64 left = m_passStartMs + m_interval - nowMs();
        if (left <= 0)
            co_return;
        co_await service_events(static_cast<int>(std::min<qint64>(left, 100)));
    }
}

QCoro::Task<void> Polling::pass(QString mode)
{
    for (int n = 1; n <= kSlots && arr_nodes[n].address != 0; ++n) {
        co_await service_events();
        if (!m_running)
            break;
        if (n - 1 >= m_station.nodeList().count() || !m_station.nodeList().isChecked(n - 1))
            continue;
        if (co_await m_station.test_quorlex_in_net(arr_nodes[n].address)) {
            // Only a read that got every channel is recorded: a channel it missed would
            // carry an earlier poll's reading (or none) under this poll's time.
            const NodeRead read = co_await Read_node(m_station.line(), n, mode, &m_readStop);
            if (read.stopped)
                continue; // a closing window stopped it
            if (!read.complete()) {
                reportUnread(n, read);
                continue;
            }
            // Every full read leaves a row of the node's setpoints in the setpoint log.
            if (read.setpointsRead())
                m_logs.write_setpoint_row(n);
            if (m_view->recordToFile())
                m_logs.write_value_row(n);
            co_await record_node(n);
        } else {
            exclude(n, mode);
        }
    }
    m_view->repaintMonitor();
    emit passFinished(mode);
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
    m_logs.write_alert_row(n, kAlertNoAnswer);
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
