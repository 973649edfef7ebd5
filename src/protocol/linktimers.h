#pragma once

#include <QtGlobal>

#include <chrono>

// How soon a connection whose other end has gone silent is given up: keepalive probes
// while nothing is sent, and a bound on how long sent data may stay unacknowledged. The
// terminal and the server each keep their own values; tests shorten them.
struct LinkTimers
{
    // Quiet time before the first keepalive probe, and between probes.
    std::chrono::seconds idle{10};
    std::chrono::seconds interval{5};
    // Unanswered probes that end the connection when no send timeout is set.
    int probes = 3;
    // Sent data still unacknowledged after this long ends the connection; with keepalive,
    // it also bounds how long probes may go unanswered. Zero leaves the system's default.
    std::chrono::milliseconds sendTimeout{25000};

    // Sets them on a connected TCP socket; false if the system refused any of them.
    bool applyTo(qintptr descriptor) const;
};

// Acknowledges what has arrived at once rather than after the usual delay, which would hold
// back a sender that waits for the acknowledgement before sending its next message. The
// kernel falls back to delaying by itself, so this is needed after every read.
void acknowledgeNow(qintptr descriptor);
