#include "windows/history_chart_window.h"

#include "widgets/dialog_seam.h"
#include "windows/print_report.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLineEdit>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QPrinter>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qlx {

namespace {

const QString kAutoOn = QStringLiteral("Автоматическое обновление");
const QString kAutoOff = QStringLiteral("Автоматическое обновление выключено");
// Date over time of day, on two lines; minutes after hours.
const QString kTimeFormat = QStringLiteral("dd.MM.yyyy'<br>'hh:mm.ss");
constexpr int kLineWidth = 5;
constexpr double kValueStep = 0.01;

QComboBox *editableList(const QStringList &items, const QString &initial, QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    box->setEditText(initial);
    return box;
}

QLineSeries *lineSeries(const QString &name, const QColor &colour)
{
    auto *series = new QLineSeries;
    series->setName(name);
    series->setPen(QPen(colour, kLineWidth));
    series->setPointsVisible(false);
    return series;
}

} // namespace

HistoryChartView::HistoryChartView(QChart *chart, QWidget *parent)
    : QChartView(chart, parent)
{
    setRubberBand(QChartView::RectangleRubberBand);
    setRenderHint(QPainter::Antialiasing);
}

void HistoryChartView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        emit fullViewRequested();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void HistoryChartView::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    // A twentieth of the width on both sides, nothing above or below.
    const int side = width() / 20;
    chart()->setMargins(QMargins(side, 0, side, 0));
}

