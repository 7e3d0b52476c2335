#include "core/station.h"

#include "core/logging.h"
#include "core/node_table.h"
#include "core/progress.h"
#include "core/unit_procedure.h"
#include "protocol/unit_protocol.h"

#include <qcoro/qcorotimer.h>

namespace qlx {

namespace {

// Lets pending window events run (the operator's stop command among them).
QCoro::Task<void> serviceEvents()
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(0);
    co_await qCoro(timer).waitForTimeout();
}

} // namespace

Station::Station(QObject *parent)
    : QObject(parent),
      m_line(m_port),
      m_scanCaption(kScanCaption)
{
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

QCoro::Task<QByteArray> Station::identify(int a)
{
    co_return co_await m_line.Timed_exchange(Build_identify(a), kIdentifyCap);
}

QCoro::Task<void> Station::Test_net_quorlex(int a)
{
    const QByteArray answer = co_await identify(a);
    if (answer.isEmpty())
        co_return;
    Parse_identify(a, answer, last_result);
    found_count += 1;
    arr_nodes[found_count].address = a;
    m_nodeList.append(node_item_text(found_count, a));
}

QCoro::Task<bool> Station::test_quorlex_in_net(int a)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QByteArray answer = co_await identify(a);
        if (!answer.isEmpty()) {
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
    co_await serviceEvents();
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
            co_await serviceEvents();
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
