#include "widgets/dialog_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPointer>

#include <coroutine>

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

// Watches a dialog from its construction on, so an answer given while the
// dialog opens is not missed; finished() waits for the result. A dialog
// destroyed before it finished counts as rejected. The resumption is posted to
// the event loop, so the caller never continues inside the dialog's destructor.
class DialogWatch {
public:
    explicit DialogWatch(QDialog *dialog) : m_dialog(dialog)
    {
        QObject::connect(dialog, &QDialog::finished, &m_context, [this](int result) { finish(result); });
        QObject::connect(dialog, &QObject::destroyed, &m_context, [this] { finish(QDialog::Rejected); });
    }
    DialogWatch(const DialogWatch &) = delete;
    DialogWatch &operator=(const DialogWatch &) = delete;

    struct Awaiter {
        DialogWatch *watch;
        bool await_ready() const noexcept { return watch->m_finished || watch->m_dialog.isNull(); }
        void await_suspend(std::coroutine_handle<> handle) { watch->m_handle = handle; }
        int await_resume() const { return watch->m_result; }
    };
    Awaiter finished() { return Awaiter{this}; }

private:
    void finish(int result)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_result = result;
        if (m_handle)
            QMetaObject::invokeMethod(&m_context, [handle = m_handle] { handle.resume(); }, Qt::QueuedConnection);
    }

    QPointer<QDialog> m_dialog;
    QObject m_context; // owns the connections and the posted resumption
    std::coroutine_handle<> m_handle;
    int m_result = QDialog::Rejected;
    bool m_finished = false;
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
    DialogWatch watch(dialog);
    open(dialog);
    co_return co_await watch.finished();
}

void report_general_error(QWidget *parent, const QString &what)
{
    DialogSeam::inform(parent, QApplication::applicationName(), what, QMessageBox::Critical);
}

} // namespace qlx

#include "dialog_seam.moc"
