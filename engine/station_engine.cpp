#include "engine/station_engine.h"

#include "base/ini_file.h"
#include "base/unit_procedure.h"
#include "engine/monitor_cells.h"

#include <QDir>

namespace qlx {

class StationEngine::HeadlessView : public PollingView {
public:
    explicit HeadlessView(StationEngine &engine) : m_engine(engine) {}

    QCoro::Task<void> message(const QString &caption, const QString &text) override
    {
        m_engine.station().eventLog().appendStamped(QStringLiteral(" - ") + caption + QStringLiteral(": ") + text);
        co_return;
    }
    bool recordToDatabase() const override
    {
        return m_engine.database().isOpen() && m_engine.station().settings().recordInDb();
    }
    bool recordToFile() const override { return m_engine.station().settings().recordInFile(); }
    void runStateChanged(bool) override {}
    void createMonitor(const QString &) override {}
    void formatCell(int col, int row, double value, int alarm_nu, int alarm_vu) override
    {
        format_cell(m_engine.station(), false, col, row, value, alarm_nu, alarm_vu);
    }
    void repaintMonitor() override {}

private:
    StationEngine &m_engine;
};

StationEngine::StationEngine(const StationFolder &folder, QObject *parent)
    : QObject(parent),
      m_folder(folder),
      m_logs(folder.logsDir()),
      m_headless(std::make_unique<HeadlessView>(*this)),
      m_polling(m_station, m_dm, m_logs, *m_headless)
{
    m_station.useFolder(folder);
    setRecoveryIntervals(kDefaultDatabaseRetryMs, kDefaultLogsRetryMs);
    connect(&m_databaseRetry, &QTimer::timeout, this, &StationEngine::retryDatabase);
    connect(&m_logsRetry, &QTimer::timeout, this, &StationEngine::retryDailyLogs);
    // The alerts log keeps the line's faults too; they belong to no node, so they stand
    // under address 0, the address every node hears.
    connect(&m_station, &Station::portLost, this, [this](const QString &reason) {
        m_station.writeLog(DailyLog::Alerts, [&] {
            m_logs.write_line_alert(QStringLiteral("COM порт %1 потерян: %2").arg(m_station.comPort().settings().port, reason));
        });
    });
    connect(&m_station, &Station::portRestored, this, [this] {
        m_station.writeLog(DailyLog::Alerts, [&] {
            m_logs.write_line_alert(QStringLiteral("COM порт %1 снова открыт").arg(m_station.comPort().settings().port));
        });
    });
}

StationEngine::~StationEngine() = default;

PollingView &StationEngine::headlessView()
{
    return *m_headless;
}

void StationEngine::applySettings()
{
    StationSettings &settings = m_station.settings();
    m_station.line().setAnswerWait(settings.takeAnswerWait());
    m_station.line().setFastSpeed(settings.fastSpeed());
    m_polling.setInterval(settings.refreshInterval());
    m_polling.setNodeRetryInterval(settings.takeNodeRetry() * 1000);
    m_station.setLineSpeedText(QString::number(m_station.comPort().settings().customBaudRate));
    for (const QString &text : settings.takeCorrections())
        m_station.warn(text);
}

void StationEngine::setRecoveryIntervals(int databaseRetryMs, int logsRetryMs)
{
    m_databaseRetry.setInterval(databaseRetryMs);
    m_logsRetry.setInterval(logsRetryMs);
}

void StationEngine::startRecovery()
{
    const int databaseRetryMs = m_databaseRetry.interval();
    const int logsRetryMs = m_logsRetry.interval();
    if (!m_dm.isOpen()) {
        m_station.warn(QStringLiteral("База данных истории не открыта (%1); запись в БД невозможна, "
                                      "повторная попытка каждые %2 сек.")
                           .arg(m_dm.last_error(), seconds_text(databaseRetryMs)));
        m_databaseRetry.start();
    }
    if (!m_logs.log_open() || !m_logs.ustav_open() || !m_logs.alerts_open()) {
        m_station.warn(QStringLiteral("Запись в файл невозможна: журналы в папке %1 не открываются; "
                                      "повторная попытка каждые %2 сек.")
                           .arg(QDir::toNativeSeparators(m_folder.logsDir()), seconds_text(logsRetryMs)));
        m_logsRetry.start();
    }
}

void StationEngine::retryDatabase()
{
    if (!m_dm.open_history_database(m_folder.bdDir()))
        return;
    m_databaseRetry.stop();
    m_station.warn(m_station.settings().recordInDb()
                       ? QStringLiteral("База данных истории открыта; запись в БД начата")
                       : QStringLiteral("База данных истории открыта"));
    emit databaseOpened();
}

void StationEngine::retryDailyLogs()
{
    if (!m_logs.open_daily_logs())
        return;
    m_logsRetry.stop();
    m_station.warn(QStringLiteral("Журналы в папке %1 открыты; запись в файл возможна")
                       .arg(QDir::toNativeSeparators(m_folder.logsDir())));
    emit dailyLogsOpened();
}

bool StationEngine::initialiseFolder(const StationFolder &folder, const QString &port, QString *error)
{
    QDir dir(folder.root());
    for (const char *sub : {"ini", "logs", "bd", "Reports"}) {
        if (!dir.mkpath(QString::fromLatin1(sub))) {
            if (error)
                *error = QStringLiteral("cannot create %1").arg(dir.filePath(QString::fromLatin1(sub)));
            return false;
        }
    }
    ComPort com;
    PortSettings s;
    if (!port.isEmpty())
        s.port = port;
    com.setSettings(s);
    IniFile ini(folder.iniFile(QStringLiteral("Com_setup_modbus.ini")));
    if (!com.storeSettings(ini)) {
        if (error)
            *error = QStringLiteral("cannot write %1").arg(ini.path());
        return false;
    }
    if (!write_sqlite_link(folder.bdDir())) {
        if (error)
            *error = QStringLiteral("cannot write the database link in %1").arg(folder.bdDir());
        return false;
    }
    return true;
}

} // namespace qlx
