#include "resetprobe.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

void ResetProbe::watch(qintptr socketDescriptor)
{
    release();
    if (socketDescriptor >= 0)
        m_descriptor = ::fcntl(int(socketDescriptor), F_DUPFD_CLOEXEC, 0);
}

namespace {

bool infoOf(int descriptor, tcp_info &info)
{
    socklen_t size = sizeof info;
    return descriptor >= 0 && ::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &size) == 0;
}

} // namespace

bool ResetProbe::wasReset() const
{
    // A FIN leaves our end waiting to close; a reset closes it at once.
    tcp_info info{};
    return infoOf(m_descriptor, info) && info.tcpi_state == TCP_CLOSE;
}

bool ResetProbe::timedOut() const
{
    // The system gives up while retransmitting or probing, and leaves the count standing.
    tcp_info info{};
    return infoOf(m_descriptor, info) && info.tcpi_state == TCP_CLOSE &&
           (info.tcpi_retransmits > 0 || info.tcpi_probes > 0);
}

void ResetProbe::release()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}
