#include "widgets/serial_settings_dialog.h"

#include "widgets/dialog_seam.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPointer>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>
#include <memory>

namespace qlx {

namespace {

const QString kCustom = QStringLiteral("Custom");

// Selects `text` in a fixed list (ignoring case), or `fallback` when the list lacks it.
void selectText(QComboBox *combo, const QString &text, const QString &fallback)
{
    int index = combo->findText(text, Qt::MatchFixedString);
    if (index < 0)
        index = combo->findText(fallback, Qt::MatchFixedString);
    combo->setCurrentIndex(index);
}

} // namespace

SerialSettingsDialog::SerialSettingsDialog(const PortSettings &current, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройка COM порта"));

    portCombo = new QComboBox(this);
    portCombo->setObjectName(QStringLiteral("portCombo"));
    portCombo->setEditable(true);
    portCombo->setInsertPolicy(QComboBox::NoInsert);
    QStringList ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << info.systemLocation();
    if (!ports.contains(current.port))
        ports.prepend(current.port);
    portCombo->addItems(ports);
    portCombo->setCurrentIndex(ports.indexOf(current.port));
    portCombo->setEditText(current.port);

    speedCombo = new QComboBox(this);
    speedCombo->setObjectName(QStringLiteral("speedCombo"));
    for (const QString &text : baudRateTexts())
        if (text != kCustom)
            speedCombo->addItem(text);
    speedCombo->addItem(kCustom);
    selectText(speedCombo, current.baudRate, QStringLiteral("9600"));

    customSpeed = new QSpinBox(this);
    customSpeed->setObjectName(QStringLiteral("customSpeed"));
    customSpeed->setRange(1, std::numeric_limits<int>::max());
    customSpeed->setValue(current.customBaudRate);
    customSpeed->setEnabled(speedCombo->currentText() == kCustom);
    connect(speedCombo, &QComboBox::currentTextChanged, customSpeed,
            [this](const QString &text) { customSpeed->setEnabled(text == kCustom); });

    dataBitsCombo = new QComboBox(this);
    dataBitsCombo->setObjectName(QStringLiteral("dataBitsCombo"));
    dataBitsCombo->addItems({QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")});
    selectText(dataBitsCombo, current.dataBits, QStringLiteral("8"));

    stopBitsCombo = new QComboBox(this);
    stopBitsCombo->setObjectName(QStringLiteral("stopBitsCombo"));
    stopBitsCombo->addItems({QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")});
    selectText(stopBitsCombo, current.stopBits, QStringLiteral("1"));

    parityCombo = new QComboBox(this);
    parityCombo->setObjectName(QStringLiteral("parityCombo"));
    parityCombo->addItems({QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even"),
                           QStringLiteral("Mark"), QStringLiteral("Space")});
    selectText(parityCombo, current.parity, QStringLiteral("None"));

    flowCombo = new QComboBox(this);
    flowCombo->setObjectName(QStringLiteral("flowCombo"));
    flowCombo->addItems({QStringLiteral("Hardware"), QStringLiteral("Software"), QStringLiteral("None"),
                         QStringLiteral("Custom")});
    selectText(flowCombo, current.flowControl, QStringLiteral("Custom"));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Порт"), portCombo);
    form->addRow(QStringLiteral("Скорость"), speedCombo);
    form->addRow(QStringLiteral("Своя скорость"), customSpeed);
    form->addRow(QStringLiteral("Биты данных"), dataBitsCombo);
    form->addRow(QStringLiteral("Стоповые биты"), stopBitsCombo);
    form->addRow(QStringLiteral("Чётность"), parityCombo);
    form->addRow(QStringLiteral("Управление потоком"), flowCombo);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

PortSettings SerialSettingsDialog::settings() const
{
    PortSettings s;
    s.port = portCombo->currentText().trimmed();
    s.baudRate = speedCombo->currentText();
    s.customBaudRate = customSpeed->value();
    s.dataBits = dataBitsCombo->currentText();
    s.stopBits = stopBitsCombo->currentText();
    s.parity = parityCombo->currentText();
    s.flowControl = flowCombo->currentText();
    return s;
}

QCoro::Task<std::optional<PortSettings>> ask_port_settings(QWidget *parent, PortSettings current)
{
    QPointer<SerialSettingsDialog> dialog = new SerialSettingsDialog(current, parent);
    const int result = co_await DialogSeam::run(dialog);

    std::optional<PortSettings> chosen;
    if (dialog) {
        if (result == QDialog::Accepted)
            chosen = dialog->settings();
        dialog->deleteLater();
    }
    co_return chosen;
}

} // namespace qlx
