#include "core/ui/dialog_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPointer>

#include <coroutine>
#include <memory>

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

// Waits for a dialog to finish. A dialog destroyed before that counts as rejected.
// The resumption is posted to the event loop, so the caller never continues inside
// the dialog's destructor.
class FinishedAwaiter {
public:
    explicit FinishedAwaiter(QDialog *dialog) : m_dialog(dialog) {}

    bool await_ready() const noexcept { return m_dialog.isNull() || m_finished; }

    void await_suspend(std::coroutine_handle<> handle)
    {
        m_handle = handle;
        QObject::connect(m_dialog.data(), &QDialog::finished, m_context.get(), [this](int result) { finish(result); });
        QObject::connect(m_dialog.data(), &QObject::destroyed, m_context.get(), [this] { finish(QDialog::Rejected); });
    }

    int await_resume() const { return m_result; }

private:
    void finish(int result)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_result = result;
        QMetaObject::invokeMethod(m_context.get(), [handle = m_handle] { handle.resume(); }, Qt::QueuedConnection);
    }

    QPointer<QDialog> m_dialog;
    // Owns the connections and the posted resumption; on the heap so the awaiter can move.
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
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
    QPointer<QDialog> guard(dialog);
    // Watch before opening: a test handler may answer the dialog at once.
    QObject context;
    int early = -1;
    QObject::connect(dialog, &QDialog::finished, &context, [&early](int result) { early = result; });
    open(dialog);
    if (early >= 0)
        co_return early;
    if (!guard)
        co_return QDialog::Rejected;
    const int result = co_await FinishedAwaiter(dialog);
    co_return result;
}

void report_general_error(QWidget *parent, const QString &what)
{
    DialogSeam::inform(parent, QApplication::applicationName(), what, QMessageBox::Critical);
}

} // namespace qlx

#include "dialog_seam.moc"
