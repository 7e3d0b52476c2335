#include "storage/unit_dm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlRecord>
#include <QStringDecoder>

namespace qlx {

namespace {

Q_LOGGING_CATEGORY(lcHistory, "quorlex.history", QtWarningMsg)

constexpr const char *kTimeFormat = "yyyy-MM-dd hh:mm:ss";

// Reads a stored time back: PostgreSQL gives a date-time, SQLite the text.
// The wall-clock value is kept as stored, without any zone conversion.
QDateTime storedTime(const QVariant &value)
{
    if (value.metaType().id() == QMetaType::QDateTime) {
        const QDateTime t = value.toDateTime();
        return QDateTime(t.date(), t.time());
    }
    return QDateTime::fromString(value.toString().left(19), QString::fromLatin1(kTimeFormat));
}

QString errorText(const QSqlError &error)
{
    QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

int nextConnectionNumber()
{
    static int number = 0;
    return ++number;
}

} // namespace

QString history_time_text(const QDateTime &time)
{
    return time.toString(QString::fromLatin1(kTimeFormat));
}

QMap<QString, QString> parse_connection_string(const QString &text)
{
    // Pairs are separated by ';' outside quotes; a value may be quoted with ' or ".
    QMap<QString, QString> pairs;
    QStringList parts;
    QString current;
    QChar quote;
    for (const QChar c : text) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            current += c;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
            current += c;
        } else if (c == u';') {
            parts.append(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.append(current);
    for (const QString &part : parts) {
        const qsizetype eq = part.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = part.left(eq).trimmed().toLower();
        QString value = part.mid(eq + 1).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        if (!key.isEmpty())
            pairs.insert(key, value);
    }
    return pairs;
}

std::optional<HistoryLink> read_history_link(const QString &bdDir, QString *error)
{
    auto failed = [error](const QString &text) -> std::optional<HistoryLink> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    QFile file(QDir(bdDir).filePath(QString::fromLatin1(kLinkFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot read the data-link file %1: %2").arg(file.fileName(), file.errorString()));
    const QByteArray bytes = file.readAll();
    QString text;
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        text = decoder(bytes.mid(2));
    } else if (bytes.startsWith("\xEF\xBB\xBF")) {
        text = QString::fromUtf8(bytes.mid(3));
    } else {
        text = QString::fromUtf8(bytes);
    }

    QString connection;
    for (const QString &raw : text.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'['))
            continue;
        connection = line;
    }
    if (connection.isEmpty())
        return failed(QStringLiteral("the data-link file %1 holds no connection string").arg(file.fileName()));

    const QMap<QString, QString> pairs = parse_connection_string(connection);
    HistoryLink link;
    const QString provider = pairs.value(QStringLiteral("provider")).trimmed();
    if (provider.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) == 0)
        link.engine = HistoryEngine::SQLite;
    else if (provider.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0)
        link.engine = HistoryEngine::PostgreSQL;
    else
        return failed(QStringLiteral("unknown provider \"%1\" in the data-link file").arg(provider));
    link.dataSource = pairs.value(QStringLiteral("data source"));
    link.catalog = pairs.value(QStringLiteral("initial catalog"));
    link.user = pairs.value(QStringLiteral("user id"));
    link.password = pairs.value(QStringLiteral("password"));
    if (pairs.contains(QStringLiteral("port"))) {
        bool ok = false;
        link.port = pairs.value(QStringLiteral("port")).toInt(&ok);
        if (!ok || link.port <= 0 || link.port > 65535)
            return failed(QStringLiteral("bad port \"%1\" in the data-link file").arg(pairs.value(QStringLiteral("port"))));
    }
    if (link.engine == HistoryEngine::SQLite && link.dataSource.isEmpty())
        return failed(QStringLiteral("the data-link file names no database file"));
    if (link.engine == HistoryEngine::PostgreSQL && link.catalog.isEmpty())
        return failed(QStringLiteral("the data-link file names no database (Initial Catalog)"));
    return link;
}

bool write_sqlite_link(const QString &bdDir, const QString &file)
{
    if (!QDir().mkpath(bdDir))
        return false;
    QSaveFile out(QDir(bdDir).filePath(QString::fromLatin1(kLinkFileName)));
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QString text = QStringLiteral("[oledb]\n; Everything after this line is an OLE DB initstring\n"
                                        "Provider=SQLite;Data Source=%1\n").arg(file);
    out.write(text.toUtf8());
    return out.commit();
}

const HistoryStatements &HistoryStatements::forEngine(HistoryEngine engine)
{
    static const HistoryStatements sqlite{
        QStringLiteral("insert into Sensors_history (sensor, chanel, nu, vu, izm, rec_time)\n"
                       "values (:sensor, :chanel, :nu, :vu, :izm, :rec_time)"),
        QStringLiteral("SELECT Min(Sensors_history.NU) AS [Min-NU], Min(Sensors_history.VU) AS [Min-VU], "
                       "Min(Sensors_history.Izm) AS [Min-Izm], Max(Sensors_history.NU) AS [Max-NU], "
                       "Max(Sensors_history.VU) AS [Max-VU], Max(Sensors_history.Izm) AS [Max-Izm]\n"
                       "from sensors_history\n"
                       "where (sensor = :sensor) and (chanel = :chanel) and (rec_time>= :time1)"),
        // Ordered by time: a chart line needs ascending times, and without the order
        // a server returns rows in whatever order it finds them.
        QStringLiteral("select *\nfrom sensors_history\n"
                       "where (sensor = :sensor) and (chanel = :chanel) and (rec_time>= :time1)\n"
                       "order by rec_time"),
        QStringLiteral("Select *\nfrom sens_num"),
        QStringLiteral("update interval set dat_min = :dat1, dat_max = :dat2"),
        QStringLiteral("select count(rec_time) as coun\nfrom sensors_history1"),
        QStringLiteral("Select *\nfrom query_sensors_history"),
        QStringLiteral("select *\nfrom sensors_history1"),
    };
    // PostgreSQL quotes identifiers with double quotes and reserves "interval".
    static const HistoryStatements postgresql{
        sqlite.ADOCmd,
        QStringLiteral("SELECT Min(Sensors_history.NU) AS \"Min-NU\", Min(Sensors_history.VU) AS \"Min-VU\", "
                       "Min(Sensors_history.Izm) AS \"Min-Izm\", Max(Sensors_history.NU) AS \"Max-NU\", "
                       "Max(Sensors_history.VU) AS \"Max-VU\", Max(Sensors_history.Izm) AS \"Max-Izm\"\n"
                       "from sensors_history\n"
                       "where (sensor = :sensor) and (chanel = :chanel) and (rec_time>= :time1)"),
        sqlite.ADOQuery_history_chart,
        sqlite.ADOQuery_sensors,
        QStringLiteral("update \"interval\" set dat_min = :dat1, dat_max = :dat2"),
        sqlite.ADOQuery_alert,
        sqlite.ADOQuery_kross_table,
        sqlite.ADOQuery_history_table,
    };
    return engine == HistoryEngine::PostgreSQL ? postgresql : sqlite;
}

TDM_local::TDM_local()
    : m_connectionName(QStringLiteral("qlx_history_%1").arg(nextConnectionNumber()))
{
}

TDM_local::~TDM_local()
{
    closeConnection();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_connectionName))
        QSqlDatabase::removeDatabase(m_connectionName);
}

