#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>

// Two token buckets, in messages and in bytes, refilled continuously; an arrival takes one
// message and its size from them.
class ArrivalBudget
{
public:
    ArrivalBudget() = default;
    ArrivalBudget(int burstMessages, int messagesPerSecond, qint64 burstBytes,
                  qint64 bytesPerSecond, qint64 nowMs);

    // Takes the arrival's cost if both buckets hold it.
    bool take(qint64 bytes, qint64 nowMs);
    // How long until take() would succeed for an arrival of that size.
    std::chrono::milliseconds wait(qint64 bytes, qint64 nowMs);
    // Both buckets full: forgetting this budget would give nothing away.
    bool isFull(qint64 nowMs);

private:
    void refill(qint64 nowMs);
    qint64 cost(qint64 bytes) const { return std::min(bytes, m_burstBytes); }

    double m_messages = 1;
    double m_bytes = 1;
    int m_burstMessages = 1;
    int m_messagesPerSecond = 1;
    qint64 m_burstBytes = 1;
    qint64 m_bytesPerSecond = 1;
    qint64 m_lastMs = 0;
};
