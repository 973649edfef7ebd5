#include "chatserver.h"

#include "peer.h"
#include "protocol/chatline.h"
#include "serverlog.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

using namespace std::chrono_literals;

ChatServer::ChatServer(QObject *parent) : QObject(parent) {}

ChatServer::~ChatServer()
{
    close();
}

bool ChatServer::listen(const QHostAddress &address)
{
    close();
    m_errorString.clear();
    const QString where =
        address == QHostAddress::Any ? QStringLiteral("all interfaces") : address.toString();
    for (const Channel channel : allChannels) {
        auto *listener = new QTcpServer(this);
        if (!listener->listen(address, portOf(channel))) {
            m_errorString = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                                .arg(where)
                                .arg(portOf(channel))
                                .arg(QString::fromLatin1(nameOf(channel)), listener->errorString());
            delete listener;
            close();
            return false;
        }
        connect(listener, &QTcpServer::newConnection, this,
                [this, channel] { acceptConnections(channel); });
        // Qt stops accepting on this port after an error until told to resume; out of
        // descriptors, retrying at once would only spin.
        connect(listener, &QTcpServer::acceptError, listener,
                [listener, channel](QAbstractSocket::SocketError error) {
                    qCWarning(lcServer).noquote()
                        << QStringLiteral("%1 port %2: cannot accept a connection: %3")
                               .arg(QString::fromLatin1(nameOf(channel)))
                               .arg(portOf(channel))
                               .arg(listener->errorString());
                    QTimer::singleShot(error == QAbstractSocket::SocketResourceError ? 1000ms
                                                                                     : 10ms,
                                       listener, &QTcpServer::resumeAccepting);
                });
        m_listeners[indexOf(channel)] = listener;
    }
    qCInfo(lcServer).noquote() << QStringLiteral("listening on %1, ports %2 (chat), %3 (user "
                                                 "list), %4 (join), %5 (leave)")
                                      .arg(where)
                                      .arg(portOf(Channel::Chat))
                                      .arg(portOf(Channel::UserList))
                                      .arg(portOf(Channel::Join))
                                      .arg(portOf(Channel::Leave));
    return true;
}

void ChatServer::close()
{
    for (QTcpServer *&listener : m_listeners) {
        delete listener;
        listener = nullptr;
    }
    for (QList<Peer *> &peers : m_peers) {
        for (Peer *peer : std::as_const(peers)) {
            peer->disconnect(this);
            delete peer;
        }
        peers.clear();
    }
    m_entries.clear();
    m_listed.clear();
    m_refused = 0;
}

QList<QByteArray> ChatServer::nicknames() const
{
    QList<QByteArray> names;
    names.reserve(m_entries.size());
    for (const Entry &entry : m_entries)
        names.append(entry.nickname);
    return names;
}

int ChatServer::connectionCount() const
{
    qsizetype count = 0;
    for (const QList<Peer *> &peers : m_peers)
        count += peers.size();
    return int(count);
}

void ChatServer::acceptConnections(Channel channel)
{
    QTcpServer *listener = m_listeners[indexOf(channel)];
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        if (connectionCount() >= m_limits.maxConnections) {
            // Once per spell of being full, not once per attempt.
            if (m_refused++ == 0)
                qCWarning(lcServer).noquote()
                    << QStringLiteral("%1 connections, the most allowed: refusing new ones")
                           .arg(m_limits.maxConnections);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *peer = new Peer(socket, channel, m_limits, this);
        m_peers[indexOf(channel)].append(peer);
        connect(peer, &Peer::arrived, this,
                [this, peer](const QByteArray &message) { handleArrival(peer, message); });
        connect(peer, &Peer::closed, this, [this, peer] { forget(peer); });
        qCInfo(lcServer).noquote() << QStringLiteral("%1: connected (%2 connections)")
                                          .arg(peer->name())
                                          .arg(connectionCount());
    }
}