bool TDM_local::fail(const QString &text)
{
    m_lastError = text;
    return false;
}

bool TDM_local::isConnected() const
{
    return m_db.isValid() && m_db.isOpen() && !m_insert.lastQuery().isEmpty();
}

bool TDM_local::open_history_database(const QString &bdDir)
{
    if (m_opened)
        return true;
    QString error;
    const std::optional<HistoryLink> link = read_history_link(bdDir, &error);
    if (!link)
        return fail(error);
    m_link = *link;
    m_bdDir = bdDir;
    m_haveLink = true;
    m_opened = openConnection();
    return m_opened;
}

void TDM_local::closeConnection()
{
    for (QSqlQuery *query : {&m_insert, &m_maxMin, &m_chart, &m_sensors, &m_interval, &m_alert, &m_kross, &m_table})
        *query = QSqlQuery();
    if (m_db.isValid())
        m_db.close();
}

bool TDM_local::openConnection()
{
    closeConnection();
    const bool sqlite = m_link.engine == HistoryEngine::SQLite;
    const QString driver = QString::fromLatin1(sqlite ? "QSQLITE" : "QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(QStringLiteral("the Qt SQL driver %1 is not available").arg(driver));
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(driver, m_connectionName);
    if (sqlite) {
        const QString path = QDir(m_bdDir).absoluteFilePath(m_link.dataSource);
        m_db.setDatabaseName(path);
        // Another program may write the same file: wait for its lock briefly,
        // never long enough to freeze the window.
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kHistoryLockWaitMs));
    } else {
        m_db.setHostName(m_link.dataSource);
        if (m_link.port > 0)
            m_db.setPort(m_link.port);
        m_db.setDatabaseName(m_link.catalog);
        m_db.setUserName(m_link.user);
        m_db.setPassword(m_link.password);
        // The options go to libpq as they are. tcp_user_timeout is ignored on a socket folder.
        m_db.setConnectOptions(QStringLiteral("connect_timeout=%1;tcp_user_timeout=%2")
                                   .arg(kPgConnectTimeoutS)
                                   .arg(kPgTcpUserTimeoutMs));
    }
    if (!m_db.open())
        return fail(errorText(m_db.lastError()));
    // SQLite: WAL lets readers in other processes work beside our writes.
    // PostgreSQL: a table lock held by another program is waited for as briefly
    // as the SQLite write lock.
    const QString setup = sqlite ? QStringLiteral("PRAGMA journal_mode=WAL")
                                 : QStringLiteral("SET lock_timeout = %1").arg(kHistoryLockWaitMs);
    QSqlQuery pragma(m_db);
    if (!pragma.exec(setup)) {
        const QString text = errorText(pragma.lastError());
        pragma = QSqlQuery();
        closeConnection();
        return fail(text);
    }
    pragma = QSqlQuery();
    if (!applySchema() || !prepareStatements()) {
        const QString text = m_lastError;
        closeConnection();
        return fail(text);
    }
    m_lastError.clear();
    return true;
}

