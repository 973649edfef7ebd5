#include "peerpacer.h"

#include "peer.h"

#include <algorithm>

PeerPacer::PeerPacer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &PeerPacer::fire);
}

void PeerPacer::wake(Peer *peer, std::chrono::milliseconds in)
{
    cancel(peer);
    const qint64 at = m_clock.nsecsElapsed() + std::chrono::nanoseconds(std::max(in, {})).count();
    m_due.emplace(at, peer);
    m_at.insert(peer, at);
    if (m_due.begin()->second == peer)
        arm();
}

void PeerPacer::cancel(Peer *peer)
{
    const auto it = m_at.constFind(peer);
    if (it == m_at.cend())
        return;
    m_due.erase({*it, peer});
    m_at.erase(it);
}

void PeerPacer::fire()
{
    // Whatever a step wakes is due later than now, so this ends.
    const qint64 now = m_clock.nsecsElapsed();
    while (!m_due.empty() && m_due.begin()->first <= now) {
        Peer *peer = m_due.begin()->second;
        m_due.erase(m_due.begin());
        m_at.remove(peer);
        peer->paced();
    }
    arm();
}

void PeerPacer::arm()
{
    if (m_due.empty()) {
        m_timer.stop();
        return;
    }
    // Whole milliseconds, rounded up: never before it is due.
    const qint64 in = std::max<qint64>(0, m_due.begin()->first - m_clock.nsecsElapsed());
    m_timer.start(std::chrono::milliseconds((in + 999999) / 1000000));
}
