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
    m_station.setLineSpeedText(QString::number(m_station.comPort().settings().customBaudRate));
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
