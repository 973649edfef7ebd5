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

bool ResetProbe::wasReset() const
{
    if (m_descriptor < 0)
        return false;
    // A FIN leaves our end waiting to close; a reset closes it at once.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(m_descriptor, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
}

void ResetProbe::release()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}
