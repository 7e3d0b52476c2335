// The interval dialog `Tfrm_select_interval` ("Выборка данных") of the history
// table: the period's start and end, each a date field that steers a time field
// holding the full date and time, to the second. OK opens a table window of that
// period; a period without rows closes it again and leaves the dialog open for
// another try, a period above the row limit does the same with a message.
#pragma once

#include "engine/history_session.h"
#include "widgets/task_owner.h"

#include <QWidget>

#include <functional>

class QDateEdit;
class QDateTimeEdit;
class QPushButton;

namespace qlx {

class Tfrm_sensors;

class Tfrm_select_interval : public QWidget {
    Q_OBJECT
public:
    // Creates and shows a table window of a period (the application puts it among its windows).
    using OpenTable = std::function<Tfrm_sensors *(const HistoryPeriod &period)>;

    // `now`: the moment the default period (the last 24 hours) ends.
    explicit Tfrm_select_interval(OpenTable openTable, const QDateTime &now = QDateTime::currentDateTime(),
                                  QWidget *parent = nullptr);

    QDateEdit *DateTimePicker1 = nullptr;     // start date
    QDateTimeEdit *DateTimePicker3 = nullptr; // start time: the start's full date and time
    QDateEdit *DateTimePicker2 = nullptr;     // end date
    QDateTimeEdit *DateTimePicker4 = nullptr; // end time: the end's full date and time
    QPushButton *BitBtn1 = nullptr;           // "OK"
    QPushButton *BitBtn2 = nullptr;           // "Закрыть"

    HistoryPeriod period() const;
    // "OK"; finishes once the table window is open or given up.
    QCoro::Task<void> BitBtn1Click();

signals:
    // An OK has been answered: a table window opened (true) or the dialog stayed (false).
    void confirmed(bool opened);

private:
    OpenTable m_openTable;
    bool m_busy = false;
    TaskOwner m_tasks{this};
};

} // namespace qlx
