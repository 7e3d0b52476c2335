#include "windows/print_report.h"

#include "base/node_table.h"
#include "widgets/dialog_seam.h"
#include "storage/unit_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

namespace qlx {

namespace {

// True when the font gives narrow and wide characters, Latin and Cyrillic, one
// advance: the report's columns line up by character count only then. A family's
// own claim (QFontInfo::fixedPitch) is not enough: a substitute may make it.
bool hasOneAdvance(const QFont &font)
{
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('W'));
    if (advance <= 0)
        return false;
    for (const QChar c : QStringLiteral("i.1|-ШыW "))
        if (!qFuzzyCompare(metrics.horizontalAdvance(c), advance))
            return false;
    return true;
}

// A fixed-pitch font of the given size: DejaVu Sans Mono (which the station's
// machines get with fonts-dejavu-core), else Courier New or another common
// monospaced family, else the system's fixed font; the first whose characters
// really share one advance.
QFont reportFont(int pointSize)
{
    QList<QFont> candidates;
    for (const char *family : {"DejaVu Sans Mono", "Courier New", "Liberation Mono", "Noto Sans Mono", "Noto Mono"}) {
        QFont font(QString::fromLatin1(family));
        font.setStyleHint(QFont::TypeWriter);
        font.setFixedPitch(true);
        candidates << font;
    }
    candidates << QFontDatabase::systemFont(QFontDatabase::FixedFont);
    QFont generic(QStringLiteral("monospace"));
    generic.setStyleHint(QFont::Monospace);
    generic.setFixedPitch(true);
    candidates << generic;
    for (QFont &font : candidates) {
        font.setPointSize(pointSize);
        if (hasOneAdvance(font))
            return font;
    }
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fallback.setPointSize(pointSize);
    return fallback;
}

} // namespace

namespace {
QPrinter *g_printer = nullptr;
}

QPrinter &current_printer()
{
    if (!g_printer) {
        g_printer = new QPrinter(QPrinter::HighResolution);
        // Gone with the application object, while the print plugins are still loaded.
        qAddPostRoutine([] {
            delete g_printer;
            g_printer = nullptr;
        });
    }
    return *g_printer;
}

QString printer_unavailable(const QPrinter &printer)
{
    // Without a print system Qt falls back to PDF output, which needs a file to go to.
    if (printer.outputFormat() == QPrinter::PdfFormat && printer.outputFileName().isEmpty())
        return QStringLiteral("Печать невозможна: принтер не установлен или недоступен.");
    return {};
}

QString print_report_lines(QPrinter &printer, const QStringList &lines)
{
    printer.setPageOrientation(QPageLayout::Landscape);
    printer.setDocName(kReportDocumentTitle);
    if (const QString problem = printer_unavailable(printer); !problem.isEmpty())
        return problem;
    QPainter painter;
    if (!painter.begin(&printer)) {
        const QString name = printer.printerName().isEmpty() ? printer.outputFileName() : printer.printerName();
        return QStringLiteral("Не удалось начать печать на \"%1\".").arg(name);
    }
    // Paper keeps the screen's fixed-pitch font at 8 points; lines longer than
    // the page are clipped at its edge rather than broken.
    const QFont font = reportFont(8);
    painter.setFont(QFont(font, painter.device()));
    const QFontMetrics metrics(painter.font(), painter.device());
    // The painter's origin is the top left of the printable area.
    const QRect page(QPoint(0, 0), printer.pageLayout().paintRectPixels(printer.resolution()).size());
    const int lineHeight = qMax(1, metrics.lineSpacing());
    const int perPage = qMax(1, page.height() / lineHeight);
    int onPage = 0;
    for (const QString &line : lines) {
        if (onPage == perPage) {
            if (!printer.newPage()) {
                painter.end();
                return QStringLiteral("Ошибка печати: не удалось начать новую страницу.");
            }
            onPage = 0;
        }
        painter.drawText(page.left(), page.top() + onPage * lineHeight + metrics.ascent(), line);
        ++onPage;
    }
    if (!painter.end() || printer.printerState() == QPrinter::Error)
        return QStringLiteral("Ошибка печати.");
    return {};
}

