#pragma once

#include <QString>
#include <QStringView>

// The line a user sends: "<" nickname "> " message, nothing before, between or after.
inline QString chatLine(QStringView nickname, QStringView message)
{
    return QStringLiteral("<") + nickname + QStringLiteral("> ") + message;
}

// A chat log line: the arrived text unchanged, then CR LF.
inline QString logLine(QStringView text)
{
    return text + QStringLiteral("\r\n");
}

// The chat log line for a departure: the nickname as received, then " sohbetten ayrıldı.".
inline QString leaveLine(QStringView nickname)
{
    return nickname + QStringLiteral(" sohbetten ayrıldı.\r\n");
}
