#include "waylandsocket.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace WaylandSocket {

QByteArray path(const QByteArray &waylandDisplay, const QByteArray &runtimeDir)
{
    if (waylandDisplay.startsWith('/'))
        return waylandDisplay;
    if (!runtimeDir.startsWith('/') || waylandDisplay.isEmpty())
        return {};
    return QByteArray(runtimeDir).append('/').append(waylandDisplay);
}

bool answers(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // A compositor whose queue of new clients is full still listens there.
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
        errno == EAGAIN;
    ::close(fd);
    return accepted;
}

} // namespace WaylandSocket
