#include "windows/monitor.h"

#include "engine/station.h"
#include "widgets/dialog_seam.h"
#include "base/unit_procedure.h"
#include "windows/print_report.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMetaMethod>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>

namespace qlx {

namespace {

constexpr int kTextLeft = 5;
constexpr int kTextTop = 2;

// Paints a cell from its T_cell: fill, then the text at 5 px from the left and
// 2 + top_offset px from the top.
class MonitorCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const T_cell &cell = arr_cells(index.column(), index.row());
        painter->save();
        painter->fillRect(option.rect, monitor_color(cell.back_color, option.palette));
        QFont font = option.font;
        if (cell.font_size > 0)
            font.setPointSize(cell.font_size);
        font.setBold((cell.font_style & fsBold) != 0);
        painter->setFont(font);
        painter->setPen(monitor_color(cell.font_color, option.palette));
        const QRect textRect = option.rect.adjusted(kTextLeft, kTextTop + cell.top_offset, 0, 0);
        painter->setClipRect(option.rect);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, cell.text);
        if (option.state & QStyle::State_HasFocus) {
            painter->setPen(QPen(option.palette.color(QPalette::Highlight), 1, Qt::DotLine));
            painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
        }
        painter->restore();
    }
};

} // namespace

QColor monitor_color(std::int32_t color, const QPalette &palette)
{
    if (color == clBtnFace)
        return palette.color(QPalette::Button);
    if (color == clInfoBk)
        return palette.color(QPalette::ToolTipBase);
    const auto v = static_cast<std::uint32_t>(color);
    return QColor(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF));
}

namespace {
QLabel *makeLabel(const QString &text, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}
} // namespace

Tfrm_monitor_auto2::Tfrm_monitor_auto2(Station &station, QWidget *parent)
    : QWidget(parent), m_station(station)
{
    setAttribute(Qt::WA_DeleteOnClose);
    abort_read = 0;
    write_monitor_header();

    auto *title = makeLabel(QStringLiteral("Каналы"), QColor(0, 0, 128), this);
    title->setObjectName(QStringLiteral("Label_title"));
    m_updateLabel = makeLabel(QString(), QColor(128, 0, 128), this);
    m_updateLabel->setObjectName(QStringLiteral("Label_update"));
    auto *below = makeLabel(QStringLiteral("Ниже уставки НУ"), QColor(0, 0, 255), this);
    below->setObjectName(QStringLiteral("Label_nu"));
    auto *above = makeLabel(QStringLiteral("Выше уставки ВУ"), QColor(255, 0, 0), this);
    above->setObjectName(QStringLiteral("Label_vu"));
    m_multiLine = new QCheckBox(QStringLiteral("В несколько строк"), this);
    m_multiLine->setObjectName(QStringLiteral("CheckBox_lines"));
    auto *report = new QPushButton(QStringLiteral("Отчет"), this);
    report->setObjectName(QStringLiteral("BitBtn_report"));
    report->setToolTip(QStringLiteral("Просмотр отчета"));
    auto *minimise = new QPushButton(QStringLiteral("Свернуть"), this);
    minimise->setObjectName(QStringLiteral("BitBtn_minimize"));

    m_model = new MonitorCellModel(2 + filled_slot_count(), this);
    m_grid = new QTableView(this);
    m_grid->setModel(m_model);
    m_grid->setItemDelegate(new MonitorCellDelegate(m_grid));
    m_grid->horizontalHeader()->hide();
    m_grid->verticalHeader()->hide();
    m_grid->horizontalHeader()->setDefaultSectionSize(kMonitorColumnWidth);
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(m_rowHeight);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setWordWrap(false);

    auto *top = new QHBoxLayout;
    top->addWidget(title);
    top->addWidget(m_updateLabel, 1);
    top->addWidget(below);
    top->addWidget(above);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_multiLine);
    bottom->addStretch(1);
    bottom->addWidget(report);
    bottom->addWidget(minimise);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_grid, 1);
    layout->addLayout(bottom);

    m_menu = new QMenu(QStringLiteral("Монитор"), this);
    QMenu *print = m_menu->addMenu(QStringLiteral("Печать"));
    QAction *preview = print->addAction(QStringLiteral("Предварительный просмотр"));
    QAction *printNow = print->addAction(QStringLiteral("Печать"));
    QAction *closeAction = m_menu->addAction(QStringLiteral("Закрыть"));

    connect(report, &QPushButton::clicked, this, [this] { Print_grid(); });
    connect(preview, &QAction::triggered, this, [this] { Print_grid(); });
    connect(printNow, &QAction::triggered, this, &Tfrm_monitor_auto2::printNow);
    connect(closeAction, &QAction::triggered, this, [this] { frameWindow()->close(); });
    connect(minimise, &QPushButton::clicked, this, [this] { frameWindow()->showMinimized(); });
    connect(m_grid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid() && (m_model->flags(current) & Qt::ItemIsSelectable))
                    m_lastRow = current.row();
            });
    connect(m_grid, &QTableView::doubleClicked, this, [this] {
        if (m_lastRow > 0)
            emit logViewerRequested(m_lastRow);
    });
}

