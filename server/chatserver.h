#pragma once

#include "protocol/channel.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <array>

class Peer;
class QTcpServer;

// The chat server: relays chat lines, keeps the list of who is online and sends join and
// leave notices, each on its own port.
class ChatServer : public QObject
{
    Q_OBJECT

public:
    explicit ChatServer(QObject *parent = nullptr);
    ~ChatServer() override;

    // Applies to connections accepted from then on.
    void setLimits(const ServerLimits &limits) { m_limits = limits; }
    const ServerLimits &limits() const { return m_limits; }

    // Listens on all four ports of the address; on failure listens on none of them.
    bool listen(const QHostAddress &address = QHostAddress::Any);
    void close();
    QString errorString() const { return m_errorString; }

    // Everyone on the list, in the order they came.
    QList<QByteArray> nicknames() const;
    int connectionCount() const;

private:
    struct Entry
    {
        QByteArray nickname;
        Peer *userList; // the connection whose arrival made this entry
    };

    void acceptConnections(Channel channel);
    void handleArrival(Peer *peer, const QByteArray &message);
    void addToList(Peer *peer, const QByteArray &nickname);
    void takeOffList(Peer *peer, const QByteArray &nickname);
    void forget(Peer *peer);
    void broadcast(Channel channel, const QByteArray &message);
    QByteArray nicknameFrom(const Peer *peer, const QByteArray &arrival) const;

    ServerLimits m_limits;
    std::array<QTcpServer *, allChannels.size()> m_listeners{};
    std::array<QList<Peer *>, allChannels.size()> m_peers;
    QList<Entry> m_entries;
    // User list connections that were sent the list; only they get later additions, or a
    // name added between their connecting and their arrival would reach them twice.
    QList<Peer *> m_listed;
    QString m_errorString;
    int m_refused = 0; // connections refused since the server became full
};
