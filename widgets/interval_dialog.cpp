#include "widgets/interval_dialog.h"

#include "base/one_shot.h"
#include "base/unit_procedure.h"

#include "widgets/dialog_seam.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

#include <limits>

namespace qlx {

namespace {

const QString kExit = QStringLiteral("exit");

void showErrorBox(QWidget *parent, const QString &caption, const QString &text)
{
    DialogSeam::inform(parent, caption, text, QMessageBox::Critical);
}

} // namespace

Tfrm_time_refresh::Tfrm_time_refresh(QWidget *parent)
    : QDialog(parent)
    , errorMessage(showErrorBox)
{
    setWindowTitle(QStringLiteral("Интервал обновления"));
    setFixedSize(216, 112);

    Label1 = new QLabel(QStringLiteral("Интервал обновления данных сек."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 200, 16);

    Cmb_time = new QComboBox(this);
    Cmb_time->setObjectName(QStringLiteral("Cmb_time"));
    Cmb_time->setEditable(true);
    Cmb_time->setInsertPolicy(QComboBox::NoInsert);
    Cmb_time->addItems({QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("15"), QStringLiteral("20"),
                        QStringLiteral("25"), QStringLiteral("30"), QStringLiteral("40"), QStringLiteral("50"),
                        QStringLiteral("60"), QStringLiteral("70"), QStringLiteral("80"), QStringLiteral("90"),
                        QStringLiteral("100"), QStringLiteral("110"), QStringLiteral("120"), QStringLiteral("150"),
                        QStringLiteral("200"), QStringLiteral("250"), QStringLiteral("300")});
    Cmb_time->setGeometry(8, 30, 200, 24);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setDefault(true);
    BitBtn1->setGeometry(8, 74, 96, 28);

    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Закрыть"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setAutoDefault(false);
    BitBtn2->setGeometry(112, 74, 96, 28);

    connect(BitBtn1, &QPushButton::clicked, this, &Tfrm_time_refresh::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &Tfrm_time_refresh::BitBtn2Click);
}

void Tfrm_time_refresh::BitBtn1Click()
{
    bool ok = false;
    // Plain decimal integer, independent of the locale: "2,5" and "abc" fail.
    const int n = Cmb_time->currentText().toInt(&ok, 10);
    const qint64 ms = qint64(n) * 1000;
    // A product beyond 32 bits cannot be an interval, so it fails like bad text.
    if (!ok || ms > std::numeric_limits<int>::max() || ms < std::numeric_limits<int>::min()) {
        if (errorMessage)
            errorMessage(this, QStringLiteral("Установка интервала обновления."),
                         QStringLiteral("Время обноления должно быть задано в секундах\n\rцелым числом."));
        return;
    }
    setAnswer(QString::number(ms));
}

void Tfrm_time_refresh::BitBtn2Click()
{
    setAnswer(kExit);
}

void Tfrm_time_refresh::reject()
{
    BitBtn2Click();
}

void Tfrm_time_refresh::closeEvent(QCloseEvent *event)
{
    if (m_answer.isEmpty())
        setAnswer(kExit);
    event->accept();
}

void Tfrm_time_refresh::setAnswer(const QString &answer)
{
    m_answer = answer;
    emit answered(m_answer);
}

QCoro::Task<int> ask_refresh_interval(QWidget *parent, int ms)
{
    QPointer<Tfrm_time_refresh> dialog = new Tfrm_time_refresh(parent);
    dialog->Cmb_time->setEditText(seconds_text(ms));
    // Watched from here on. A dialog destroyed unanswered counts as "exit". The
    // resumption is posted, so the prompt never continues inside a click handler
    // or the dialog's destructor.
    OneShot<QString> answered(OneShot<QString>::Resume::FromEventLoop);
    QObject::connect(dialog.data(), &Tfrm_time_refresh::answered, answered.context(),
                     [&answered](const QString &text) { answered.fire(text.isEmpty() ? kExit : text); });
    QObject::connect(dialog.data(), &QObject::destroyed, answered.context(), [&answered] { answered.fire(kExit); });

    // Inside the main window's multi-document frame the dialog is a sub-window.
    QPointer<QMdiSubWindow> sub;
    if (auto *area = qobject_cast<QMdiArea *>(parent)) {
        sub = area->addSubWindow(dialog, Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                                             | Qt::WindowCloseButtonHint);
        sub->adjustSize();
        const QRect room = area->viewport()->rect();
        sub->move(room.center() - sub->rect().center());
        sub->show();
    } else {
        if (parent) {
            const QRect frame = parent->window()->geometry();
            dialog->move(frame.center() - dialog->rect().center());
        }
        dialog->show();
    }
    dialog->Cmb_time->setFocus();

    const QString answer = co_await answered.wait();

    if (sub) {
        sub->close();
        sub->deleteLater();
    } else if (dialog) {
        dialog->close();
        dialog->deleteLater();
    }

    if (answer == kExit)
        co_return ms;
    co_return answer.toInt();
}

} // namespace qlx
