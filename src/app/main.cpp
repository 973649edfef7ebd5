#include "ui/main/form1.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool isSet(const char *variable)
{
    const char *value = std::getenv(variable);
    return value && *value;
}

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

// Qt aborts with a message about plugins when it finds no display; say what is missing.
bool hasDisplay(int argc, char *argv[])
{
    if (isSet("QT_QPA_PLATFORM") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))
        return true;
    for (int i = 1; i < argc; ++i) {
        // Qt takes its options with one dash or two.
        const char *option = std::strncmp(argv[i], "--", 2) ? argv[i] : argv[i] + 1;
        if (!std::strcmp(option, "-platform") || !std::strcmp(option, "-display"))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answered(argc, argv))
        return 0;
    if (!hasDisplay(argc, argv)) {
        std::fprintf(stderr, "vornel: no graphical session to show the window in: neither "
                             "DISPLAY nor WAYLAND_DISPLAY is set.\n");
        return 1;
    }

    QApplication app(argc, argv);
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
