#include "ui/main/form1.h"
#include "ui/platform/displayplatform.h"
#include "ui/platform/startupmessages.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// --help and --version answer without a window, so without a display too.
bool answered(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("Usage: vornel [--help] [--version]\n\n"
                        "Chat terminal for a Vornel chat server on the local network.\n"
                        "Type a nickname and the server's host name or IP address in the\n"
                        "window and press \"Bağlan\". Needs a graphical session.\n");
            return true;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            std::printf("vornel %s\n", VORNEL_VERSION);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answered(argc, argv))
        return 0;
    const DisplayPlatform display(DisplayPlatform::ofProcess(argc, argv));
    if (!display.hasDisplay()) {
        std::fputs(display.failure().constData(), stderr);
        return 1;
    }
    display.apply();

    // Where no platform can show the window, Qt's messages give way to the line above.
    std::optional<StartupMessages> starting(std::in_place, display.failure());
    QApplication app(argc, argv);
    starting.reset();
    QApplication::setApplicationName(QStringLiteral("vornel"));
    QApplication::setApplicationVersion(QStringLiteral(VORNEL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(VORNEL_DESKTOP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vornel/vornel.ico")));

    Form1 form;
    // The exit entry ends the program at once: no close request, no handler afterwards.
    form.setEndProgram([] {
        std::fflush(nullptr);
        std::_Exit(0);
    });
    form.show();
    return QApplication::exec();
}
