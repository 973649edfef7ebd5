#include "app/windows.h"
#include "ui/main/form1.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vornel"));
    QApplication::setApplicationVersion(QStringLiteral(VORNEL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(VORNEL_DESKTOP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vornel/vornel.ico")));

    Form1 *form = Windows::mainWindow();
    // The exit entry ends the program at once: no close request, no handler afterwards.
    form->setEndProgram([] {
        std::fflush(nullptr);
        std::_Exit(0);
    });
    form->show();
    const int rc = QApplication::exec();
    delete form;
    return rc;
}
