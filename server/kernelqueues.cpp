#include "kernelqueues.h"

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

void resetOnClose(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    const linger immediate{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

} // namespace KernelQueues
