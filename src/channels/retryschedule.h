#pragma once

#include <QtGlobal>

#include <functional>

// When a session that was up and ended is tried again: the n-th wait is min(60, 2^n) s, each
// spread by up to half of it either way, so that the terminals of a whole LAN, which lose a
// restarting server at the same instant, do not all come back at the same instant. A session
// that stays up for StableMs counts as back for good, and its next end starts from the first
// wait again; one that the server ends at once keeps backing off.
class RetrySchedule
{
public:
    // Milliseconds from any fixed point, never going back.
    using Clock = std::function<qint64()>;
    // Uniform in [0, 1).
    using Random = std::function<double()>;

    static constexpr qint64 FirstWaitMs = 2000;
    static constexpr qint64 LongestWaitMs = 60000;
    static constexpr double Spread = 0.5;
    static constexpr qint64 StableMs = 30000;

    RetrySchedule(Clock clock, Random random);
    // The system's random source, as the terminal uses it.
    static double systemRandom();

    // The wait before the next attempt, after an end or a failed attempt.
    qint64 nextWaitMs();
    // The n-th wait (from 1) before its spread.
    static qint64 nominalWaitMs(int n);
    // The session is up again.
    void succeeded();
    // Back to the first wait: the user connected or disconnected.
    void reset();

    // Waits handed out since the last reset.
    int waits() const { return m_waits; }

private:
    Clock m_clock;
    Random m_random;
    int m_waits = 0;
    qint64 m_upSince = -1;
};
