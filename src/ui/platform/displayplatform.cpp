#include "displayplatform.h"

#include "waylandsocket.h"

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
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    environment.runtimeDirSet = runtimeDir.startsWith('/');
    if (!environment.waylandDisplay.isEmpty())
        environment.compositorAnswers =
            WaylandSocket::answers(WaylandSocket::path(environment.waylandDisplay, runtimeDir));
    return environment;
}

DisplayPlatform::DisplayPlatform(const Environment &environment) : m_environment(environment)
{
    const Environment &e = m_environment;
    if (userChose())
        return;
    const bool wayland = !e.waylandDisplay.isEmpty() && e.compositorAnswers;
    if (!e.display.isEmpty())
        m_platform = wayland ? "xcb;wayland" : "xcb";
    else if (wayland)
        m_platform = "wayland";
}

bool DisplayPlatform::hasDisplay() const
{
    return userChose() || !m_platform.isEmpty();
}

QByteArray DisplayPlatform::failure() const
{
    const Environment &e = m_environment;
    if (e.display.isEmpty() && e.waylandDisplay.isEmpty() && !userChose())
        return "vornel: no graphical session to show the window in: neither DISPLAY nor "
               "WAYLAND_DISPLAY is set.\n";
    if (userChose())
        return "vornel: the window cannot be shown on the platform chosen for Qt"
               " (QT_QPA_PLATFORM or -platform).\n";
    QByteArray line = "vornel: the window cannot be shown:";
    if (!e.display.isEmpty())
        line.append(" no X server answers at DISPLAY=").append(e.display);
    if (!e.waylandDisplay.isEmpty()) {
        line.append(e.display.isEmpty() ? " DISPLAY is not set, and" : ", and");
        if (e.compositorAnswers)
            line.append(" Qt's Wayland platform (package qt6-wayland) is missing or cannot use "
                        "the compositor at WAYLAND_DISPLAY=");
        else
            line.append(" no Wayland compositor answers at WAYLAND_DISPLAY=");
        line.append(e.waylandDisplay);
        if (!e.compositorAnswers && !e.waylandDisplay.startsWith('/') && !e.runtimeDirSet)
            line.append(" (XDG_RUNTIME_DIR is not set)");
    }
    return line.append(".\n");
}

void DisplayPlatform::apply() const
{
    if (!m_platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", m_platform);
}
