// The one way the station's windows show message boxes and dialogs, so that
// tests can answer them without a modal window blocking anything.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

#include <qcoro/qcorotask.h>

class QDialog;
class QWidget;

namespace qlx {

// One request to show a message box or a dialog.
struct DialogRequest {
    enum class Kind { Message, Dialog };
    Kind kind = Kind::Message;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QDialog *dialog = nullptr; // Kind::Dialog: the dialog, already opened
};

// The one way windows show message boxes and dialogs. Without a handler message
// boxes open window-modal (open(), never exec()); a handler installed by a test
// answers them instead and is told of every dialog that opens.
class DialogSeam {
public:
    // Message: returns the pressed QMessageBox::StandardButton. Dialog: return value unused.
    using Handler = std::function<int(const DialogRequest &)>;

    static void setHandler(Handler handler); // empty: real message boxes
    static bool hasHandler();

    // Shows a message box and finishes with the pressed button. The box belongs
    // to `parent`; if it goes away first the answer is QMessageBox::Cancel.
    static QCoro::Task<int> ask(QWidget *parent, const QString &caption, const QString &text,
                                QMessageBox::Icon icon, QMessageBox::StandardButtons buttons);
    // Shows a message box whose answer nobody waits for.
    static void inform(QWidget *parent, const QString &caption, const QString &text,
                       QMessageBox::Icon icon, QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    // Opens a dialog without a nested event loop and tells the handler about it.
    static void open(QDialog *dialog);
    // Opens the dialog as open() does and finishes with its result once it is
    // closed; a dialog destroyed before that counts as rejected. The caller
    // resumes from the event loop, never inside the dialog's own code.
    static QCoro::Task<int> run(QDialog *dialog);

private:
    static Handler &handler();
};

// The application's general error message: an operator command failed with
// `what`; the box names the program and the station goes on.
void report_general_error(QWidget *parent, const QString &what);

} // namespace qlx
