#include "app/start_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace qlx {

namespace {

// The dialog's picture: a stylised controller front panel with a red readout.
QPixmap panelPicture()
{
    QPixmap pixmap(120, 90);
    pixmap.fill(QColor(0x30, 0x30, 0x38));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x10, 0x10, 0x10));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(10, 12, 100, 36, 4, 4);
    QFont font(QStringLiteral("DejaVu Sans Mono"), 20, QFont::Bold);
    p.setFont(font);
    p.setPen(QColor(0xFF, 0x30, 0x20));
    p.drawText(QRect(10, 12, 100, 36), Qt::AlignCenter, QStringLiteral("12.5"));
    p.setPen(QColor(0x40, 0xE0, 0x40));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    p.drawText(QRect(10, 56, 100, 24), Qt::AlignCenter, QStringLiteral("Кворлекс"));
    return pixmap;
}

} // namespace

TFrm_start::TFrm_start(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("Frm_start"));
    setWindowTitle(QStringLiteral("Сеть Кворлекс"));
    auto *picture = new QLabel;
    picture->setPixmap(panelPicture());

    Label_file = new QLabel(QStringLiteral("Запись в файл невозможна"));
    Label_db = new QLabel(QStringLiteral("Запись в базу данных невозможна"));
    for (QLabel *l : {Label_file, Label_db}) {
        l->setStyleSheet(QStringLiteral("color: red"));
        l->setVisible(false);
    }
    cmd_start = new QPushButton(QStringLiteral("Запуск программы"));
    cmd_start->setObjectName(QStringLiteral("cmd_start"));
    cmd_start->setDefault(true);
    cmd_nastr = new QPushButton(QStringLiteral("Настроить COM порт..."));
    cmd_nastr->setObjectName(QStringLiteral("cmd_nastr"));
    cmd_exit = new QPushButton(QStringLiteral("Выход"));
    cmd_exit->setObjectName(QStringLiteral("cmd_exit"));

    auto *buttons = new QVBoxLayout;
    buttons->addWidget(cmd_start);
    buttons->addWidget(cmd_nastr);
    buttons->addWidget(cmd_exit);
    buttons->addStretch();
    auto *top = new QHBoxLayout;
    top->addWidget(picture);
    top->addLayout(buttons);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Label_file);
    layout->addWidget(Label_db);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TFrm_start::reject()
{
    emit closedByFrame();
    QDialog::reject();
}

} // namespace qlx
