#pragma once

#include <QtGlobal>

#include <array>

// The four kinds of traffic; the terminal opens one connection per kind, each to its own port.
enum class Channel { Chat, UserList, Join, Leave };

inline constexpr std::array<Channel, 4> allChannels = {Channel::Chat, Channel::UserList,
                                                       Channel::Join, Channel::Leave};

constexpr quint16 portOf(Channel channel)
{
    switch (channel) {
    case Channel::Chat:
        return 10420;
    case Channel::UserList:
        return 4201;
    case Channel::Join:
        return 10082;
    case Channel::Leave:
        return 10081;
    }
    return 0;
}

constexpr const char *nameOf(Channel channel)
{
    switch (channel) {
    case Channel::Chat:
        return "chat";
    case Channel::UserList:
        return "user-list";
    case Channel::Join:
        return "join";
    case Channel::Leave:
        return "leave";
    }
    return "?";
}

constexpr int indexOf(Channel channel)
{
    return static_cast<int>(channel);
}