Tfrm_monitor_auto2::~Tfrm_monitor_auto2() = default;

bool Tfrm_monitor_auto2::multiLine() const
{
    return m_multiLine->isChecked();
}

void Tfrm_monitor_auto2::formatCell(int col, int row, double value, int alarm_nu, int alarm_vu)
{
    if (m_closing)
        return;
    m_rowHeight = format_cell(m_station, multiLine(), col, row, value, alarm_nu, alarm_vu);
    refresh();
    cellsUpdated();
}

void Tfrm_monitor_auto2::refresh()
{
    if (m_closing)
        return;
    if (m_grid->verticalHeader()->defaultSectionSize() != m_rowHeight)
        m_grid->verticalHeader()->setDefaultSectionSize(m_rowHeight);
    m_model->refreshAll();
}

void Tfrm_monitor_auto2::cellsUpdated()
{
    if (m_closing)
        return;
    m_updateLabel->setText(QStringLiteral("Последнее обновление - ")
                           + current_time().toString(QStringLiteral("dd.MM.yyyy hh:mm.ss")));
}

TFrm_print *Tfrm_monitor_auto2::Print_grid()
{
    ReportSource source;
    source.rowCount = m_model->rowCount();
    source.updateLabel = m_updateLabel->text();
    source.multiLine = multiLine();
    source.printed = current_time();
    auto *window = new TFrm_print(m_reportsDir);
    window->setLines(report_lines(source));
    if (isSignalConnected(QMetaMethod::fromSignal(&Tfrm_monitor_auto2::reportWindowCreated)))
        emit reportWindowCreated(window);
    else
        window->show();
    return window;
}

void Tfrm_monitor_auto2::printNow()
{
    Print_grid()->Print_report();
}

QWidget *Tfrm_monitor_auto2::frameWindow()
{
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        return sub;
    return this;
}

void Tfrm_monitor_auto2::closeEvent(QCloseEvent *event)
{
    if (m_closeAllowed) {
        event->accept();
        return;
    }
    event->ignore();
    if (!m_asking)
        askClose();
}

QCoro::Task<void> Tfrm_monitor_auto2::askClose()
{
    m_asking = true;
    QPointer<Tfrm_monitor_auto2> self(this);
    const int answer = co_await DialogSeam::ask(
        this, QStringLiteral("Монитор состояний"),
        QStringLiteral("Закрытие приведет к отключению автоматического опроса. Продолжить?"),
        QMessageBox::Question, QMessageBox::Yes | QMessageBox::No);
    if (!self)
        co_return;
    m_asking = false;
    if (answer != QMessageBox::Yes) {
        frameWindow()->showMinimized();
        co_return;
    }
    // Whoever runs the reads behind the monitor stops them (closeConfirmed).
    m_closing = true;
    emit closeConfirmed();
    if (!self)
        co_return;
    m_closeAllowed = true;
    // The sub-window goes with the monitor, whoever created it.
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        sub->setAttribute(Qt::WA_DeleteOnClose);
    // Closed from the event loop: the answer may arrive while the close that
    // asked is still running, and a window being closed ignores a second close.
    QMetaObject::invokeMethod(frameWindow(), &QWidget::close, Qt::QueuedConnection);
}

} // namespace qlx
