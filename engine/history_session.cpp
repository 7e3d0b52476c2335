#include "engine/history_session.h"

#include "storage/unit_dm.h"

#include <QFileInfo>
#include <QLocale>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <chrono>

namespace qlx {

using namespace std::chrono_literals;

QString history_limit_text(qint64 limit)
{
    QLocale russian(QLocale::Russian, QLocale::Russia);
    return QStringLiteral("В выбранном периоде больше %1 записей.\n\rВыберите более короткий период.")
        .arg(russian.toString(limit));
}

HistorySession::HistorySession(TDM_local &dm, const HistoryPeriod &period, QObject *parent)
    : QObject(parent),
      m_dm(dm),
      m_period(period)
{
    m_tables[0] = std::make_shared<HistoryTable>(HistoryView::Rows);
    m_tables[1] = std::make_shared<HistoryTable>(HistoryView::Cross);
}

HistorySession::~HistorySession() = default;

void HistorySession::leave()
{
    if (--m_active == 0 && m_released)
        deleteLater();
}

void HistorySession::release()
{
    m_released = true;
    if (m_active == 0)
        deleteLater();
}

QCoro::Task<HistorySession::OpenResult> HistorySession::open()
{
    // The shared row is for programs that read the stored row sources; this
    // session reads its own period, so a failure here changes nothing it shows.
    m_dm.set_interval(m_period.from, m_period.to);
    OpenResult result;
    HistoryReader reader(m_dm);
    const std::optional<qint64> count = reader.count(m_period, m_rowLimit + 1);
    if (!count) {
        result.error = reader.lastError();
        m_error = result.error;
        co_return result;
    }
    m_count = *count;
    result.count = *count;
    result.status = *count == 0 ? Opening::Empty : *count > m_rowLimit ? Opening::TooMany : Opening::Opened;
    co_return result;
}

QCoro::Task<bool> HistorySession::load(HistoryView view)
{
    const std::size_t i = index(view);
    ++m_active;
    if (m_loading[i]) {
        // One load of a view at a time: a second asker waits for the first.
        bool ok = false;
        for (;;) {
            const auto [finished, success] = co_await qCoro(this, &HistorySession::loadFinished);
            if (finished == view) {
                ok = success;
                break;
            }
        }
        leave();
        co_return ok;
    }
    m_loading[i] = true;
    emit loadingChanged(view, true);

    auto table = std::make_shared<HistoryTable>(view);
    if (m_count > 0) // the count was taken just before: growing the store would double its peak
        table->reserve(view == HistoryView::Rows ? m_count : m_count / 12 + 1);
    bool ok = false;
    QString error;
    {
        HistoryReader reader(m_dm);
        ok = reader.start(m_period, *table);
        while (ok && !reader.done()) {
            ok = reader.fetch(m_pageRows);
            if (ok && table->view() == HistoryView::Rows && table->rowCount() > m_rowLimit) {
                ok = false;
                error = history_limit_text(m_rowLimit);
                break;
            }
            if (ok && !reader.done())
                co_await QCoro::sleepFor(0ms); // polling and the windows get their turn
            if (m_released) {
                ok = false;
                error = QStringLiteral("загрузка прервана");
                break;
            }
        }
        if (!ok && error.isEmpty())
            error = reader.lastError();
    }
    if (ok) {
        table->squeeze();
        m_tables[i] = std::move(table);
        m_loaded[i] = true;
    } else {
        m_error = error;
    }
    m_loading[i] = false;
    emit loadingChanged(view, false);
    emit loadFinished(view, ok);
    leave();
    co_return ok;
}

QCoro::Task<bool> HistorySession::ensureLoaded(HistoryView view)
{
    if (m_loaded[index(view)] && !m_loading[index(view)])
        co_return true;
    co_return co_await load(view);
}

QCoro::Task<QString> HistorySession::exportTo(ExportFormat format, QString chosen, GridLayout rows, GridLayout cross)
{
    ++m_active;
    const QStringList targets = export_targets(format, chosen);
    QString failed;
    if (!co_await ensureLoaded(HistoryView::Rows)) {
        failed = QStringLiteral("Не удалось прочитать данные \"Вид 1\": %1").arg(m_error);
    } else if (!m_released) {
        QList<ExportPart> parts(2);
        parts[0].table = m_tables[0];
        parts[0].layout = rows;
        parts[0].path = targets.at(0);
        parts[1].table = m_tables[1];
        parts[1].layout = cross;
        parts[1].path = targets.at(1);
        failed = co_await export_tables(format, parts);
    }
    leave();
    co_return failed;
}

QString F_extract_file_name(const QString &name)
{
    if (name.size() >= 4 && name.at(name.size() - 4) == u'.')
        return name.left(name.size() - 4);
    return name;
}

QString export_extension(ExportFormat format)
{
    switch (format) {
    case ExportFormat::Html:
        return QStringLiteral(".htm");
    case ExportFormat::Excel:
        return QStringLiteral(".xls");
    case ExportFormat::Text:
        break;
    }
    return QStringLiteral(".txt");
}

QStringList export_targets(ExportFormat format, const QString &chosen)
{
    const QString base = F_extract_file_name(chosen);
    const QString extension = export_extension(format);
    return {base + extension, base + QStringLiteral("2") + extension};
}

QStringList existing_targets(const QStringList &targets)
{
    QStringList existing;
    for (const QString &path : targets)
        if (QFileInfo::exists(path))
            existing << path;
    return existing;
}

std::optional<ExportFormat> export_format_of(const QString &file)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == QLatin1String("htm") || suffix == QLatin1String("html"))
        return ExportFormat::Html;
    if (suffix == QLatin1String("xls"))
        return ExportFormat::Excel;
    if (suffix == QLatin1String("txt"))
        return ExportFormat::Text;
    return std::nullopt;
}

