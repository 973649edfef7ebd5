#pragma once

// How a connection ended, as the network saw it.
enum class ConnectionEnd {
    // Closed in order by either side.
    Closed,
    // Reset by the client or by us.
    Reset,
    // Keepalive or the send timeout gave up on it: the client's machine is unreachable.
    TimedOut,
};