bool TDM_local::applySchema()
{
    // A row source the station reads may be a view or a table of the site's own.
    const QStringList existing = m_db.tables(QSql::Tables) + m_db.tables(QSql::Views);
    const auto has = [&existing](const QString &name) { return existing.contains(name, Qt::CaseInsensitive); };
    QStringList missing;
    for (const char *name : {"Sensors_history", "interval", "sensors_history1", "query_sensors_history", "sens_num"})
        if (!has(QString::fromLatin1(name)))
            missing << QString::fromLatin1(name);
    if (missing.isEmpty())
        return true;
    qCInfo(lcHistory) << "applying the history schema, missing:" << missing;

    const bool sqlite = m_link.engine == HistoryEngine::SQLite;
    QFile file(QString::fromLatin1(sqlite ? ":/history/schema_sqlite.sql" : ":/history/schema_postgresql.sql"));
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the schema %1 is missing from the program").arg(file.fileName()));
    // Comment lines are dropped; statements end with ';'.
    QString script;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (!line.trimmed().startsWith(QLatin1String("--")))
            script += line + u'\n';
    // Every statement leaves an existing object alone (IF NOT EXISTS), except
    // PostgreSQL's CREATE OR REPLACE VIEW: a row source the site already has is kept.
    static const QRegularExpression createView(
        QStringLiteral("^\\s*CREATE\\s+(?:OR\\s+REPLACE\\s+)?VIEW\\s+(?:IF\\s+NOT\\s+EXISTS\\s+)?\"?(\\w+)"),
        QRegularExpression::CaseInsensitiveOption);
    if (!m_db.transaction())
        return fail(errorText(m_db.lastError()));
    for (const QString &statement : script.split(u';')) {
        if (statement.trimmed().isEmpty())
            continue;
        const QRegularExpressionMatch view = createView.match(statement);
        if (view.hasMatch() && has(view.captured(1)))
            continue;
        QSqlQuery query(m_db);
        if (!query.exec(statement)) {
            const QString text = errorText(query.lastError());
            query = QSqlQuery();
            m_db.rollback();
            return fail(QStringLiteral("cannot create the history schema: %1").arg(text));
        }
    }
    if (!m_db.commit()) {
        const QString text = errorText(m_db.lastError());
        m_db.rollback();
        return fail(text);
    }
    return true;
}

