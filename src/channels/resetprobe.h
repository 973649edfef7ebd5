#pragma once

#include <QtGlobal>

// Tells how a TCP connection ended: reset by the peer, given up for want of answers, or
// closed in order. Qt reports the first and the last as the same error, and a time-out found
// while writing as a stale one; it has closed its descriptor by the time it does, so this
// keeps a second descriptor of the connection to look at afterwards. While it is held the
// connection stays open even after Qt let go; release() ends it.
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
    // True if the connection watched was ended because sent data or keepalive probes went
    // unanswered for too long.
    bool timedOut() const;
    void release();

private:
    int m_descriptor = -1;
};
