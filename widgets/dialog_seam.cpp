#include "widgets/dialog_seam.h"

#include "base/one_shot.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>

#include <qcoro/qcorosignal.h>

namespace qlx {

namespace {

// Carries the answer of a message box to the coroutine waiting for it, also
// when the box is destroyed unanswered.
class AnswerRelay : public QObject {
    Q_OBJECT
signals:
    void answered(int button);
};

} // namespace

DialogSeam::Handler &DialogSeam::handler()
{
    static Handler h;
    return h;
}

void DialogSeam::setHandler(Handler h)
{
    handler() = std::move(h);
}

bool DialogSeam::hasHandler()
{
    return static_cast<bool>(handler());
}

static QMessageBox *makeBox(QWidget *parent, const QString &caption, const QString &text,
                            QMessageBox::Icon icon, QMessageBox::StandardButtons buttons)
{
    auto *box = new QMessageBox(icon, caption, text, buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

static DialogRequest messageRequest(const QString &caption, const QString &text, QMessageBox::Icon icon,
                                    QMessageBox::StandardButtons buttons)
{
    DialogRequest request;
    request.kind = DialogRequest::Kind::Message;
    request.caption = caption;
    request.text = text;
    request.icon = icon;
    request.buttons = buttons;
    return request;
}

QCoro::Task<int> DialogSeam::ask(QWidget *parent, const QString &caption, const QString &text,
                                 QMessageBox::Icon icon, QMessageBox::StandardButtons buttons)
{
    if (handler()) {
        co_return handler()(messageRequest(caption, text, icon, buttons));
    }
    QMessageBox *box = makeBox(parent, caption, text, icon, buttons);
    AnswerRelay relay;
    QObject::connect(box, &QMessageBox::finished, &relay, [&relay, box](int) {
        QAbstractButton *clicked = box->clickedButton();
        emit relay.answered(clicked ? int(box->standardButton(clicked)) : int(QMessageBox::Cancel));
    });
    QObject::connect(box, &QObject::destroyed, &relay, [&relay] { emit relay.answered(QMessageBox::Cancel); });
    box->open();
    const int answer = co_await qCoro(&relay, &AnswerRelay::answered);
    co_return answer;
}

void DialogSeam::inform(QWidget *parent, const QString &caption, const QString &text,
                        QMessageBox::Icon icon, QMessageBox::StandardButtons buttons)
{
    if (handler()) {
        handler()(messageRequest(caption, text, icon, buttons));
        return;
    }
    makeBox(parent, caption, text, icon, buttons)->open();
}

void DialogSeam::open(QDialog *dialog)
{
    dialog->open();
    if (handler()) {
        DialogRequest request;
        request.kind = DialogRequest::Kind::Dialog;
        request.caption = dialog->windowTitle();
        request.dialog = dialog;
        handler()(request);
    }
}

QCoro::Task<int> DialogSeam::run(QDialog *dialog)
{
    // Watched from before it opens, so an answer given while it opens is not
    // missed. A dialog destroyed before it finished counts as rejected. The
    // resumption is posted, so the caller never continues inside the dialog's
    // code or its destructor.
    OneShot<int> finished(OneShot<int>::Resume::FromEventLoop);
    QObject::connect(dialog, &QDialog::finished, finished.context(), [&finished](int result) { finished.fire(result); });
    QObject::connect(dialog, &QObject::destroyed, finished.context(),
                     [&finished] { finished.fire(QDialog::Rejected); });
    open(dialog);
    co_return co_await finished.wait();
}

void report_general_error(QWidget *parent, const QString &what)
{
    DialogSeam::inform(parent, QApplication::applicationName(), what, QMessageBox::Critical);
}

} // namespace qlx

#include "dialog_seam.moc"