bool TDM_local::prepareStatements()
{
    const HistoryStatements &s = statements();
    const std::pair<QSqlQuery *, const QString *> all[] = {
        {&m_insert, &s.ADOCmd}, {&m_maxMin, &s.ADOQuery_max_min}, {&m_chart, &s.ADOQuery_history_chart},
        {&m_sensors, &s.ADOQuery_sensors}, {&m_interval, &s.ADOComd1}, {&m_alert, &s.ADOQuery_alert},
        {&m_kross, &s.ADOQuery_kross_table}, {&m_table, &s.ADOQuery_history_table},
    };
    for (const auto &[query, text] : all) {
        *query = QSqlQuery(m_db);
        query->setForwardOnly(true);
        if (!query->prepare(*text))
            return fail(QStringLiteral("cannot prepare \"%1\": %2").arg(*text, errorText(query->lastError())));
    }
    return true;
}

TDM_local::Write TDM_local::classify(const QSqlError &error) const
{
    const QString code = error.nativeErrorCode();
    if (m_link.engine == HistoryEngine::SQLite) {
        // SQLITE_BUSY and SQLITE_LOCKED (primary or extended codes): another
        // program holds the lock. Anything else may be a replaced or damaged
        // file, which a reopen may cure.
        bool ok = false;
        const int primary = code.toInt(&ok) & 0xff;
        return ok && (primary == 5 || primary == 6) ? Write::Refused : Write::Lost;
    }
    // PostgreSQL: a SQLSTATE means the server answered, except for connection
    // exceptions (08) and a server shutting down or refusing (57).
    if (code.isEmpty() || code.startsWith(QLatin1String("08")) || code.startsWith(QLatin1String("57")))
        return Write::Lost;
    return Write::Refused;
}

TDM_local::Write TDM_local::writeRows(int sensor, const QString &time, const QList<PollRow> &rows, QString *error)
{
    if (!isConnected()) {
        *error = QStringLiteral("the connection to the history database is not open");
        return Write::Lost;
    }
    // SQLite keeps writing into a file that was deleted or moved while open,
    // and those rows would be lost: a file gone from its path counts as a lost database.
    if (m_link.engine == HistoryEngine::SQLite && !QFileInfo(m_db.databaseName()).isFile()) {
        *error = QStringLiteral("the database file %1 is gone").arg(m_db.databaseName());
        return Write::Lost;
    }
    if (!m_db.transaction()) {
        const QSqlError e = m_db.lastError();
        *error = errorText(e);
        return classify(e);
    }
    for (const PollRow &row : rows) {
        m_insert.addBindValue(sensor);
        m_insert.addBindValue(row.chanel);
        m_insert.addBindValue(row.nu);
        m_insert.addBindValue(row.vu);
        m_insert.addBindValue(row.izm);
        m_insert.addBindValue(time);
        if (!m_insert.exec()) {
            const QSqlError e = m_insert.lastError();
            *error = errorText(e);
            m_insert.finish();
            m_db.rollback();
            return classify(e);
        }
    }
    if (!m_db.commit()) {
        const QSqlError e = m_db.lastError();
        *error = errorText(e);
        m_db.rollback();
        return classify(e);
    }
    return Write::Written;
}

bool TDM_local::reconnectDue() const
{
    return !m_reconnectFailed.isValid() || m_reconnectFailed.elapsed() >= m_backoff.count();
}

bool TDM_local::write_node(int sensor, const QDateTime &rec_time, const QList<PollRow> &rows, QString *error)
{
    QString text;
    const auto failed = [&] {
        m_lastError = text;
        if (error)
            *error = text;
        return false;
    };
    if (!m_opened || !m_haveLink) {
        text = m_lastError.isEmpty() ? QStringLiteral("the history database is not open") : m_lastError;
        return failed();
    }
    const QString time = history_time_text(rec_time);
    const Write first = writeRows(sensor, time, rows, &text);
    if (first == Write::Written)
        return true;
    if (first == Write::Refused)
        return failed();
    // The connection may be gone (server restarted, file replaced): reopen it
    // once for this node and try the rows again, unless a reopen failed lately:
    // then the rows fail at once, without a blocking attempt.
    if (!reconnectDue()) {
        text = QStringLiteral("%1; no reconnect for %2 s after a failed one")
                   .arg(text)
                   .arg(std::chrono::duration_cast<std::chrono::seconds>(m_backoff).count());
        return failed();
    }
    qCInfo(lcHistory) << "reopening the history database after:" << text;
    if (!openConnection()) {
        m_reconnectFailed.start();
        text = QStringLiteral("%1; reconnect failed: %2").arg(text, m_lastError);
        return failed();
    }
    m_reconnectFailed.invalidate();
    if (writeRows(sensor, time, rows, &text) == Write::Written)
        return true;
    return failed();
}

