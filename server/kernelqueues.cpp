#include "kernelqueues.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif

namespace KernelQueues {

qint64 unread(qintptr descriptor)
{
    int bytes = 0;
    if (descriptor < 0 || ::ioctl(int(descriptor), FIONREAD, &bytes) != 0)
        return 0;
    return bytes;
}

qint64 unsent(qintptr descriptor)
{
#ifdef SIOCOUTQNSD
    int bytes = 0;
    if (descriptor < 0 || ::ioctl(int(descriptor), SIOCOUTQNSD, &bytes) != 0)
        return 0;
    return bytes;
#else
    Q_UNUSED(descriptor);
    return 0;
#endif
}

qint64 unacknowledged(qintptr descriptor)
{
    int bytes = 0;
    if (descriptor < 0 || ::ioctl(int(descriptor), TIOCOUTQ, &bytes) != 0)
        return 0;
    return bytes;
}

void acknowledgeNow(qintptr descriptor)
{
#ifdef TCP_QUICKACK
    // The kernel falls back to delaying by itself, so this is needed after every read.
    const int on = 1;
    if (descriptor >= 0)
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(descriptor);
#endif
}

void resetOnClose(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    const linger immediate{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

} // namespace KernelQueues
