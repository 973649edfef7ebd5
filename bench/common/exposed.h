#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

// Returns when the window is on screen and drawn, or false after ten seconds.
inline bool waitUntilExposed(QWidget *window)
{
    QTimer giveUp;
    giveUp.setSingleShot(true);
    giveUp.start(10000);
    while (!(window->windowHandle() && window->windowHandle()->isExposed())) {
        if (!giveUp.isActive())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
