#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// What the four channels carry, besides bare nicknames.

// The marks around the nickname in front of a chat line; plain ASCII, so the same as bytes.
inline constexpr char ChatNickOpen = '<';
inline constexpr char ChatNickClose[] = "> ";

// The line a user sends: "<" nickname "> " message, nothing before, between or after.
inline QString chatLine(QStringView nickname, QStringView message)
{
    return QLatin1Char(ChatNickOpen) + nickname + QLatin1StringView(ChatNickClose) + message;
}

// What the server adds behind a nickname to make the join notice it sends.
inline constexpr QStringView JoinSuffix = u" sohbete katıldı.";
// What the terminal adds behind a departed nickname in its log.
inline constexpr QStringView LeaveSuffix = u" sohbetten ayrıldı.";

// The join notice for a nickname, in wire bytes.
QByteArray joinNotice(QByteArrayView nickname);

// A chat log line: the arrived bytes unchanged, then CR LF.
QByteArray logLine(QByteArrayView text);

// The chat log line for a departure: the nickname as received, the leave suffix, CR LF.
QByteArray leaveLine(QByteArrayView nickname);
