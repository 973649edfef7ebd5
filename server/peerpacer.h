#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <set>
#include <utility>

class Peer;

// One timer for the pacing of every connection: the pause after each message and the polls
// for its acknowledgement. As timers of their own, a thousand busy connections start and stop
// one every few milliseconds each, and Qt's cost for that grows with the number running: in a
// whole LAN's return after a restart it cost the server more than the sending itself.
class PeerPacer : public QObject
{
public:
    explicit PeerPacer(QObject *parent = nullptr);

    // The peer's paced step runs once this time has passed, instead of any earlier wake.
    void wake(Peer *peer, std::chrono::milliseconds in);
    void cancel(Peer *peer);

private:
    void fire();
    void arm();

    QElapsedTimer m_clock;
    QTimer m_timer;
    std::set<std::pair<qint64, Peer *>> m_due; // nanoseconds on m_clock
    QHash<Peer *, qint64> m_at;
};