HistoryChartWindow::HistoryChartWindow(TDM_local &dm, QWidget *parent)
    : QWidget(parent), m_chart(dm), m_clock([] { return QDateTime::currentDateTime(); })
{
    setWindowTitle(QStringLiteral("График"));

    auto *top = new QHBoxLayout;
    m_sensorLabel = new QLabel(QStringLiteral("Датчик"), this);
    m_sensorLabel->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *fillAll = new QAction(QStringLiteral("Заполнить всеми возможными"), m_sensorLabel);
    m_sensorLabel->addAction(fillAll);
    connect(fillAll, &QAction::triggered, this, &HistoryChartWindow::fillAllAddresses);
    m_sensor = editableList(HistoryChart::nodeAddresses(), QString(), this);

    QStringList channels;
    for (int c = 1; c <= 12; ++c)
        channels << QString::number(c);
    m_channel = editableList(channels, QStringLiteral("1"), this);

    QStringList seconds;
    for (int s = 5; s <= 60; s += 5)
        seconds << QString::number(s);
    m_refresh = editableList(seconds, QString::number(m_refreshValue), this);

    m_minutes = editableList({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
                              QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("15"), QStringLiteral("30"),
                              QStringLiteral("60"), QStringLiteral("90"), QStringLiteral("120")},
                             QString::number(m_minutesValue), this);

    m_refreshButton = new QToolButton(this);
    m_refreshButton->setCheckable(true);
    m_refreshButton->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    m_refreshButton->setToolTip(kAutoOn);
    m_printButton = new QToolButton(this);
    m_printButton->setIcon(QIcon::fromTheme(QStringLiteral("document-print"),
                                            style()->standardIcon(QStyle::SP_FileDialogDetailedView)));
    m_printButton->setToolTip(QStringLiteral("Печать"));
    m_markers = new QCheckBox(QStringLiteral("Маркеры"), this);

    top->addWidget(m_sensorLabel);
    top->addWidget(m_sensor);
    top->addWidget(new QLabel(QStringLiteral("Номер канала"), this));
    top->addWidget(m_channel);
    top->addWidget(new QLabel(QStringLiteral("Обновление сек."), this));
    top->addWidget(m_refresh);
    top->addWidget(new QLabel(QStringLiteral("История мин."), this));
    top->addWidget(m_minutes);
    top->addWidget(m_refreshButton);
    top->addWidget(m_printButton);
    top->addWidget(m_markers);
    top->addStretch();

    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    // Zooming glides; short enough that a tick every second is never drawn late.
    chart->setAnimationOptions(QChart::GridAxisAnimations);
    chart->setAnimationDuration(250);
    m_izm = lineSeries(QStringLiteral("Изм"), QColor(u"red"));
    m_vu = lineSeries(QStringLiteral("ВУ"), QColor(u"green"));
    m_nu = lineSeries(QStringLiteral("НУ"), QColor(u"blue"));
    m_izm->setPointLabelsFormat(QStringLiteral("@yPoint"));
    m_izm->setPointLabelsClipping(true);
    m_timeAxis = new QDateTimeAxis;
    m_timeAxis->setFormat(kTimeFormat);
    m_valueAxis = new QValueAxis;
    m_valueAxis->setLabelFormat(QStringLiteral("%.2f"));
    chart->addAxis(m_timeAxis, Qt::AlignBottom);
    chart->addAxis(m_valueAxis, Qt::AlignLeft);
    for (QLineSeries *series : {m_izm, m_vu, m_nu}) {
        chart->addSeries(series);
        series->attachAxis(m_timeAxis);
        series->attachAxis(m_valueAxis);
    }
    const QDateTime now = m_clock();
    setTimeRange(chart_window_start(now, m_minutesValue), now);
    setValueRange(0, 1);
    m_view = new HistoryChartView(chart, this);

    m_status = new QLabel(this);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_status);

    m_timer = new QTimer(this);
    m_timer->setInterval(m_refreshValue * 1000);
    connect(m_timer, &QTimer::timeout, this, &HistoryChartWindow::load_history);
    connect(m_refreshButton, &QToolButton::toggled, this, &HistoryChartWindow::setAutoRefresh);
    connect(m_printButton, &QToolButton::clicked, this, &HistoryChartWindow::printChart);
    connect(m_markers, &QCheckBox::toggled, m_izm, &QLineSeries::setPointLabelsVisible);
    // A list choice or a finished edit is a change; single keystrokes are not.
    connect(m_refresh, &QComboBox::activated, this, &HistoryChartWindow::refreshChanged);
    connect(m_refresh->lineEdit(), &QLineEdit::editingFinished, this, &HistoryChartWindow::refreshChanged);
    connect(m_minutes, &QComboBox::activated, this, &HistoryChartWindow::minutesChanged);
    connect(m_minutes->lineEdit(), &QLineEdit::editingFinished, this, &HistoryChartWindow::minutesChanged);
    connect(m_view, &HistoryChartView::fullViewRequested, this, &HistoryChartWindow::showFullView);
    // Any change of the axes the window did not make is the operator zooming.
    connect(m_timeAxis, &QDateTimeAxis::rangeChanged, this, [this](const QDateTime &from, const QDateTime &to) {
        m_timeAxis->setTickCount(std::clamp(int(from.secsTo(to) / 60) + 1, 2, 7));
        if (!m_settingRange)
            m_zoomed = true;
    });
    connect(m_valueAxis, &QValueAxis::rangeChanged, this, [this](qreal low, qreal high) {
        m_valueAxis->setTickCount(std::clamp(int(std::floor((high - low) / kValueStep)) + 1, 2, 6));
        if (!m_settingRange)
            m_zoomed = true;
    });
    updateStatus();
}

QLineSeries *HistoryChartWindow::series(int index) const
{
    switch (index) {
    case 0: return m_izm;
    case 1: return m_vu;
    case 2: return m_nu;
    default: return nullptr;
    }
}

void HistoryChartWindow::setAutoRefresh(bool on)
{
    if (m_refreshButton->isChecked() != on) {
        m_refreshButton->setChecked(on); // comes back here through toggled
        return;
    }
    if (on)
        m_timer->start();
    else
        m_timer->stop();
    updateStatus();
}

bool HistoryChartWindow::autoRefresh() const
{
    return m_timer->isActive();
}

void HistoryChartWindow::updateStatus()
{
    const bool on = m_timer->isActive();
    m_status->setText(on ? kAutoOn : kAutoOff);
    m_status->setStyleSheet(on ? QStringLiteral("color: black") : QStringLiteral("color: red"));
}

std::optional<int> HistoryChartWindow::changedValue(QComboBox *box, int current,
                                                   std::optional<int> (*check)(const QString &, QString *))
{
    const QString text = box->currentText();
    if (text.trimmed() == QString::number(current))
        return std::nullopt;
    QString error;
    if (const auto value = check(text, &error))
        return value;
    // The last good value stays in force and in the field, so later ticks keep working.
    box->setEditText(QString::number(current));
    report_general_error(this, error);
    return std::nullopt;
}

