#include "displayplatform.h"

#include <QtGlobal>

#include <cstring>

DisplayPlatform::Environment DisplayPlatform::ofProcess(int argc, char *argv[])
{
    Environment environment{qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"),
                            qgetenv("WAYLAND_DISPLAY")};
    for (int i = 1; i < argc; ++i) {
        // Qt takes its options with one dash or two.
        const char *option = std::strncmp(argv[i], "--", 2) ? argv[i] : argv[i] + 1;
        if (!std::strcmp(option, "-platform") || !std::strcmp(option, "-display"))
            environment.platformOption = true;
    }
    return environment;
}

DisplayPlatform::DisplayPlatform(const Environment &environment) : m_environment(environment)
{
    const Environment &e = m_environment;
    if (!e.qpaPlatform.isEmpty() || e.platformOption)
        return;
    if (!e.display.isEmpty())
        m_platform = e.waylandDisplay.isEmpty() ? "xcb" : "xcb;wayland";
    else if (!e.waylandDisplay.isEmpty())
        m_platform = "wayland";
}

bool DisplayPlatform::hasDisplay() const
{
    const Environment &e = m_environment;
    return !e.qpaPlatform.isEmpty() || e.platformOption || !e.display.isEmpty() ||
           !e.waylandDisplay.isEmpty();
}

QByteArray DisplayPlatform::failure() const
{
    const Environment &e = m_environment;
    if (!hasDisplay())
        return "vornel: no graphical session to show the window in: neither DISPLAY nor "
               "WAYLAND_DISPLAY is set.\n";
    if (!e.qpaPlatform.isEmpty() || e.platformOption)
        return "vornel: the window cannot be shown on the platform chosen for Qt"
               " (QT_QPA_PLATFORM or -platform).\n";
    QByteArray line = "vornel: the window cannot be shown:";
    if (!e.display.isEmpty())
        line.append(" no X server answers at DISPLAY=").append(e.display);
    if (!e.waylandDisplay.isEmpty()) {
        line.append(e.display.isEmpty() ? " DISPLAY is not set, and" : ", and");
        line.append(" Qt's Wayland platform (package qt6-wayland) is missing or finds no "
                    "compositor at WAYLAND_DISPLAY=")
            .append(e.waylandDisplay);
    }
    return line.append(".\n");
}

void DisplayPlatform::apply() const
{
    if (!m_platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", m_platform);
}
