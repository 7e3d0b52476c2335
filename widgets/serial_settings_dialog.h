// The serial port's settings dialog ("Настройка COM порта"): port, speed, data bits,
// stop bits, parity and flow control. It only edits a PortSettings value; the caller
// applies the choice after OK.
#pragma once

#include "line/comport.h"

#include <QDialog>

#include <qcoro/qcorotask.h>

#include <optional>

class QComboBox;
class QSpinBox;

namespace qlx {

class SerialSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit SerialSettingsDialog(const PortSettings &current, QWidget *parent = nullptr);

    // The settings as chosen in the fields.
    PortSettings settings() const;

    QComboBox *portCombo = nullptr;     // editable: any device path may be typed
    QComboBox *speedCombo = nullptr;    // the "BaudRate" texts, "Custom" last
    QSpinBox *customSpeed = nullptr;    // enabled only while "Custom" is chosen
    QComboBox *dataBitsCombo = nullptr;
    QComboBox *stopBitsCombo = nullptr;
    QComboBox *parityCombo = nullptr;
    QComboBox *flowCombo = nullptr;
};

// Opens the dialog window-modally (open()) over `parent` and waits for it to finish.
// Returns the chosen settings after OK, nullopt after Cancel, the close box, or when
// the dialog is destroyed. The dialog is deleted before returning.
QCoro::Task<std::optional<PortSettings>> ask_port_settings(QWidget *parent, PortSettings current);

} // namespace qlx
