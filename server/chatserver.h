#pragma once

#include "hostlog.h"
#include "peerpacer.h"
#include "protocol/channel.h"
#include "relaycore.h"
#include "serverlimits.h"
#include "sourcefilter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

class Peer;
class QTcpServer;

// The chat server on the network: accepts connections on the four ports, reads and writes
// them, and leaves every decision about what to relay to its RelayCore.
class ChatServer : public QObject
{
    Q_OBJECT

public:
    explicit ChatServer(QObject *parent = nullptr);
    ~ChatServer() override;

    // Applies to connections accepted from then on.
    void setLimits(const ServerLimits &limits);
    // Replaces the networks whose hosts may connect.
    void setAllowed(const QList<SourceFilter::Subnet> &subnets) { m_filter.setAllowed(subnets); }

    // Listens on all four ports of the address; on failure listens on none of them.
    bool listen(const QHostAddress &address = QHostAddress::Any);
    void close();
    QString errorString() const { return m_errorString; }

    // Everyone on the list, in the order they came.
    QList<QByteArray> nicknames() const { return m_core.nicknames(); }
    int connectionCount() const { return int(m_peers.size()); }

private:
    void acceptConnections(Channel channel);
    QString refusal(const QHostAddress &address) const;
    void forget(Peer *peer, ConnectionEnd how);
    void tick();
    // Carries out what the core decided, then wakes it when it next wants to be.
    void apply(const RelayOutput &output);

    ServerLimits m_limits;
    SourceFilter m_filter;
    HostLog m_log;
    RelayCore m_core;
    PeerPacer m_pacer;
    std::array<QTcpServer *, allChannels.size()> m_listeners{};
    QHash<ConnectionId, Peer *> m_peers;
    QElapsedTimer m_clock;
    QTimer m_pace;
    QTimer m_trim;
    QString m_errorString;
    int m_refused = 0; // connections refused since the server became full
};
