#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Keeps the server's log lines for the test to look at, instead of printing them.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const QStringList &lines() const;
    bool contains(const QString &text) const;
    void clear();
};