TFrm_print::TFrm_print(const QString &reportsDir, QWidget *parent)
    : QWidget(parent), m_reportsDir(reportsDir)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Просмотр отчета"));
    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName(QStringLiteral("Memo1"));
    m_memo->setReadOnly(true);
    m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_memo->setFont(reportFont(8));
    m_memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *print = new QPushButton(QStringLiteral("Печать"), this);
    print->setObjectName(QStringLiteral("BitBtn_print"));
    auto *save = new QPushButton(QStringLiteral("Сохранить..."), this);
    save->setObjectName(QStringLiteral("BitBtn_save"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(print);
    buttons->addWidget(save);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_memo, 1);
    layout->addLayout(buttons);

    // The commands run as coroutines; each keeps itself alive until it ends.
    connect(print, &QPushButton::clicked, this, [this] { printClick(); });
    connect(save, &QPushButton::clicked, this, [this] { saveClick(); });
    resize(900, 500);
}

void TFrm_print::setLines(const QStringList &lines)
{
    m_memo->setPlainText(lines.join(QLatin1Char('\n')));
}

QStringList TFrm_print::lines() const
{
    return m_memo->toPlainText().split(QLatin1Char('\n'));
}

void TFrm_print::reportError(const QString &what)
{
    report_general_error(this, what);
}

void TFrm_print::Print_report()
{
    const QString error = print_report_lines(current_printer(), lines());
    if (!error.isEmpty()) {
        // Nothing went out: the report stays on screen to be printed or saved another way.
        reportError(error);
        return;
    }
    if (auto *frame = parentWidget(); frame && frame->inherits("QMdiSubWindow"))
        frame->close();
    else
        close();
}

QCoro::Task<void> TFrm_print::printClick()
{
    QPointer<TFrm_print> self(this);
    QPrinter &printer = current_printer();
    printer.setPageOrientation(QPageLayout::Landscape);
    QPointer<QPrintDialog> dialog = new QPrintDialog(&printer, this);
    const int result = co_await DialogSeam::run(dialog);
    if (dialog)
        dialog->deleteLater();
    if (!self || result != QDialog::Accepted)
        co_return;
    const QString error = print_report_lines(printer, lines());
    if (!error.isEmpty() && self)
        reportError(error);
}

QCoro::Task<void> TFrm_print::saveClick()
{
    QPointer<TFrm_print> self(this);
    const QString start = QFileInfo(m_reportsDir).isDir() ? m_reportsDir : QString();
    QString path;
    for (;;) {
        QPointer<QFileDialog> dialog = new QFileDialog(this, QStringLiteral("Сохранить отчет"), start);
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        // The overwrite question is asked below, without a nested event loop.
        dialog->setOption(QFileDialog::DontConfirmOverwrite);
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        dialog->setNameFilters({QStringLiteral("Текстовые файлы (*.txt)"), QStringLiteral("Все файлы (*.*)")});
        dialog->setDefaultSuffix(QStringLiteral("txt"));
        const int result = co_await DialogSeam::run(dialog);
        const QStringList chosen = dialog ? dialog->selectedFiles() : QStringList();
        if (dialog)
            dialog->deleteLater();
        if (!self || result != QDialog::Accepted || chosen.isEmpty())
            co_return;
        path = chosen.constFirst();
        if (!QFileInfo::exists(path))
            break;
        const int answer = co_await DialogSeam::ask(
            this, QStringLiteral("Сохранить отчет"),
            QStringLiteral("Файл %1 уже существует.\nЗаменить его?").arg(QDir::toNativeSeparators(path)),
            QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No);
        if (!self)
            co_return;
        if (answer == QMessageBox::Yes)
            break;
    }
    const QString error = save_report_lines(path, lines());
    if (!error.isEmpty())
        reportError(error);
}

} // namespace qlx