QCoro::Task<QString> export_period(TDM_local &dm, HistoryPeriod period, QString file, GridLayout rows,
                                   GridLayout cross)
{
    const std::optional<ExportFormat> format = export_format_of(file);
    if (!format)
        co_return QStringLiteral("Неизвестный формат файла %1: нужно расширение .htm, .xls или .txt").arg(file);
    HistorySession session(dm, period);
    const HistorySession::OpenResult opened = co_await session.open();
    if (opened.status == HistorySession::Opening::Failed)
        co_return QStringLiteral("Ошибка чтения базы данных: %1").arg(opened.error);
    if (opened.status == HistorySession::Opening::TooMany)
        co_return history_limit_text(session.rowLimit());
    const QStringList existing = existing_targets(export_targets(*format, file));
    if (!existing.isEmpty())
        co_return QStringLiteral("Файл уже существует: %1").arg(existing.join(QStringLiteral(", ")));
    if (!co_await session.load(HistoryView::Cross))
        co_return QStringLiteral("Ошибка чтения базы данных: %1").arg(session.error());
    co_return co_await session.exportTo(*format, file, rows, cross);
}

QCoro::Task<QString> export_tables(ExportFormat format, QList<ExportPart> parts, int pageRows)
{
    std::vector<std::unique_ptr<TableFileWriter>> writers;
    for (const ExportPart &part : std::as_const(parts)) {
        GridArrangement arrangement;
        arrangement.build(*part.table, part.layout);
        std::unique_ptr<TableFileWriter> writer = TableFileWriter::create(format, part.path);
        bool ok = writer->begin(*part.table, part.layout.order, part.table->rowCount());
        GridWalk walk(arrangement);
        GridWalk::Line line;
        int lines = 0;
        while (ok && walk.next(&line)) {
            ok = line.group >= 0 ? writer->group(arrangement.groupCaption(*part.table, line.group),
                                                 arrangement.groups()[std::size_t(line.group)].level)
                                 : writer->row(line.row);
            if (++lines == pageRows) {
                lines = 0;
                co_await QCoro::sleepFor(0ms);
            }
        }
        if (!ok || !writer->end())
            co_return writer->errorString(); // the writers' temporary files go with them
        writers.push_back(std::move(writer));
    }
    for (const std::unique_ptr<TableFileWriter> &writer : writers)
        if (!writer->commit())
            co_return writer->errorString();
    co_return QString();
}

} // namespace qlx
