// The station's desktop program. For now a frame window over the core; the
// start-up sequence and the main window are built on top of it.
#include "core/comport.h"
#include "protocol/transaction.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Сеть датчиков Quorlink"));
    qlx::ComPort port;
    qlx::Transaction line(port);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Сеть датчиков Кворлекс"));
    window.show();
    return QApplication::exec();
}
