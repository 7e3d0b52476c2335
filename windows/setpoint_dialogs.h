// The two setpoint dialogs of a controller channel: the write dialog
// `Tfrm_record` ("Запись парамeтров в узел") sends one threshold (a setpoint or
// the hysteresis of one) to a controller, and the read dialog `Tfrm_read_ustav`
// ("Уставки") shows the four thresholds of a channel as the node table holds
// them from the last full read, without talking to the controller.
//
// The write goes out only as a valid request (address 1..255, since 0 would
// reach every controller at once; a channel and a threshold chosen; a value
// that is a number fitting 32 bits in thousandths): anything else is refused
// with one warning and nothing is sent. It counts as done only when the
// controller echoes it exactly; only then does the node table take the value
// that was sent. The write runs as a coroutine kept by the dialog: the dialog
// may be closed while it waits for the answer, and the write then finishes
// without it (a confirmed write still updates the node table).
//
// Both dialogs are made for one use and destroyed when closed (WA_DeleteOnClose);
// the opener shows them, as a sub-window of the main window's multi-document
// frame or as windows of their own. In a sub-window they close it with them.
#pragma once

#include <QDialog>
#include <QPointer>

#include <qcoro/qcorotask.h>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace qlx {

class Station;
class TaskOwner;

// The check of a number field, run on every change of its text: full stops
// become commas (the caret going to the end), and a text that is neither empty,
// nor "-", nor a decimal number (blanks around it allowed) raises the "Ввод
// числа" error box; once that is closed the focus goes back to the field. The
// text itself is left as typed. The change the check makes itself is checked by
// the same run, so one edit raises the box at most once.
QCoro::Task<void> check_number_field(QLineEdit *field);

class Tfrm_record : public QDialog {
    Q_OBJECT
public:
    // Opened empty, from the main window's menu: the operator types the node's address.
    explicit Tfrm_record(Station &station, QWidget *parent = nullptr);
    // Opened for one node and channel (the device window's "ПРГ"): the address and
    // the channel (1..12) are filled in; the threshold and the value are left to the operator.
    Tfrm_record(Station &station, QWidget *parent, int address, int channel);

    QLabel *Label1 = nullptr;
    QLineEdit *txt_sensor = nullptr;    // the node's bus address
    QComboBox *cmb_chanel = nullptr;    // "1" .. "12"
    QComboBox *cmb_operation = nullptr; // the four thresholds, in register order
    QLineEdit *txt_value = nullptr;     // the value in engineering units
    QPushButton *BitBtn1 = nullptr;     // "Записать"
    QPushButton *BitBtn2 = nullptr;     // "Закрыть"
    QLineEdit *Edit1 = nullptr;         // the answer of the last write (hex text or "Time Out"); never shown

    // Coroutines of the dialog still running: the write (at most one), and a
    // value check whose message box is still open.
    int runningTasks() const;

public slots:
    // "Записать": starts the write; ignored while one is running.
    void BitBtn1Click();
    // Every way of closing ("Закрыть", Esc, the close box, a successful write)
    // ends here; inside the multi-document frame the sub-window closes too.
    void done(int result) override;

private:
    static QCoro::Task<void> writeFlow(QPointer<Tfrm_record> self);
    void setWriting(bool writing);

    Station &m_station;
    TaskOwner *m_tasks = nullptr;
    bool m_writing = false;
};

class Tfrm_read_ustav : public QDialog {
    Q_OBJECT
public:
    // The node list holds the bus addresses of the node table as it is now; the
    // station is not asked anything, the dialog only reads the node table.
    explicit Tfrm_read_ustav(Station &station, QWidget *parent = nullptr);

    QComboBox *cmb_sensor = nullptr; // editable: the node's bus address
    QComboBox *cmb_chanel = nullptr; // "1" .. "12"
    QTableWidget *StrGrid = nullptr; // 2 columns x 4 rows: label, value
    QPushButton *BitBtn1 = nullptr;  // "Обновить"
    QPushButton *BitBtn2 = nullptr;  // "Закрыть"

public slots:
    // Fills the grid with the thresholds of the typed node and chosen channel, when
    // both are given. The address is looked up in the node table each time (its last
    // slot); an address the table does not hold leaves the grid empty.
    void Read_ustav();
    // Every way of closing ends here; inside the multi-document frame the sub-window closes too.
    void done(int result) override;

private:
    void FormCreate();
};

} // namespace qlx
