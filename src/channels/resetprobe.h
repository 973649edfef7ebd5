#pragma once

#include <QtGlobal>

// Tells how the peer ended a TCP connection: reset, or closed in order. Qt reports both as
// the same error and has closed its descriptor by the time it does, so this keeps a second
// descriptor of the connection to look at afterwards. While it is held the connection
// stays open even after Qt let go; release() ends it.
class ResetProbe
{
public:
    ResetProbe() = default;
    ~ResetProbe() { release(); }
    ResetProbe(const ResetProbe &) = delete;
    ResetProbe &operator=(const ResetProbe &) = delete;

    // Starts watching the connected socket with the given descriptor.
    void watch(qintptr socketDescriptor);
    // True if the connection watched has been reset by its peer.
    bool wasReset() const;
    void release();

private:
    int m_descriptor = -1;
};