std::optional<QList<HistoryRow>> TDM_local::historyRows(QSqlQuery &query)
{
    if (!query.exec()) {
        m_lastError = errorText(query.lastError());
        return std::nullopt;
    }
    const QSqlRecord record = query.record();
    const int sensor = record.indexOf(QStringLiteral("sensor"));
    const int chanel = record.indexOf(QStringLiteral("chanel"));
    const int nu = record.indexOf(QStringLiteral("nu"));
    const int vu = record.indexOf(QStringLiteral("vu"));
    const int izm = record.indexOf(QStringLiteral("izm"));
    const int recTime = record.indexOf(QStringLiteral("rec_time"));
    QList<HistoryRow> rows;
    while (query.next())
        rows.append({query.value(sensor).toInt(), query.value(chanel).toInt(), query.value(nu).toDouble(),
                     query.value(vu).toDouble(), query.value(izm).toDouble(), storedTime(query.value(recTime))});
    query.finish();
    return rows;
}

std::optional<MaxMinRow> TDM_local::max_min(int sensor, int chanel, const QDateTime &time1)
{
    if (!isConnected())
        return std::nullopt;
    m_maxMin.addBindValue(sensor);
    m_maxMin.addBindValue(chanel);
    m_maxMin.addBindValue(history_time_text(time1));
    if (!m_maxMin.exec() || !m_maxMin.next()) {
        m_lastError = errorText(m_maxMin.lastError());
        return std::nullopt;
    }
    MaxMinRow row{m_maxMin.value(0), m_maxMin.value(1), m_maxMin.value(2),
                  m_maxMin.value(3), m_maxMin.value(4), m_maxMin.value(5)};
    m_maxMin.finish();
    return row;
}

std::optional<QList<HistoryRow>> TDM_local::chart_rows(int sensor, int chanel, const QDateTime &time1)
{
    if (!isConnected())
        return std::nullopt;
    m_chart.addBindValue(sensor);
    m_chart.addBindValue(chanel);
    m_chart.addBindValue(history_time_text(time1));
    return historyRows(m_chart);
}

std::optional<QList<int>> TDM_local::sensors()
{
    if (!isConnected())
        return std::nullopt;
    if (!m_sensors.exec()) {
        m_lastError = errorText(m_sensors.lastError());
        return std::nullopt;
    }
    QList<int> list;
    while (m_sensors.next())
        list.append(m_sensors.value(0).toInt());
    m_sensors.finish();
    return list;
}

bool TDM_local::set_interval(const QDateTime &dat1, const QDateTime &dat2)
{
    if (!isConnected())
        return false;
    m_interval.addBindValue(history_time_text(dat1));
    m_interval.addBindValue(history_time_text(dat2));
    if (!m_interval.exec())
        return fail(errorText(m_interval.lastError()));
    return true;
}

qint64 TDM_local::interval_row_count()
{
    if (!isConnected())
        return -1;
    if (!m_alert.exec() || !m_alert.next()) {
        m_lastError = errorText(m_alert.lastError());
        return -1;
    }
    const qint64 count = m_alert.value(0).toLongLong();
    m_alert.finish();
    return count;
}

std::optional<QList<CrossRow>> TDM_local::cross_table()
{
    if (!isConnected())
        return std::nullopt;
    if (!m_kross.exec()) {
        m_lastError = errorText(m_kross.lastError());
        return std::nullopt;
    }
    QList<CrossRow> rows;
    while (m_kross.next()) {
        CrossRow row;
        row.rec_time = storedTime(m_kross.value(0));
        row.sensor = m_kross.value(1).toInt();
        for (int c = 0; c < 12; ++c)
            row.izm[static_cast<std::size_t>(c)] = m_kross.value(2 + c);
        rows.append(row);
    }
    m_kross.finish();
    return rows;
}

std::optional<QList<HistoryRow>> TDM_local::interval_rows()
{
    if (!isConnected())
        return std::nullopt;
    return historyRows(m_table);
}

} // namespace qlx
