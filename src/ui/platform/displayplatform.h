#pragma once

#include <QByteArray>

// The window platform Qt is to start the terminal on, chosen from the environment before the
// application object exists. Where an X server is there (XWayland included) it comes first,
// Wayland only as the fallback, and only where a compositor answers: under X the window can
// stay above the others and be raised without taking the focus, which Wayland offers no way
// to do. A platform the user chose is always kept.
class DisplayPlatform
{
public:
    struct Environment
    {
        QByteArray qpaPlatform;         // QT_QPA_PLATFORM
        QByteArray display;             // DISPLAY
        QByteArray waylandDisplay;      // WAYLAND_DISPLAY
        bool platformOption = false;    // -platform or -display on the command line
        bool compositorAnswers = false; // at the socket WAYLAND_DISPLAY names
        bool runtimeDirSet = true;      // XDG_RUNTIME_DIR, where a relative WAYLAND_DISPLAY is
    };
    static Environment ofProcess(int argc, char *argv[]);

    explicit DisplayPlatform(const Environment &environment);

    // False where it is plain already that no window can be shown: no platform chosen, no X
    // server to try and no compositor answering.
    bool hasDisplay() const;
    // The value QT_QPA_PLATFORM is to get; empty where it is to stay as it is.
    QByteArray platform() const { return m_platform; }
    // The one line saying why no window could be shown.
    QByteArray failure() const;
    void apply() const;

private:
    bool userChose() const
    {
        return !m_environment.qpaPlatform.isEmpty() || m_environment.platformOption;
    }

    Environment m_environment;
    QByteArray m_platform;
};
