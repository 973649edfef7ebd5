#include "retryschedule.h"

#include <QRandomGenerator>

#include <algorithm>

RetrySchedule::RetrySchedule(Clock clock, Random random)
    : m_clock(std::move(clock)), m_random(std::move(random))
{}

double RetrySchedule::systemRandom()
{
    return QRandomGenerator::global()->generateDouble();
}

qint64 RetrySchedule::nominalWaitMs(int n)
{
    // 2^n s overtakes the cap at n = 6; no shift beyond that.
    if (n >= 6)
        return LongestWaitMs;
    return std::min(LongestWaitMs, FirstWaitMs << (std::max(n, 1) - 1));
}

qint64 RetrySchedule::nextWaitMs()
{
    if (m_upSince >= 0 && m_clock() - m_upSince >= StableMs)
        m_waits = 0;
    m_upSince = -1;
    const double nominal = double(nominalWaitMs(++m_waits));
    const double factor = 1.0 + Spread * (2.0 * std::clamp(m_random(), 0.0, 1.0) - 1.0);
    return qint64(nominal * factor);
}

void RetrySchedule::succeeded()
{
    m_upSince = m_clock();
}

void RetrySchedule::reset()
{
    m_waits = 0;
    m_upSince = -1;
}
