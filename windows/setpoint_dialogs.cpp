#include "windows/setpoint_dialogs.h"

#include "base/node_table.h"
#include "base/progress.h"
#include "engine/setpoint.h"
#include "engine/station.h"
#include "storage/unit_files.h"
#include "widgets/dialog_seam.h"
#include "widgets/task_owner.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTableWidget>

#include <exception>
#include <optional>

namespace qlx {

namespace {

const QString kCaption = QStringLiteral("Изменение уставок");
const QString kLineBusy = QStringLiteral("В данный момент времени драйвер Com порта занят другим процессом.\n\r"
                                         "Повторите попытку позже, либо отключите все процессы мониторинга.");
const QString kNotWritten = QStringLiteral("Параметры не были записаны. Проверьте адрес датчика");
const QString kWritten = QStringLiteral("Запись прошла успешно.");
const QString kBadRequest = QStringLiteral("Произшли ошибки при формировании сообщения.\n\rПроверьте значения параметров.");

const QString kNumberCaption = QStringLiteral("Ввод числа");
const QString kBadNumber = QStringLiteral("Введен неправильный формат числа.\n\r\n\r"
                                          "Например, вместо запятой поставлена точка,\n\r"
                                          "нажата не цифровая клавиша\n\r"
                                          "или поставлены 2 запятые...");

const QColor kNavy(0, 0, 128);

// The read dialog's rows, top to bottom: upper setpoint and its hysteresis, then the lower ones.
const QStringList kRowLabels = {QStringLiteral("Устав.верхн.уровня"), QStringLiteral("Гист.верх.уровня"),
                                QStringLiteral("Гист.нижн.уровня"), QStringLiteral("Устав.нижн.уровня")};

// A bold `font`, made smaller where needed so that every text fits a cell of the given inner size.
QFont fittingBold(QFont font, const QStringList &texts, int width, int height)
{
    font.setBold(true);
    const auto fits = [&] {
        const QFontMetrics metrics(font);
        for (const QString &text : texts)
            if (metrics.horizontalAdvance(text) > width)
                return false;
        return metrics.height() <= height;
    };
    while (!fits() && font.pointSizeF() > 6)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}

// The channel numbers of both dialogs' channel lists.
QStringList channelItems()
{
    QStringList items;
    for (int c = 1; c <= kChannels; ++c)
        items << QString::number(c);
    return items;
}

QLabel *makeLabel(const QString &text, const QRect &geometry, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(geometry);
    return label;
}

// A drop-down list without a choice yet.
QComboBox *makeList(const QString &name, const QStringList &items, const QRect &geometry, QWidget *parent)
{
    auto *combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    combo->setCurrentIndex(-1);
    combo->setGeometry(geometry);
    return combo;
}

QPushButton *makeButton(const QString &name, QStyle::StandardPixmap icon, const QString &text,
                        const QRect &geometry, QWidget *parent)
{
    auto *button = new QPushButton(parent->style()->standardIcon(icon), text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setGeometry(geometry);
    return button;
}

void makeBoldNavy(QWidget *widget, QPalette::ColorRole role)
{
    QFont font = widget->font();
    font.setBold(true);
    widget->setFont(font);
    QPalette palette = widget->palette();
    palette.setColor(role, kNavy);
    widget->setPalette(palette);
}

// Inside the main window's multi-document frame a dialog sits in a sub-window,
// which has to close with it; a closed dialog would leave an empty frame.
void closeFrame(QDialog *dialog)
{
    if (auto *sub = qobject_cast<QMdiSubWindow *>(dialog->parentWidget()))
        sub->close();
}

// The write as the fields give it; nothing unless it is a request that may go out.
std::optional<SetpointWrite> typed_request(const Tfrm_record &dialog)
{
    bool isNumber = false;
    const int address = dialog.txt_sensor->text().trimmed().toInt(&isNumber, 10);
    const std::optional<std::int32_t> value = parse_thousandths(dialog.txt_value->text().trimmed());
    if (!isNumber || !value)
        return std::nullopt;
    const SetpointWrite write{address, dialog.cmb_chanel->currentIndex() + 1, dialog.cmb_operation->currentIndex(),
                              *value};
    if (!write.valid())
        return std::nullopt;
    return write;
}

} // namespace

QCoro::Task<void> check_number_field(QLineEdit *field)
{
    // The field whose full stops are being replaced: the change that makes is
    // checked by the run that made it, not by a second run it sets off.
    static const QLineEdit *rewriting = nullptr;
    if (field == rewriting)
        co_return;
    const QPointer<QLineEdit> guarded(field);

    QString text = field->text();
    if (text.contains(QLatin1Char('.'))) {
        text.replace(QLatin1Char('.'), QLatin1Char(','));
        rewriting = field;
        field->setText(text);
        rewriting = nullptr;
        field->end(false);
    }

    // What the write will take: an optional sign, digits with at most one comma.
    static const QRegularExpression number(QStringLiteral("^\\s*[+-]?(?:[0-9]+(?:,[0-9]*)?|,[0-9]+)\\s*$"));
    if (text.isEmpty() || text == QStringLiteral("-") || number.match(text).hasMatch())
        co_return;
    co_await DialogSeam::ask(field->window(), kNumberCaption, kBadNumber, QMessageBox::Critical, QMessageBox::Ok);
    if (guarded)
        guarded->setFocus();
}

Tfrm_record::Tfrm_record(Station &station, QWidget *parent)
    : QDialog(parent)
    , m_station(station)
    , m_tasks(new TaskOwner(this, this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("frm_record"));
    // The sixth letter of "парамeтров" is a Latin e.
    setWindowTitle(QStringLiteral("Запись парамeтров в узел"));
    setFixedSize(291, 182);

    Label1 = makeLabel(QStringLiteral("Запись параметров в узел"), QRect(8, 10, 190, 20), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    makeBoldNavy(Label1, QPalette::WindowText);

    txt_sensor = new QLineEdit(this);
    txt_sensor->setObjectName(QStringLiteral("txt_sensor"));
    txt_sensor->setGeometry(200, 8, 83, 24);
    txt_sensor->setFocusPolicy(Qt::ClickFocus);
    makeBoldNavy(txt_sensor, QPalette::Text);

    makeLabel(QStringLiteral("Канал"), QRect(8, 44, 70, 20), this);
    cmb_chanel = makeList(QStringLiteral("cmb_chanel"), channelItems(), QRect(80, 42, 70, 24), this);

    makeLabel(QStringLiteral("Параметр"), QRect(8, 76, 70, 20), this);
    // In register order: the item's index is the threshold's number.
    cmb_operation = makeList(QStringLiteral("cmb_operation"),
                             {QStringLiteral("Уст. нижнего  уровня"), QStringLiteral("Уст. верхнего уровня"),
                              QStringLiteral("Уст. гистерезиса нижнего  уровня"),
                              QStringLiteral("Уст. гистерезиса верхнего уровня")},
                             QRect(80, 74, 203, 24), this);
    // The list opens as wide as its longest item; the closed box may cut it.
    cmb_operation->view()->setMinimumWidth(cmb_operation->view()->sizeHintForColumn(0) + 8);

    makeLabel(QStringLiteral("Значение"), QRect(8, 108, 70, 20), this);
    txt_value = new QLineEdit(this);
    txt_value->setObjectName(QStringLiteral("txt_value"));
    txt_value->setGeometry(80, 106, 120, 24);

    BitBtn1 = makeButton(QStringLiteral("BitBtn1"), QStyle::SP_DialogOkButton, QStringLiteral("Записать"),
                         QRect(8, 144, 134, 30), this);
    BitBtn1->setDefault(true);
    BitBtn2 = makeButton(QStringLiteral("BitBtn2"), QStyle::SP_DialogCancelButton, QStringLiteral("Закрыть"),
                         QRect(149, 144, 134, 30), this);

    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->hide();

    setTabOrder(cmb_chanel, cmb_operation);
    setTabOrder(cmb_operation, txt_value);
    setTabOrder(txt_value, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);

    connect(txt_value, &QLineEdit::textChanged, this,
            [this] { m_tasks->start(check_number_field(txt_value)); });
    connect(BitBtn1, &QPushButton::clicked, this, &Tfrm_record::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

Tfrm_record::Tfrm_record(Station &station, QWidget *parent, int address, int channel)
    : Tfrm_record(station, parent)
{
    txt_sensor->setText(QString::number(address));
    if (channel >= 1 && channel <= kChannels)
        cmb_chanel->setCurrentIndex(channel - 1);
}

int Tfrm_record::runningTasks() const
{
    return m_tasks->runningTasks();
}

void Tfrm_record::BitBtn1Click()
{
    if (m_writing)
        return;
    setWriting(true);
    m_tasks->start(writeFlow(this));
}

void Tfrm_record::setWriting(bool writing)
{
    m_writing = writing;
    BitBtn1->setEnabled(!writing);
}

void Tfrm_record::done(int result)
{
    QDialog::done(result);
    closeFrame(this);
}

QCoro::Task<void> Tfrm_record::writeFlow(QPointer<Tfrm_record> self)
{
    // "Записать" comes back when the flow ends, whichever way it ends.
    struct Writing {
        QPointer<Tfrm_record> dialog;
        ~Writing()
        {
            if (dialog)
                dialog->setWriting(false);
        }
    } const writing{self};

    // A node read or a scan owns the line.
    if (VrProgressBar().busy()) {
        co_await DialogSeam::ask(self, kCaption, kLineBusy, QMessageBox::Warning, QMessageBox::Ok);
        co_return;
    }

    // Taken once: the node table later gets what was sent, whatever the fields hold by then.
    const std::optional<SetpointWrite> write = typed_request(*self);
    if (!write) {
        co_await DialogSeam::ask(self, kCaption, kBadRequest, QMessageBox::Warning, QMessageBox::Ok);
        co_return;
    }

    std::optional<SetpointResult> result;
    try {
        result = co_await write_setpoint(self->m_station.line(), *write);
    } catch (const std::exception &) {
        // The port failed or is closed: reported as a request that could not be made.
    }
    if (self)
        self->Edit1->setText(result ? result->answer : QString());

    if (!result) {
        if (self)
            co_await DialogSeam::ask(self, kCaption, kBadRequest, QMessageBox::Warning, QMessageBox::Ok);
        co_return;
    }
    if (!result->confirmed) {
        if (self)
            co_await DialogSeam::ask(self, kCaption, kNotWritten, QMessageBox::NoIcon, QMessageBox::Ok);
        co_return;
    }
    if (self)
        co_await DialogSeam::ask(self, kCaption, kWritten, QMessageBox::NoIcon, QMessageBox::Ok);
    // The controller took the value, so the station's copy follows, also when
    // the dialog was closed while the write or its message was pending.
    store_setpoint(*write);
    if (self)
        self->accept();
}

Tfrm_read_ustav::Tfrm_read_ustav(Station &, QWidget *parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("frm_read_ustav"));
    setWindowTitle(QStringLiteral("Уставки"));
    setFixedSize(284, 211);

    makeLabel(QStringLiteral("Узел"), QRect(8, 10, 40, 20), this);
    cmb_sensor = makeList(QStringLiteral("cmb_sensor"), {}, QRect(50, 8, 90, 24), this);
    cmb_sensor->setEditable(true);
    cmb_sensor->setInsertPolicy(QComboBox::NoInsert);

    makeLabel(QStringLiteral("Канал"), QRect(150, 10, 45, 20), this);
    cmb_chanel = makeList(QStringLiteral("cmb_chanel"), channelItems(), QRect(196, 8, 80, 24), this);

    StrGrid = new QTableWidget(4, 2, this);
    StrGrid->setObjectName(QStringLiteral("StrGrid"));
    StrGrid->horizontalHeader()->hide();
    StrGrid->verticalHeader()->hide();
    StrGrid->verticalHeader()->setMinimumSectionSize(1);
    StrGrid->verticalHeader()->setDefaultSectionSize(18);
    StrGrid->horizontalHeader()->setDefaultSectionSize(125);
    StrGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    StrGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    StrGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StrGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StrGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StrGrid->setFont(fittingBold(StrGrid->font(), kRowLabels, 125 - 6, 18 - 2));
    StrGrid->setGeometry(15, 44, 254, 4 * 18 + 2 * StrGrid->frameWidth());
    for (int row = 0; row < StrGrid->rowCount(); ++row)
        for (int column = 0; column < StrGrid->columnCount(); ++column)
            StrGrid->setItem(row, column, new QTableWidgetItem);

    BitBtn1 = makeButton(QStringLiteral("BitBtn1"), QStyle::SP_BrowserReload, QStringLiteral("Обновить"),
                         QRect(8, 172, 130, 30), this);
    BitBtn2 = makeButton(QStringLiteral("BitBtn2"), QStyle::SP_DialogCancelButton, QStringLiteral("Закрыть"),
                         QRect(146, 172, 130, 30), this);

    FormCreate();

    connect(cmb_sensor, &QComboBox::currentTextChanged, this, &Tfrm_read_ustav::Read_ustav);
    connect(cmb_chanel, &QComboBox::currentTextChanged, this, &Tfrm_read_ustav::Read_ustav);
    connect(BitBtn1, &QPushButton::clicked, this, &Tfrm_read_ustav::Read_ustav);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void Tfrm_read_ustav::FormCreate()
{
    // The nodes as the table holds them now, in slot order; later scans do not change the list.
    for (int n = 1; n <= kSlots && arr_nodes[n].address != 0; ++n)
        cmb_sensor->addItem(QString::number(arr_nodes[n].address));
    cmb_sensor->setCurrentIndex(-1);
}

void Tfrm_read_ustav::Read_ustav()
{
    if (cmb_sensor->currentText().isEmpty() || cmb_chanel->currentText().isEmpty())
        return;

    for (int row = 0; row < StrGrid->rowCount(); ++row)
        for (int column = 0; column < StrGrid->columnCount(); ++column)
            StrGrid->item(row, column)->setText(QString());

    // The typed address decides, not the list position: the list may hold an
    // address twice, and the node table holds its thresholds in the last slot.
    bool isNumber = false;
    const int address = cmb_sensor->currentText().trimmed().toInt(&isNumber, 10);
    const int n = isNumber && address >= 1 ? find_slot(address) : 0;
    const int c = cmb_chanel->currentText().toInt();
    if (n == 0 || c < 1 || c > kChannels)
        return;

    const Tarr_setup &s = arr_nodes[n].setup[c];
    const std::int32_t values[] = {s.vu, s.gis_vu, s.gis_nu, s.nu};
    for (int row = 0; row < 4; ++row) {
        StrGrid->item(row, 0)->setText(kRowLabels.at(row));
        StrGrid->item(row, 1)->setText(log_number(values[row], 1000));
    }
}

void Tfrm_read_ustav::done(int result)
{
    QDialog::done(result);
    closeFrame(this);
}

} // namespace qlx
