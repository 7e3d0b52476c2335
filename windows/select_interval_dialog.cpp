#include "windows/select_interval_dialog.h"

#include "widgets/dialog_seam.h"
#include "windows/sensors_table_window.h"

#include <QDateEdit>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace qlx {

Tfrm_select_interval::Tfrm_select_interval(OpenTable openTable, const QDateTime &now, QWidget *parent)
    : QWidget(parent),
      m_openTable(std::move(openTable))
{
    setObjectName(QStringLiteral("Tfrm_select_interval"));
    setWindowTitle(QStringLiteral("Выборка данных"));
    const QDateTime yesterday = now.addDays(-1);
    const auto dateField = [this](const QDate &date) {
        auto *field = new QDateEdit(date, this);
        field->setCalendarPopup(true);
        field->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        return field;
    };
    const auto timeField = [this](const QDateTime &time) {
        auto *field = new QDateTimeEdit(time, this);
        field->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        return field;
    };
    DateTimePicker1 = dateField(yesterday.date());
    DateTimePicker3 = timeField(QDateTime(yesterday.date(), now.time()));
    DateTimePicker2 = dateField(now.date());
    DateTimePicker4 = timeField(now);
    DateTimePicker1->setMaximumDate(now.date());
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn2 = new QPushButton(QStringLiteral("Закрыть"), this);
    BitBtn1->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Период данных"), this));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("С"), this), 0, 0);
    grid->addWidget(DateTimePicker1, 0, 1);
    grid->addWidget(DateTimePicker3, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("по"), this), 1, 0);
    grid->addWidget(DateTimePicker2, 1, 1);
    grid->addWidget(DateTimePicker4, 1, 2);
    layout->addLayout(grid);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The date fields steer the time fields, which keep their time of day.
    connect(DateTimePicker1, &QDateEdit::dateChanged, this, [this](const QDate &date) {
        DateTimePicker3->setDateTime(QDateTime(date, DateTimePicker3->time()));
    });
    connect(DateTimePicker2, &QDateEdit::dateChanged, this, [this](const QDate &date) {
        DateTimePicker4->setDateTime(QDateTime(date, DateTimePicker4->time()));
        DateTimePicker1->setMaximumDate(date);
    });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { m_tasks.start(BitBtn1Click()); });
    connect(BitBtn2, &QPushButton::clicked, this, &QWidget::close);
}

HistoryPeriod Tfrm_select_interval::period() const
{
    return {DateTimePicker3->dateTime(), DateTimePicker4->dateTime()};
}

QCoro::Task<void> Tfrm_select_interval::BitBtn1Click()
{
    if (m_busy || !m_openTable)
        co_return;
    m_busy = true;
    BitBtn1->setEnabled(false);
    QPointer<Tfrm_select_interval> self(this);
    QPointer<Tfrm_sensors> table = m_openTable(period());
    HistorySession::OpenResult result;
    if (table)
        result = co_await table->openData();
    if (!self) {
        // The dialog went while the rows were counted; the window stays only if it has rows to show.
        if (table && result.status != HistorySession::Opening::Opened
            && result.status != HistorySession::Opening::Failed)
            table->close();
        co_return;
    }
    m_busy = false;
    BitBtn1->setEnabled(true);
    bool opened = false;
    switch (result.status) {
    case HistorySession::Opening::Opened:
        opened = true;
        break;
    case HistorySession::Opening::Empty:
        if (table)
            table->close(); // nothing to show: the dialog stays for another try, without a message
        break;
    case HistorySession::Opening::TooMany:
        if (table) {
            DialogSeam::inform(this, QStringLiteral("Выборка данных"), history_limit_text(table->session()->rowLimit()),
                               QMessageBox::Warning);
            table->close();
        }
        break;
    case HistorySession::Opening::Failed:
        // The count failed: the database's text, and the new window stays open and empty.
        report_general_error(table ? static_cast<QWidget *>(table) : this, result.error);
        break;
    }
    emit confirmed(opened);
    if (opened)
        close();
}

} // namespace qlx
