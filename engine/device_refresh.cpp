#include "engine/device_refresh.h"

#include "base/logging.h"
#include "base/node_table.h"
#include "base/progress.h"
#include "base/unit_procedure.h"
#include "engine/recorder.h"
#include "engine/setpoint.h"
#include "engine/station.h"
#include "engine/station_engine.h"
#include "storage/unit_dm.h"
#include "storage/unit_files.h"

#include <algorithm>

namespace qlx {

namespace {

QString secondsText(int ms)
{
    return QString::number(ms / 1000.0, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(','));
}

// Raised inside a refresh for a failure that the error trap reports.
struct RefreshFailed {
    QString why;
};

} // namespace

DeviceRefresh::DeviceRefresh(StationEngine &engine, int address, QObject *parent)
    : QObject(parent),
      m_engine(engine),
      m_address(address),
      m_random(QRandomGenerator::securelySeeded())
{
    m_timer.setInterval(kInitialIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &DeviceRefresh::onTick);
}

DeviceRefresh::~DeviceRefresh() = default;

int DeviceRefresh::slot() const
{
    return m_address >= 1 && m_address <= 255 ? find_slot(m_address) : 0;
}

void DeviceRefresh::selectChannel(int channel)
{
    if (channel < 1 || channel > kChannels || channel == m_channel)
        return;
    m_channel = channel;
    emit changed();
}

void DeviceRefresh::setInterval(int ms)
{
    const int bounded = std::clamp(ms, kMinIntervalMs, kMaxIntervalMs);
    if (bounded == m_timer.interval())
        return;
    m_timer.setInterval(bounded); // a running timer's wait starts again
    emit intervalChanged(bounded);
}

void DeviceRefresh::setAutoRefresh(bool on)
{
    if (on == m_timer.isActive() || (on && m_released))
        return;
    if (on) {
        m_timer.start();
        [[maybe_unused]] QCoro::Task<void> first = refresh_data(); // runs on by itself
    } else {
        m_timer.stop();
    }
    emit autoRefreshChanged(on);
}

void DeviceRefresh::onTick()
{
    // A tick during this window's own refresh is skipped: never two reads of one window.
    if (m_running || m_released)
        return;
    [[maybe_unused]] QCoro::Task<void> refresh = refresh_data();
}

void DeviceRefresh::setUpdating(bool on)
{
    if (m_updating == on)
        return;
    m_updating = on;
    emit updatingChanged(on);
}

void DeviceRefresh::Change_interval()
{
    const int old = m_timer.interval();
    // 64 chances in 100 up, 36 down; the bounds keep the interval between 1 s and a day.
    const int step = m_random.bounded(100) >= 36 ? kNudgeMs : -kNudgeMs;
    const int now = std::clamp(old + step, kMinIntervalMs, kMaxIntervalMs);
    setInterval(now);
    if (m_logNudges) {
        m_engine.station().eventLog().append(time_stamp() + QStringLiteral(" - Узел ") + QString::number(m_address)
                                             + QStringLiteral(" Измемен интервал обновления с ") + secondsText(old)
                                             + QStringLiteral(" на ") + secondsText(now));
    }
}

void DeviceRefresh::errorTrap(const QString &why)
{
    qCWarning(lcLine) << "device refresh of node" << m_address << "failed:" << why;
    const QString text = QStringLiteral(" Узел ") + QString::number(m_address)
                         + QStringLiteral(" - Ошибка при обновлении данных.");
    Station &station = m_engine.station();
    station.eventLog().append(time_stamp() + text);
    station.setStatusPanel(1, time_stamp() + text);
    Change_interval();
}

void DeviceRefresh::record(int n)
{
    if (m_recordDb && m_engine.database().isOpen()) {
        QList<PollRow> rows;
        for (int c = 1; c <= kChannels; ++c) {
            const HistoryValues v = history_values(n, c);
            rows.append({c, v.nu, v.vu, v.izm});
        }
        if (!m_engine.database().write_node(m_address, current_time(), rows)) {
            for (int c = 1; c <= kChannels; ++c)
                m_engine.station().eventLog().append(time_stamp() + QStringLiteral(" - Узел ") + QString::number(m_address)
                                                     + QStringLiteral("Ошибка записи в базу данных, канал - ")
                                                     + QString::number(c));
        }
    }
    if (m_recordFile)
        m_engine.logs().write_value_row(n, true); // a failure goes to the error trap
}

QCoro::Task<void> DeviceRefresh::refresh_data()
{
    if (m_running || m_released)
        co_return;
    m_running = true;
    setUpdating(true);
    co_await service_events();
    bool finished = true;
    try {
        int n = slot();
        if (n == 0)
            throw RefreshFailed{QStringLiteral("the node is no longer in the node table")};
        if (VrProgressBar().busy()) {
            // Another read is on the line: nothing is read; the label stays up.
            Change_interval();
            finished = false;
        } else {
            const bool full = m_full;
            const std::int32_t saved = arr_nodes[n].state.display_quantity;
            m_stop.clear();
            const NodeRead read =
                co_await Read_node(m_engine.station().line(), n, full ? QStringLiteral("F") : QStringLiteral("NF"), &m_stop);
            m_lastRead = read;
            if (read.stopped || m_released) {
                finished = false; // the window closed: nothing of this refresh is kept
            } else {
                // A rescan while the read waited may have moved the node.
                if (arr_nodes[n].address != m_address)
                    throw RefreshFailed{QStringLiteral("the node moved while it was read")};
                if (read.programming) {
                    emit changed(); // the panel shows П Р О Г; nothing to record
                } else if (!read.complete()) {
                    throw RefreshFailed{QStringLiteral("the read did not get every channel")};
                } else {
                    if (full)
                        m_full = false;
                    Tarr_state &state = arr_nodes[n].state;
                    if (!full && saved < 9 && m_keepDisplay)
                        state.display_quantity = saved;
                    else
                        selectChannel(state.display_channel);
                    emit changed();
                    if (state.settings_changed == 1)
                        m_settingsNotice = QStringLiteral("Настройка прибора была изменена - ") + time_stamp();
                    record(n);
                }
            }
        }
    } catch (const RefreshFailed &e) {
        errorTrap(e.why);
    } catch (const std::exception &e) {
        errorTrap(QString::fromUtf8(e.what()));
    }
    if (finished) {
        ++m_refreshes;
        setUpdating(false);
    }
    co_await service_events();
    m_running = false;
    if (m_released)
        deleteLater();
}

QCoro::Task<bool> DeviceRefresh::refreshCommand(bool full)
{
    if (full)
        m_full = true;
    if (VrProgressBar().busy() || m_running || m_released)
        co_return false;
    co_await refresh_data();
    co_return true;
}

bool DeviceRefresh::requestRefresh(bool full)
{
    if (full)
        m_full = true;
    if (VrProgressBar().busy() || m_running || m_released)
        return false;
    [[maybe_unused]] QCoro::Task<void> refresh = refresh_data();
    return true;
}

void DeviceRefresh::release()
{
    if (m_released)
        return;
    m_released = true;
    m_timer.stop();
    if (m_running)
        m_stop.request(); // this window's read only
    else
        deleteLater();
}

} // namespace qlx
