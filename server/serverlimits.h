#pragma once

#include "protocol/linktimers.h"

#include <QtGlobal>

#include <chrono>

// What one server allows; tests shrink these to reach them quickly.
struct ServerLimits
{
    // Connections on all four ports together. A terminal holds four, so this leaves room for
    // a LAN of a thousand terminals; main() raises the descriptor limit to match.
    int maxConnections = 4096;
    // Connections the kernel has taken on one port that wait to be accepted. A restart brings
    // every terminal of the LAN back within the same second or two, four connections each;
    // Qt's default of 50 made the kernel drop the rest, and their terminals connected only on
    // its SYN retry a second later. As many as may be connected at all, which costs nothing
    // until used; the kernel caps it at net.core.somaxconn (4096 since Linux 5.4).
    int listenBacklog = 4096;
    // From one source address: eight terminals on one machine.
    int maxConnectionsPerHost = 32;
    // List entries from one source address.
    int maxNamesPerHost = 8;
    // A user list or join connection that has not sent its nickname by then is closed.
    std::chrono::milliseconds nicknameDeadline{10000};
    // An encrypted link whose TLS handshake has not finished by then is closed.
    std::chrono::milliseconds handshakeDeadline{10000};
    // How long a chat line or join waits for its nickname to be listed from its address;
    // the nickname travels on another connection and may come a little later.
    std::chrono::milliseconds nameWait{2000};
    // Longer nicknames are cut to this many bytes on every channel, so that a leave still
    // matches the entry its user list arrival made.
    int maxNicknameBytes = 64;
    // One arrival (one read); larger ones are dropped whole.
    int maxArrivalBytes = 64 * 1024;
    // Per connection, in what the queued messages cost in memory; a client whose queue would
    // grow past either is disconnected.
    qint64 maxQueuedBytes = 4 * 1024 * 1024;
    int maxQueuedMessages = 4096;
    // Per source address, over all its connections: arrivals beyond a burst, refilled at the
    // given rates, wait in order and are taken at that pace.
    int burstArrivals = 20;
    int arrivalsPerSecond = 10;
    qint64 burstArrivalBytes = 256 * 1024;
    qint64 arrivalBytesPerSecond = 64 * 1024;
    // A source address whose waiting arrivals pass either bound loses the connection that
    // sent the last one.
    int maxBacklogMessages = 200;
    qint64 maxBacklogBytes = 1024 * 1024;
    // Log lines about one source address: a burst, then one a second with a count.
    int logBurstPerHost = 20;
    // Pause after one message has left before the next one to the same connection goes.
    std::chrono::milliseconds sendGap{5};
    // The pause starts only once the other end has acknowledged the whole message, so that
    // a retransmission never carries the next one with it; off, only once the last byte was
    // sent. Off only to measure what the wait costs.
    bool waitForAcknowledgement = true;
    // A vanished machine's connections end within the send timeout (a probe interval more
    // when idle), and with them every connection and name from its address.
    LinkTimers link{std::chrono::seconds(20), std::chrono::seconds(5), 4, std::chrono::seconds(30)};
};
