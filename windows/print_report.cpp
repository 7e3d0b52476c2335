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

// A fixed-pitch font of the given size: Courier New where it is installed,
// otherwise the system's fixed font.
QFont reportFont(int pointSize)
{
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(pointSize);
    return font;
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

QString print_report_lines(QPrinter &printer, const QStringList &lines)
{
    printer.setPageOrientation(QPageLayout::Landscape);
    printer.setDocName(kReportDocumentTitle);
    if (printer.outputFormat() == QPrinter::PdfFormat && printer.outputFileName().isEmpty())
        return QStringLiteral("Печать невозможна: принтер не установлен или недоступен.");
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