void HistoryChartWindow::minutesChanged()
{
    if (const auto minutes = changedValue(m_minutes, m_minutesValue, chart_minutes))
        m_minutesValue = *minutes;
}

void HistoryChartWindow::refreshChanged()
{
    if (const auto seconds = changedValue(m_refresh, m_refreshValue, chart_refresh_seconds)) {
        m_refreshValue = *seconds;
        m_timer->setInterval(m_refreshValue * 1000);
    }
}

void HistoryChartWindow::load_history()
{
    // The field may hold an edit not yet finished: the value in force counts.
    m_last = m_chart.load_history(m_sensor->currentText(), m_channel->currentText(), m_minutesValue, m_clock());
    if (!m_last) {
        for (QLineSeries *series : {m_izm, m_vu, m_nu})
            series->clear();
        emit loaded(0);
        return;
    }
    QList<QPointF> izm, vu, nu;
    izm.reserve(m_last->rows.size());
    vu.reserve(m_last->rows.size());
    nu.reserve(m_last->rows.size());
    for (const HistoryRow &row : std::as_const(m_last->rows)) {
        const double x = double(row.rec_time.toMSecsSinceEpoch());
        izm.append({x, row.izm});
        vu.append({x, row.vu});
        nu.append({x, row.nu});
    }
    m_izm->replace(izm);
    m_vu->replace(vu);
    m_nu->replace(nu);
    if (m_zoomed) {
        // The operator's left end and value range stay; the right end follows the newest row.
        const QDateTime newest = m_last->rows.last().rec_time;
        const QDateTime left = m_timeAxis->min();
        setTimeRange(left, newest > left ? newest : left.addSecs(1));
    } else {
        showFullView();
    }
    emit loaded(int(m_last->rows.size()));
}

void HistoryChartWindow::showFullView()
{
    m_zoomed = false;
    if (!m_last)
        return;
    m_settingRange = true;
    m_view->chart()->zoomReset();
    m_settingRange = false;
    const QDateTime first = m_last->rows.first().rec_time;
    const QDateTime last = m_last->rows.last().rec_time;
    if (first < last)
        setTimeRange(first, last);
    else
        setTimeRange(first.addSecs(-30), last.addSecs(30));
    // A little room above and below, so the wide lines are not cut at the edges.
    const double pad = m_last->maxValue > m_last->minValue ? (m_last->maxValue - m_last->minValue) * 0.05 : 1.0;
    setValueRange(m_last->minValue - pad, m_last->maxValue + pad);
}

void HistoryChartWindow::zoomTo(const QRectF &plotRect)
{
    m_view->chart()->zoomIn(plotRect);
}

void HistoryChartWindow::setTimeRange(const QDateTime &from, const QDateTime &to)
{
    m_settingRange = true;
    m_timeAxis->setRange(from, to);
    m_settingRange = false;
}

void HistoryChartWindow::setValueRange(double low, double high)
{
    m_settingRange = true;
    m_valueAxis->setRange(low, high);
    m_settingRange = false;
}

void HistoryChartWindow::fillAllAddresses()
{
    const auto addresses = m_chart.allAddresses();
    if (!addresses) {
        report_general_error(this, QStringLiteral("Не удалось прочитать список датчиков из базы данных."));
        return;
    }
    const QString text = m_sensor->currentText();
    m_sensor->clear();
    m_sensor->addItems(*addresses);
    m_sensor->setEditText(text);
}

void HistoryChartWindow::printChart()
{
    QPrinter &printer = current_printer();
    if (const QString problem = printer_unavailable(printer); !problem.isEmpty()) {
        report_general_error(this, problem);
        return;
    }
    printer.setPageOrientation(QPageLayout::Landscape);
    printer.setDocName(windowTitle());
    QPainter painter;
    if (!painter.begin(&printer)) {
        const QString name = printer.printerName().isEmpty() ? printer.outputFileName() : printer.printerName();
        report_general_error(this, QStringLiteral("Не удалось начать печать на \"%1\".").arg(name));
        return;
    }
    m_view->render(&painter, QRectF(painter.viewport()), m_view->viewport()->rect(), Qt::KeepAspectRatio);
    if (!painter.end() || printer.printerState() == QPrinter::Error)
        report_general_error(this, QStringLiteral("Ошибка печати."));
}

} // namespace qlx
