#include "widgets/password_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace qlx {

const QString TFrm_PasswordDlg::kPassword = QStringLiteral("lanternfox");

TFrm_PasswordDlg::TFrm_PasswordDlg(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    // Created for one use: the dialog goes away as soon as it closes.
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("Frm_PasswordDlg"));
    setWindowTitle(QStringLiteral("Ввод пароля"));

    auto *label = new QLabel(QStringLiteral("Введите пароль:"), this);
    label->setObjectName(QStringLiteral("Label1"));
    Password = new QLineEdit(this);
    Password->setObjectName(QStringLiteral("Password"));
    Password->setEchoMode(QLineEdit::Password);
    label->setBuddy(Password);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setAutoDefault(false);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(Password);
    layout->addLayout(buttons);

    connect(OKBtn, &QPushButton::clicked, this, &TFrm_PasswordDlg::OKBtnClick);
    // Esc and the close box reject as well; the lock stays as it was.
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TFrm_PasswordDlg::OKBtnClick()
{
    // A wrong password is ignored silently: the typed text and the dialog stay.
    if (Password->text() != kPassword)
        return;
    emit passwordAccepted();
    accept();
}

} // namespace qlx
