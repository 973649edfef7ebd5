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
#include <QSslConfiguration>
#include <QString>
#include <QTimer>

#include <array>

class LinkPeer;
class Peer;
class QAbstractSocket;
class QTcpServer;
class ServerIdentity;

// The chat server on the network: accepts connections on the four ports, and encrypted links
// carrying all four on a port of their own, reads and writes them, and leaves every decision
// about what to relay to its RelayCore.
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

    // With an identity, listen() also opens the encrypted link's port, presenting it.
    void setIdentity(const ServerIdentity &identity);
    // Terminals may then come on the encrypted link only: the four plain ports stay closed.
    void setPlainRefused(bool refused) { m_plainRefused = refused; }

    // Listens on all ports of the address; on failure listens on none of them.
    bool listen(const QHostAddress &address = QHostAddress::Any);
    void close();
    QString errorString() const { return m_errorString; }

    // Everyone on the list, in the order they came.
    QList<QByteArray> nicknames() const { return m_core.nicknames(); }
    // Each link counts as the four connections it carries.
    int connectionCount() const
    {
        return int(m_peers.size() + m_links.size() * qsizetype(allChannels.size()));
    }
    int linkCount() const { return int(m_links.size()); }
    // Chat connections that read the room without encryption.
    int plainReaders() const { return m_plainReaders; }

private:
    bool listenOn(QTcpServer *listener, const QHostAddress &address, quint16 port,
                  const QString &what);
    void acceptConnections(Channel channel);
    void acceptLinks();
    // Why a new connection from this address, counting as that many connections, is not let in.
    QString refusal(const QHostAddress &address, int taking) const;
    // Lets the connection in, or closes it with a log line saying why.
    bool admit(QAbstractSocket *socket, const QString &what, int taking);
    void roomAgain();
    void forget(Peer *peer, ConnectionEnd how);
    void forgetLink(LinkPeer *link, ConnectionEnd how);
    void countPlainReaders(int change);
    void tick();
    // Carries out what the core decided, then wakes it when it next wants to be.
    void apply(const RelayOutput &output);

    ServerLimits m_limits;
    SourceFilter m_filter;
    HostLog m_log;
    RelayCore m_core;
    PeerPacer m_pacer;
    std::array<QTcpServer *, allChannels.size()> m_listeners{};
    QTcpServer *m_linkListener = nullptr;
    QSslConfiguration m_tls;
    bool m_plainRefused = false;
    QHash<ConnectionId, Peer *> m_peers;
    QList<LinkPeer *> m_links;
    struct LinkChannel
    {
        LinkPeer *link;
        Channel channel;
    };
    QHash<ConnectionId, LinkChannel> m_linkChannels;
    int m_plainReaders = 0;
    QElapsedTimer m_clock;
    QTimer m_pace;
    QTimer m_trim;
    QString m_errorString;
    int m_refused = 0; // connections refused since the server became full
};
