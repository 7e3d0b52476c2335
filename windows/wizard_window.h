// The debugging wizard `TFrm_wizard` ("Отладчик"): a technician scans the line
// into a found and a silent list, composes raw frames on four pages (functions
// 03, 08, 01 and 10), completes them with check bytes and sends them, seeing
// every answer as hex text. The window observes a Wizard, the window-less
// object that checks, composes, scans and sends; closing the window releases
// it, which stops its scan and drops the answers still to come.
#pragma once

#include "engine/wizard.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace qlx {

class TFrm_wizard : public QWidget {
    Q_OBJECT
public:
    // `wizard` belongs to the engine; the window releases it when it closes.
    explicit TFrm_wizard(Wizard &wizard, QWidget *parent = nullptr);
    ~TFrm_wizard() override;

    Wizard *wizard() const;

    // "Сеть...": the wizard's own scan of addresses 1..255.
    void Button1Click();
    // A click on the found list: the selected node's address into the four address
    // fields; nothing selected changes nothing.
    void ListBoxClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Pages 03Н and 01Н: the same fields and buttons, other names and captions.
    struct ReadPage {
        WizardPage which;
        QString composeName, sendName;
        QString nomerCaption, adrCaption, kolCaption;
        QLineEdit *&nomer, *&adr, *&kol, *&frame, *&answer;
    };
    QWidget *buildReadPage(const ReadPage &page);
    QWidget *buildPage03();
    QWidget *buildPage08();
    QWidget *buildPage01();
    QWidget *buildPage10();
    QLineEdit *field(const QString &name, const QString &text = {});
    QPushButton *button(const QString &name, const QString &caption);
    QLineEdit *answerField(WizardPage page) const;
    // Runs a command; a refused number or frame text, or any other error, goes to the
    // application's general error message.
    void guarded(const std::function<void()> &command);
    void composeRead(WizardPage page);
    void composeDiag(WizardDiag which);
    void appendCrc(QLineEdit *frame);
    void send(WizardPage page, QLineEdit *frame);

    QPointer<Wizard> m_wizard;
    QPushButton *Button1 = nullptr;
    QLabel *Label1 = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QListWidget *ListBox = nullptr;
    QListWidget *ListBox_2 = nullptr;
    QTabWidget *PageControl = nullptr;
    QLineEdit *Edit_03_nomer = nullptr;
    QLineEdit *Edit_03_adr = nullptr;
    QLineEdit *Edit_03_kol = nullptr;
    QLineEdit *Edit_03 = nullptr;
    QLineEdit *Edit_03_answ = nullptr;
    QLineEdit *Edit_08_nomer = nullptr;
    QLineEdit *Edit_08 = nullptr;
    QLineEdit *Edit_08_answ = nullptr;
    QLineEdit *Edit_01_nomer = nullptr;
    QLineEdit *Edit_01_adr = nullptr;
    QLineEdit *Edit_01_kol = nullptr;
    QLineEdit *Edit_01 = nullptr;
    QLineEdit *Edit_01_answ = nullptr;
    QLineEdit *Edit_10_nomer = nullptr;
    QLineEdit *Edit_10_adr = nullptr;
    QLineEdit *Edit_10_kol = nullptr;
    QLineEdit *Edit_10_count = nullptr;
    QLineEdit *Edit_10_reg1 = nullptr;
    QLineEdit *Edit_10_reg2 = nullptr;
    QLineEdit *Edit_10 = nullptr;
    QLineEdit *Edit_10_answ = nullptr;
};

} // namespace qlx
