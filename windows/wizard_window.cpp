#include "windows/wizard_window.h"

#include "widgets/dialog_seam.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <exception>

namespace qlx {

namespace {

constexpr QSize kClientSize(620, 500);

// A label beside a field, as the pages caption their numbers.
void addNumberField(QGridLayout *grid, int row, int column, const QString &caption, QLineEdit *edit)
{
    grid->addWidget(new QLabel(caption), row, column);
    edit->setMaximumWidth(90);
    grid->addWidget(edit, row, column + 1);
}

} // namespace

TFrm_wizard::TFrm_wizard(Wizard &wizard, QWidget *parent)
    : QWidget(parent),
      m_wizard(&wizard)
{
    setObjectName(QStringLiteral("Frm_wizard"));
    setWindowTitle(QStringLiteral("Отладчик"));
    setFixedSize(kClientSize);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    Button1 = button(QStringLiteral("Button1"), QStringLiteral("Сеть..."));
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(1, 255);
    ProgressBar->setValue(1);
    ProgressBar->setTextVisible(false);
    ListBox = new QListWidget(this);
    ListBox->setObjectName(QStringLiteral("ListBox"));
    ListBox_2 = new QListWidget(this);
    ListBox_2->setObjectName(QStringLiteral("ListBox_2"));
    // A click anywhere in the list is the list's click, on an item or not.
    ListBox->viewport()->installEventFilter(this);
    connect(ListBox, &QListWidget::currentRowChanged, this, [this] { ListBoxClick(); });

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    PageControl->setDocumentMode(true); // flat tab buttons
    PageControl->addTab(buildPage03(), QStringLiteral("Функция 03Н"));
    PageControl->addTab(buildPage08(), QStringLiteral("Функции 08Н"));
    PageControl->addTab(buildPage01(), QStringLiteral("Функция 01Н"));
    PageControl->addTab(buildPage10(), QStringLiteral("Функция 10Н"));

    auto *top = new QHBoxLayout;
    top->addWidget(Button1);
    top->addWidget(Label1, 1);
    auto *lists = new QHBoxLayout;
    lists->addWidget(ListBox);
    lists->addWidget(ListBox_2);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(ProgressBar);
    layout->addLayout(lists, 1);
    layout->addWidget(PageControl);

    connect(Button1, &QPushButton::clicked, this, &TFrm_wizard::Button1Click);
    connect(&wizard, &Wizard::scanStarted, this, [this] {
        ListBox->clear();
        ListBox_2->clear();
        ProgressBar->setValue(ProgressBar->minimum());
        Button1->setEnabled(false); // one scan at a time
    });
    connect(&wizard, &Wizard::positionChanged, ProgressBar, &QProgressBar::setValue);
    connect(&wizard, &Wizard::nodeFound, this, [this](const QString &line) { ListBox->addItem(line); });
    connect(&wizard, &Wizard::addressSilent, this, [this](const QString &line) { ListBox_2->addItem(line); });
    connect(&wizard, &Wizard::scanMessageChanged, Label1, &QLabel::setText);
    connect(&wizard, &Wizard::scanFinished, this, [this] { Button1->setEnabled(true); });
    connect(&wizard, &Wizard::answered, this,
            [this](WizardPage page, const QString &text) { answerField(page)->setText(text); });
    connect(&wizard, &Wizard::sendFailed, this,
            [this](WizardPage, const QString &why) { report_general_error(this, why); });
}

TFrm_wizard::~TFrm_wizard()
{
    if (m_wizard)
        m_wizard->release();
}

void TFrm_wizard::closeEvent(QCloseEvent *event)
{
    // The scan stops now, not when the window's deletion comes round.
    if (m_wizard)
        m_wizard->release();
    QWidget::closeEvent(event);
}

Wizard *TFrm_wizard::wizard() const
{
    return m_wizard.data();
}

QLineEdit *TFrm_wizard::field(const QString &name, const QString &text)
{
    auto *edit = new QLineEdit(text);
    edit->setObjectName(name);
    return edit;
}

QPushButton *TFrm_wizard::button(const QString &name, const QString &caption)
{
    auto *b = new QPushButton(caption, this);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QWidget *TFrm_wizard::buildReadPage(const ReadPage &p)
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    const QString digits = p.which == WizardPage::F03 ? QStringLiteral("03") : QStringLiteral("01");
    p.nomer = field(QStringLiteral("Edit_%1_nomer").arg(digits));
    p.adr = field(QStringLiteral("Edit_%1_adr").arg(digits));
    p.kol = field(QStringLiteral("Edit_%1_kol").arg(digits));
    p.frame = field(QStringLiteral("Edit_%1").arg(digits));
    p.answer = field(QStringLiteral("Edit_%1_answ").arg(digits));
    addNumberField(grid, 0, 0, p.nomerCaption, p.nomer);
    addNumberField(grid, 1, 0, p.adrCaption, p.adr);
    addNumberField(grid, 2, 0, p.kolCaption, p.kol);
    QPushButton *compose = button(p.composeName, QStringLiteral("Сформировать"));
    QPushButton *send = button(p.sendName, QStringLiteral("Отправить"));
    grid->addWidget(compose, 0, 3);
    grid->addWidget(p.frame, 3, 0, 1, 3);
    grid->addWidget(send, 3, 3);
    grid->addWidget(p.answer, 4, 0, 1, 4);
    grid->setColumnStretch(2, 1);
    connect(compose, &QPushButton::clicked, this, [this, which = p.which] { composeRead(which); });
    connect(send, &QPushButton::clicked, this, [this, which = p.which, frame = p.frame] { this->send(which, frame); });
    return page;
}

QWidget *TFrm_wizard::buildPage03()
{
    return buildReadPage({WizardPage::F03, QStringLiteral("Button2"), QStringLiteral("Button3"), wizard_caption::Nomer03,
                          wizard_caption::Adr03, wizard_caption::Kol03, Edit_03_nomer, Edit_03_adr, Edit_03_kol,
                          Edit_03, Edit_03_answ});
}

QWidget *TFrm_wizard::buildPage08()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    Edit_08_nomer = field(QStringLiteral("Edit_08_nomer"));
    Edit_08 = field(QStringLiteral("Edit_08"));
    Edit_08_answ = field(QStringLiteral("Edit_08_answ"));
    addNumberField(grid, 0, 0, wizard_caption::Nomer, Edit_08_nomer);
    const struct {
        const char *name;
        const char *caption;
        WizardDiag diag;
        int row;
        int column;
    } fixed[] = {
        {"Button4", "Возврат данных запроса", WizardDiag::ReturnQuery, 0, 3},
        {"Button5", "Регистр диагностики", WizardDiag::DiagRegister, 0, 4},
        {"Button13", "Перезапустить настройки", WizardDiag::Restart, 1, 3},
        {"Button14", "Режим только прослуш.", WizardDiag::ListenOnly, 1, 4},
    };
    for (const auto &f : fixed) {
        QPushButton *b = button(QString::fromLatin1(f.name), QString::fromUtf8(f.caption));
        grid->addWidget(b, f.row, f.column);
        connect(b, &QPushButton::clicked, this, [this, diag = f.diag] { composeDiag(diag); });
    }
    QPushButton *crc = button(QStringLiteral("Button7"), QStringLiteral("Подставить CRC"));
    QPushButton *send = button(QStringLiteral("Button6"), QStringLiteral("Отправить"));
    grid->addWidget(Edit_08, 3, 0, 1, 3);
    grid->addWidget(crc, 3, 3);
    grid->addWidget(send, 3, 4);
    grid->addWidget(Edit_08_answ, 4, 0, 1, 5);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(2, 1);
    connect(crc, &QPushButton::clicked, this, [this] { appendCrc(Edit_08); });
    connect(send, &QPushButton::clicked, this, [this] { this->send(WizardPage::F08, Edit_08); });
    return page;
}

