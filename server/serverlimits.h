#pragma once

#include <QtGlobal>

#include <chrono>

// What one server allows; tests shrink these to reach them quickly.
struct ServerLimits
{
    // Connections on all four ports together. A terminal holds four, so this leaves room for
    // a LAN of a thousand terminals; main() raises the descriptor limit to match.
    int maxConnections = 4096;
    // Longer nicknames are cut to this many bytes on every channel, so that a leave still
    // matches the entry its user list arrival made.
    int maxNicknameBytes = 64;
    // One arrival (one read); larger ones are dropped whole.
    int maxArrivalBytes = 64 * 1024;
    // Per connection; a client whose queue would grow past either is disconnected.
    qint64 maxQueuedBytes = 4 * 1024 * 1024;
    int maxQueuedMessages = 4096;
    // Per connection: arrivals beyond a burst of this many, refilled at the given rate, are
    // dropped, so one flooding sender cannot overflow everyone else's queue.
    int burstArrivals = 20;
    int arrivalsPerSecond = 10;
    // Pause after one message has left before the next one to the same connection goes.
    std::chrono::milliseconds sendGap{5};
};