void ChatServer::handleArrival(Peer *peer, const QByteArray &message)
{
    switch (peer->channel()) {
    case Channel::Chat:
        // Relayed as it came, never decoded, never logged.
        broadcast(Channel::Chat, message);
        return;
    case Channel::UserList:
        // The nickname is the only thing a user list connection ever sends.
        if (m_listed.contains(peer)) {
            qCWarning(lcServer).noquote()
                << QStringLiteral("%1: ignored an arrival after the nickname").arg(peer->name());
            return;
        }
        addToList(peer, nicknameFrom(peer, message));
        return;
    case Channel::Join: {
        const QByteArray nickname = nicknameFrom(peer, message);
        qCInfo(lcServer).noquote()
            << QStringLiteral("%1: %2 joined").arg(peer->name(), printableNickname(nickname));
        broadcast(Channel::Join, joinNotice(nickname));
        return;
    }
    case Channel::Leave:
        takeOffList(peer, nicknameFrom(peer, message));
        return;
    }
}

void ChatServer::addToList(Peer *peer, const QByteArray &nickname)
{
    m_entries.append({nickname, peer});
    qCInfo(lcServer).noquote() << QStringLiteral("%1: %2 is on the list (%3 listed)")
                                      .arg(peer->name(), printableNickname(nickname))
                                      .arg(m_entries.size());
    for (const Entry &entry : std::as_const(m_entries))
        peer->send(entry.nickname);
    for (Peer *other : std::as_const(m_listed))
        other->send(nickname);
    m_listed.append(peer);
}

void ChatServer::takeOffList(Peer *peer, const QByteArray &nickname)
{
    // A terminal's four connections come from one address; preferring that address keeps
    // one host from taking another's user off the list. With two entries of the same name
    // from the same host either will do: only one goes.
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &entry) {
        return entry.nickname == nickname &&
               entry.userList->address().isEqual(peer->address(), QHostAddress::TolerantConversion);
    });
    if (it == m_entries.end()) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("%1: %2 left but is not on the list; not announced")
                   .arg(peer->name(), printableNickname(nickname));
        return;
    }
    m_entries.erase(it);
    qCInfo(lcServer).noquote() << QStringLiteral("%1: %2 left (%3 listed)")
                                      .arg(peer->name(), printableNickname(nickname))
                                      .arg(m_entries.size());
    broadcast(Channel::Leave, nickname);
}

void ChatServer::forget(Peer *peer)
{
    m_peers[indexOf(peer->channel())].removeOne(peer);
    m_listed.removeOne(peer);
    qCInfo(lcServer).noquote() << QStringLiteral("%1: disconnected (%2 connections)")
                                      .arg(peer->name())
                                      .arg(connectionCount());
    if (m_refused > 0) {
        qCInfo(lcServer).noquote()
            << QStringLiteral("accepting connections again; %1 refused").arg(m_refused);
        m_refused = 0;
    }

    // A terminal that went away without leaving (it crashed, its network went down) must
    // not stay on everyone's list.
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [peer](const Entry &entry) { return entry.userList == peer; });
    if (it != m_entries.end()) {
        const QByteArray nickname = it->nickname;
        m_entries.erase(it);
        qCInfo(lcServer).noquote() << QStringLiteral("%1: %2 gone without leaving (%3 listed)")
                                          .arg(peer->name(), printableNickname(nickname))
                                          .arg(m_entries.size());
        broadcast(Channel::Leave, nickname);
    }
    peer->disconnect(this);
    peer->deleteLater();
}

void ChatServer::broadcast(Channel channel, const QByteArray &message)
{
    const QList<Peer *> peers = m_peers[indexOf(channel)];
    for (Peer *peer : peers)
        peer->send(message);
}

QByteArray ChatServer::nicknameFrom(const Peer *peer, const QByteArray &arrival) const
{
    if (arrival.size() <= m_limits.maxNicknameBytes)
        return arrival;
    // One byte per character on the wire, so cutting never splits a letter.
    qCWarning(lcServer).noquote() << QStringLiteral("%1: nickname of %2 bytes cut to %3")
                                         .arg(peer->name())
                                         .arg(arrival.size())
                                         .arg(m_limits.maxNicknameBytes);
    return arrival.left(m_limits.maxNicknameBytes);
}