QWidget *TFrm_wizard::buildPage01()
{
    return buildReadPage({WizardPage::F01, QStringLiteral("Button8"), QStringLiteral("Button9"), wizard_caption::Nomer,
                          wizard_caption::Adr, wizard_caption::Kol, Edit_01_nomer, Edit_01_adr, Edit_01_kol, Edit_01,
                          Edit_01_answ});
}

QWidget *TFrm_wizard::buildPage10()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    Edit_10_nomer = field(QStringLiteral("Edit_10_nomer"));
    Edit_10_adr = field(QStringLiteral("Edit_10_adr"));
    Edit_10_kol = field(QStringLiteral("Edit_10_kol"));
    Edit_10_count = field(QStringLiteral("Edit_10_count"), QStringLiteral("4"));
    Edit_10_reg1 = field(QStringLiteral("Edit_10_reg1"));
    Edit_10_reg2 = field(QStringLiteral("Edit_10_reg2"));
    Edit_10 = field(QStringLiteral("Edit_10"));
    Edit_10_answ = field(QStringLiteral("Edit_10_answ"));
    addNumberField(grid, 0, 0, wizard_caption::Nomer, Edit_10_nomer);
    addNumberField(grid, 1, 0, wizard_caption::Adr, Edit_10_adr);
    addNumberField(grid, 2, 0, wizard_caption::Kol, Edit_10_kol);
    addNumberField(grid, 0, 2, wizard_caption::Count10, Edit_10_count);
    addNumberField(grid, 1, 2, wizard_caption::Reg1, Edit_10_reg1);
    addNumberField(grid, 2, 2, wizard_caption::Reg2, Edit_10_reg2);
    QPushButton *compose = button(QStringLiteral("Button10"), QStringLiteral("Сформировать"));
    QPushButton *crc = button(QStringLiteral("Button12"), QStringLiteral("CRC"));
    QPushButton *send = button(QStringLiteral("Button11"), QStringLiteral("Отправить"));
    grid->addWidget(compose, 0, 5);
    grid->addWidget(Edit_10, 3, 0, 1, 4);
    grid->addWidget(crc, 3, 4);
    grid->addWidget(send, 3, 5);
    grid->addWidget(Edit_10_answ, 4, 0, 1, 6);
    grid->setColumnStretch(4, 1);
    // The byte count follows the register count while it is a number of its range.
    connect(Edit_10_kol, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (const std::optional<QString> count = byte_count_text(text))
            Edit_10_count->setText(*count);
    });
    connect(compose, &QPushButton::clicked, this, [this] {
        guarded([this] {
            if (!m_wizard)
                return;
            if (const std::optional<QString> text =
                    m_wizard->composeWrite(Edit_10_nomer->text(), Edit_10_adr->text(), Edit_10_kol->text(),
                                           Edit_10_count->text(), Edit_10_reg1->text(), Edit_10_reg2->text()))
                Edit_10->setText(*text);
        });
    });
    connect(crc, &QPushButton::clicked, this, [this] { appendCrc(Edit_10); });
    connect(send, &QPushButton::clicked, this, [this] { this->send(WizardPage::F10, Edit_10); });
    return page;
}

