// The refresh-interval dialog `Tfrm_time_refresh` ("Интервал обновления") and the
// interval prompt `ask_refresh_interval` that opens it, waits for its answer and
// closes it. Used by the main window's polling interval and by the device window.
#pragma once

#include <QDialog>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>

class QComboBox;
class QLabel;
class QPushButton;

namespace qlx {

class Tfrm_time_refresh : public QDialog {
    Q_OBJECT
public:
    // Shows an error message box: parent, caption, text. Tests replace it.
    using ErrorMessage = std::function<void(QWidget *parent, const QString &caption, const QString &text)>;

    explicit Tfrm_time_refresh(QWidget *parent = nullptr);

    // The answer (`Edit1`): empty while the dialog waits, then the interval in
    // milliseconds as decimal text, or "exit".
    QString answer() const { return m_answer; }

    QLabel *Label1 = nullptr;
    QComboBox *Cmb_time = nullptr;
    QPushButton *BitBtn1 = nullptr; // "OK"
    QPushButton *BitBtn2 = nullptr; // "Закрыть"

    // Defaults to a non-modal QMessageBox with the error icon.
    ErrorMessage errorMessage;


public slots:
    // "OK": stores the typed seconds as milliseconds, or reports text that is not an integer.
    void BitBtn1Click();
    // "Закрыть": answers "exit".
    void BitBtn2Click();
    // Esc behaves as "Закрыть"; the dialog never closes itself.
    void reject() override;

signals:
    // Emitted once the answer field is filled.
    void answered(const QString &answer);

protected:
    // Closing by the frame while unanswered answers "exit", so a waiting prompt ends.
    void closeEvent(QCloseEvent *event) override;

private:
    void setAnswer(const QString &answer);

    QString m_answer;
};

// Shows the interval dialog on `parent` (a QMdiArea gets it as a sub-window) with
// the seconds of `ms` and waits for its answer. Returns `ms` unchanged on "Закрыть",
// on closing by the frame or when the dialog is destroyed; otherwise the new interval
// in milliseconds. The dialog is closed and deleted before returning.
QCoro::Task<int> ask_refresh_interval(QWidget *parent, int ms);

} // namespace qlx
