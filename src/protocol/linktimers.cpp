#include "linktimers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

bool setOption(qintptr descriptor, int level, int name, int value)
{
    return ::setsockopt(int(descriptor), level, name, &value, sizeof value) == 0;
}

} // namespace

bool LinkTimers::applyTo(qintptr descriptor) const
{
    if (descriptor < 0)
        return false;
    bool ok = setOption(descriptor, SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = setOption(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, int(idle.count())) && ok;
    ok = setOption(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, int(interval.count())) && ok;
    ok = setOption(descriptor, IPPROTO_TCP, TCP_KEEPCNT, probes) && ok;
    ok = setOption(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, int(sendTimeout.count())) && ok;
    return ok;
}

void acknowledgeNow(qintptr descriptor)
{
    if (descriptor >= 0)
        setOption(descriptor, IPPROTO_TCP, TCP_QUICKACK, 1);
}
