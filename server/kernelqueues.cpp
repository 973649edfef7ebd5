#include "kernelqueues.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif

namespace {

qint64 ask(qintptr descriptor, unsigned long request)
{
    int bytes = 0;
    if (descriptor < 0 || ::ioctl(int(descriptor), request, &bytes) != 0)
        return 0;
    return bytes;
}

} // namespace

namespace KernelQueues {

qint64 unread(qintptr descriptor)
{
    return ask(descriptor, FIONREAD);
}

qint64 unsent(qintptr descriptor)
{
#ifdef SIOCOUTQNSD
    return ask(descriptor, SIOCOUTQNSD);
#else
    Q_UNUSED(descriptor);
    return 0;
#endif
}

qint64 unacknowledged(qintptr descriptor)
{
    return ask(descriptor, TIOCOUTQ);
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
