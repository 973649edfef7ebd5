#include "arrivalbudget.h"

#include <algorithm>
#include <cmath>

ArrivalBudget::ArrivalBudget(int burstMessages, int messagesPerSecond, qint64 burstBytes,
                             qint64 bytesPerSecond, qint64 nowMs)
    : m_messages(std::max(1, burstMessages)), m_bytes(double(std::max<qint64>(1, burstBytes))),
      m_burstMessages(std::max(1, burstMessages)),
      m_messagesPerSecond(std::max(1, messagesPerSecond)),
      m_burstBytes(std::max<qint64>(1, burstBytes)),
      m_bytesPerSecond(std::max<qint64>(1, bytesPerSecond)), m_lastMs(nowMs)
{}

void ArrivalBudget::refill(qint64 nowMs)
{
    const double seconds = double(std::max<qint64>(0, nowMs - m_lastMs)) / 1000.0;
    m_lastMs = std::max(m_lastMs, nowMs);
    m_messages = std::min<double>(m_burstMessages, m_messages + seconds * m_messagesPerSecond);
    m_bytes = std::min<double>(double(m_burstBytes), m_bytes + seconds * double(m_bytesPerSecond));
}

bool ArrivalBudget::take(qint64 bytes, qint64 nowMs)
{
    refill(nowMs);
    const double needed = double(cost(bytes));
    if (m_messages < 1 || m_bytes < needed)
        return false;
    m_messages -= 1;
    m_bytes -= needed;
    return true;
}

std::chrono::milliseconds ArrivalBudget::wait(qint64 bytes, qint64 nowMs)
{
    refill(nowMs);
    const double forMessages = std::max(0.0, 1 - m_messages) / m_messagesPerSecond;
    const double forBytes = std::max(0.0, double(cost(bytes)) - m_bytes) / double(m_bytesPerSecond);
    return std::chrono::milliseconds(qint64(std::ceil(std::max(forMessages, forBytes) * 1000)));
}

bool ArrivalBudget::isFull(qint64 nowMs)
{
    refill(nowMs);
    return m_messages >= m_burstMessages && m_bytes >= double(m_burstBytes);
}
