// The start dialog "Сеть Кворлекс": the operator opens the serial port here
// before the main window appears.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace qlx {

class TFrm_start : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_start(QWidget *parent = nullptr);

    QLabel *fileLabel() const { return Label_file; }   // "Запись в файл невозможна"
    QLabel *dbLabel() const { return Label_db; }       // "Запись в базу данных невозможна"
    QPushButton *startButton() const { return cmd_start; }
    QPushButton *setupButton() const { return cmd_nastr; }
    QPushButton *exitButton() const { return cmd_exit; }

    void reject() override; // the frame's close box and Esc both end here

signals:
    // Closed by the window frame (or Esc) while the main window was never shown:
    // nothing would be left to bring the program back, so it ends.
    void closedByFrame();


private:
    QLabel *Label_file;
    QLabel *Label_db;
    QPushButton *cmd_start;
    QPushButton *cmd_nastr;
    QPushButton *cmd_exit;
};

} // namespace qlx