QLineEdit *TFrm_wizard::answerField(WizardPage page) const
{
    switch (page) {
    case WizardPage::F03: return Edit_03_answ;
    case WizardPage::F08: return Edit_08_answ;
    case WizardPage::F01: return Edit_01_answ;
    case WizardPage::F10: return Edit_10_answ;
    }
    return Edit_03_answ;
}

void TFrm_wizard::guarded(const std::function<void()> &command)
{
    try {
        command();
    } catch (const std::exception &e) {
        report_general_error(this, QString::fromUtf8(e.what()));
    }
}

void TFrm_wizard::Button1Click()
{
    if (m_wizard)
        m_wizard->startScan();
}

void TFrm_wizard::ListBoxClick()
{
    const QList<QListWidgetItem *> selected = ListBox->selectedItems();
    if (selected.isEmpty() || !m_wizard)
        return;
    const std::optional<QString> address = m_wizard->foundAddressText(ListBox->row(selected.first()));
    if (!address)
        return;
    for (QLineEdit *edit : {Edit_03_nomer, Edit_08_nomer, Edit_01_nomer, Edit_10_nomer})
        edit->setText(*address);
}

bool TFrm_wizard::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ListBox->viewport() && event->type() == QEvent::MouseButtonRelease)
        ListBoxClick();
    return QWidget::eventFilter(watched, event);
}

void TFrm_wizard::composeRead(WizardPage page)
{
    const bool f03 = page == WizardPage::F03;
    QLineEdit *nomer = f03 ? Edit_03_nomer : Edit_01_nomer;
    QLineEdit *adr = f03 ? Edit_03_adr : Edit_01_adr;
    QLineEdit *kol = f03 ? Edit_03_kol : Edit_01_kol;
    QLineEdit *frame = f03 ? Edit_03 : Edit_01;
    guarded([&] {
        if (!m_wizard)
            return;
        if (const std::optional<QString> text = m_wizard->composeRead(page, nomer->text(), adr->text(), kol->text()))
            frame->setText(*text);
    });
}

void TFrm_wizard::composeDiag(WizardDiag which)
{
    guarded([&] {
        if (!m_wizard)
            return;
        if (const std::optional<QString> text = m_wizard->composeDiag(which, Edit_08_nomer->text()))
            Edit_08->setText(*text);
    });
}

void TFrm_wizard::appendCrc(QLineEdit *frame)
{
    guarded([frame] {
        if (const std::optional<QString> text = with_crc_text(frame->text()))
            frame->setText(*text);
    });
}

void TFrm_wizard::send(WizardPage page, QLineEdit *frame)
{
    guarded([&] {
        if (m_wizard)
            m_wizard->send(page, frame->text());
    });
}

} // namespace qlx
