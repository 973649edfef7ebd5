#pragma once

#include "protocol/channel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

// Between a Vornel terminal and a Vornel server, one TLS 1.3 connection on a port of its own
// carries the four channels. Each message travels as a frame: a kind byte, the length of the
// payload as four bytes in network order, then the payload, the very bytes one read brings on
// a plain channel. Frames mark where a message ends, so nothing needs pacing on the link.
inline constexpr quint16 LinkPort = 10421;

enum class FrameKind : quint8 {
    Chat = 0,
    UserList = 1,
    Join = 2,
    Leave = 3,
    // From the server only: how many in the room read the chat without encryption.
    PlainUsers = 4,
};

struct LinkFrame
{
    FrameKind kind;
    QByteArray payload;

    // The channel a channel frame belongs to.
    Channel channel() const { return static_cast<Channel>(kind); }
};

namespace LinkFrames {

inline constexpr int HeaderBytes = 5;
// As much as one read of a plain channel is taken with; an empty frame is no message at all.
inline constexpr int MaxPayloadBytes = 64 * 1024;

constexpr FrameKind kindOf(Channel channel)
{
    return static_cast<FrameKind>(indexOf(channel));
}

// A frame of the channel holding message, which must be 1 to MaxPayloadBytes long.
QByteArray encode(Channel channel, QByteArrayView message);
// The server's count of those reading without encryption.
QByteArray encodePlainUsers(quint32 count);
// The count a PlainUsers payload carries; nothing when it is not one.
std::optional<quint32> plainUsers(QByteArrayView payload);

} // namespace LinkFrames
