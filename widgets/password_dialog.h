// The password dialog that lifts the operator lock. It only checks the typed
// text; what unlocking means belongs to the main window, told by `passwordAccepted`.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace qlx {

class TFrm_PasswordDlg : public QDialog {
    Q_OBJECT
public:
    // The operator password, compared exactly (case-sensitive, no trimming).
    static const QString kPassword;

    explicit TFrm_PasswordDlg(QWidget *parent = nullptr);

    QLineEdit *passwordField() const { return Password; }
    QPushButton *okButton() const { return OKBtn; }
    QPushButton *cancelButton() const { return CancelBtn; }

signals:
    // The right password was given; the dialog closes right after.
    void passwordAccepted();

private:
    void OKBtnClick();

    QLineEdit *Password = nullptr;
    QPushButton *OKBtn = nullptr;
    QPushButton *CancelBtn = nullptr;
};

} // namespace qlx
