#pragma once

#include <QLatin1StringView>

// The names and numbers of the Avahi daemon's D-Bus interface (avahi-daemon 0.8, as on Debian
// 12 and 13), shared by the server's announcement and the terminal's browsing.
namespace Avahi {

inline constexpr QLatin1StringView Service("org.freedesktop.Avahi");
inline constexpr QLatin1StringView ServerPath("/");
inline constexpr QLatin1StringView Server("org.freedesktop.Avahi.Server");
// Avahi 0.7 and later: browsers made first and started once their signals are subscribed to.
inline constexpr QLatin1StringView Server2("org.freedesktop.Avahi.Server2");
inline constexpr QLatin1StringView EntryGroup("org.freedesktop.Avahi.EntryGroup");
inline constexpr QLatin1StringView ServiceBrowser("org.freedesktop.Avahi.ServiceBrowser");

inline constexpr QLatin1StringView CollisionError("org.freedesktop.Avahi.CollisionError");

// Interface indexes and protocols: -1 for all of them.
inline constexpr int AnyInterface = -1;
inline constexpr int AnyProtocol = -1;
inline constexpr int IPv4 = 0;
inline constexpr int IPv6 = 1;

// The daemon's own state: only a running daemon registers services.
enum ServerState {
    ServerInvalid,
    ServerRegistering,
    ServerRunning,
    ServerCollision,
    ServerFailure
};

enum EntryGroupState {
    GroupUncommitted,
    GroupRegistering,
    GroupEstablished,
    GroupCollision,
    GroupFailure
};

} // namespace Avahi
