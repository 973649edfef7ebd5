#include "chatserver.h"

#include "peer.h"
#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "protocol/namesearch.h"
#include "serverlog.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace std::chrono_literals;

namespace {

QString nameKey(QByteArrayView nickname)
{
    return NameSearch::key(Cp1254::decode(nickname));
}

// Why a nickname cannot go on the list; empty when it can.
QString nicknameRefusal(QByteArrayView nickname)
{
    bool blank = true;
    for (const char c : nickname) {
        const auto byte = uchar(c);
        if (byte < 0x20 || byte == 0x7f)
            return QStringLiteral("a nickname with a control character");
        blank = blank && byte == ' ';
    }
    return blank ? QStringLiteral("a blank nickname") : QString();
}

const char *whatArrived(Channel channel)
{
    return channel == Channel::Chat ? "a chat line" : "a join";
}

} // namespace

ChatServer::ChatServer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_log.setBurst(m_limits.logBurstPerHost);
    m_pace.setSingleShot(true);
    m_pace.setTimerType(Qt::PreciseTimer);
    connect(&m_pace, &QTimer::timeout, this, &ChatServer::pace);
    // glibc keeps what thousands of closed connections freed unless asked to hand it back.
    m_trim.setSingleShot(true);
    m_trim.setInterval(1s);
    connect(&m_trim, &QTimer::timeout, this, [] {
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    });
}

ChatServer::~ChatServer()
{
    close();
}

void ChatServer::setLimits(const ServerLimits &limits)
{
    m_limits = limits;
    m_log.setBurst(limits.logBurstPerHost);
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
    m_keyCount.clear();
    m_listed.clear();
    m_hosts.clear();
    m_busy.clear();
    m_pace.stop();
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

QString ChatServer::refusal(const QHostAddress &address) const
{
    if (!m_filter.admits(address))
        return QStringLiteral("not on a network allowed in");
    const auto host = m_hosts.find(Peer::hostOf(address));
    if (host != m_hosts.end() && host->second.connections >= m_limits.maxConnectionsPerHost)
        return QStringLiteral("%1 connections from this address, the most allowed")
            .arg(host->second.connections);
    return {};
}

void ChatServer::acceptConnections(Channel channel)
{
    QTcpServer *listener = m_listeners[indexOf(channel)];
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        const QString hostName = Peer::hostOf(socket->peerAddress());
        const QString refused = refusal(socket->peerAddress());
        if (!refused.isEmpty() || connectionCount() >= m_limits.maxConnections) {
            if (!refused.isEmpty())
                m_log.warning(hostName, QStringLiteral("%1 %2:%3: refused, %4")
                                            .arg(QString::fromLatin1(nameOf(channel)), hostName)
                                            .arg(socket->peerPort())
                                            .arg(refused));
            // Once per spell of being full, not once per attempt.
            else if (m_refused++ == 0)
                qCWarning(lcServer).noquote()
                    << QStringLiteral("%1 connections, the most allowed: refusing new ones")
                           .arg(m_limits.maxConnections);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (!m_hosts.contains(hostName)) {
            sweepHosts();
            m_hosts[hostName].budget = ArrivalBudget(
                m_limits.burstArrivals, m_limits.arrivalsPerSecond, m_limits.burstArrivalBytes,
                m_limits.arrivalBytesPerSecond, m_clock.elapsed());
        }
        ++m_hosts[hostName].connections;
        auto *peer = new Peer(socket, channel, m_limits, this);
        m_peers[indexOf(channel)].append(peer);
        connect(peer, &Peer::arrived, this,
                [this, peer](const QByteArray &message) { handleArrival(peer, message); });
        connect(peer, &Peer::warning, this,
                [this, peer](const QString &line) { m_log.warning(peer->host(), line); });
        connect(peer, &Peer::closed, this, [this, peer] { forget(peer); });
        m_log.info(hostName, QStringLiteral("%1: connected (%2 connections)")
                                 .arg(peer->name())
                                 .arg(connectionCount()));
    }
}

void ChatServer::sweepHosts()
{
    // A host's budget outlives its connections until it has refilled, or closing and
    // reconnecting would refill it at once.
    const qint64 now = m_clock.elapsed();
    if (now - m_lastSweepMs < 1000)
        return;
    m_lastSweepMs = now;
    for (auto it = m_hosts.begin(); it != m_hosts.end();) {
        Host &host = it->second;
        if (host.connections == 0 && host.keys.isEmpty() && host.backlog.isEmpty() &&
            host.held.isEmpty() && host.budget.isFull(now))
            it = m_hosts.erase(it);
        else
            ++it;
    }
}

void ChatServer::pruneHost(const QString &hostName)
{
    const auto it = m_hosts.find(hostName);
    if (it != m_hosts.end() && it->second.connections == 0 && it->second.keys.isEmpty() &&
        it->second.backlog.isEmpty() && it->second.held.isEmpty() &&
        it->second.budget.isFull(m_clock.elapsed())) {
        m_hosts.erase(it);
        m_busy.remove(hostName);
    }
}

void ChatServer::handleArrival(Peer *peer, const QByteArray &message)
{
    const QString hostName = peer->host();
    Host &host = m_hosts[hostName];
    Pending arrival{peer, peer->id(), peer->name(), peer->channel(), message};
    if (host.backlog.isEmpty() && host.budget.take(message.size(), m_clock.elapsed())) {
        act(hostName, host, std::move(arrival));
        return;
    }
    // Over budget: it waits its turn, unless the address has sent far more than it may.
    if (host.backlog.size() >= m_limits.maxBacklogMessages ||
        host.backlogBytes + message.size() > m_limits.maxBacklogBytes) {
        peer->drop(QStringLiteral("its address sends far beyond its budget (%1 arrivals, %2 "
                                  "bytes waiting)")
                       .arg(host.backlog.size())
                       .arg(host.backlogBytes));
        host.backlog.removeIf([&](const Pending &p) {
            if (p.peerId != peer->id())
                return false;
            host.backlogBytes -= p.message.size();
            return true;
        });
        return;
    }
    host.backlogBytes += message.size();
    host.backlog.append(std::move(arrival));
    m_busy.insert(hostName);
    wake(host.budget.wait(host.backlog.first().message.size(), m_clock.elapsed()).count());
}

void ChatServer::act(const QString &hostName, Host &host, Pending &&arrival)
{
    if (arrival.channel == Channel::Chat || arrival.channel == Channel::Join) {
        // A connection's lines keep their order: behind one that waits, the next waits too.
        const bool behind =
            std::any_of(host.held.cbegin(), host.held.cend(),
                        [&](const Pending &p) { return p.peerId == arrival.peerId; });
        if (!behind && actNow(hostName, host, arrival))
            return;
        arrival.dueMs = m_clock.elapsed() + m_limits.nameWait.count();
        host.held.append(std::move(arrival));
        m_busy.insert(hostName);
        wake(m_limits.nameWait.count());
        return;
    }
    actNow(hostName, host, arrival);
}

// False when it has to wait for its nickname to be listed.
bool ChatServer::actNow(const QString &hostName, Host &host, const Pending &arrival)
{
    switch (arrival.channel) {
    case Channel::Chat:
        // Relayed as it came, never logged; only the nickname in front is looked at.
        if (!speaksAsListed(host, arrival.message))
            return false;
        broadcast(Channel::Chat, arrival.message);
        return true;
    case Channel::UserList:
        // The nickname is the only thing a user list connection ever sends.
        if (!arrival.peer)
            return true;
        if (m_listed.contains(arrival.peer.data()))
            m_log.warning(
                hostName,
                QStringLiteral("%1: ignored an arrival after the nickname").arg(arrival.who));
        else
            addToList(arrival.peer.data(), arrival.message);
        return true;
    case Channel::Join: {
        const QByteArray nickname = cut(hostName, arrival.who, arrival.message);
        const QString key = nameKey(nickname);
        const auto entry = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &e) {
            return e.joinDue && e.host == hostName && e.key == key;
        });
        if (entry == m_entries.end())
            return false;
        entry->joinDue = false;
        m_log.info(
            hostName,
            QStringLiteral("%1: %2 joined").arg(arrival.who, printableNickname(entry->nickname)));
        broadcast(Channel::Join, joinNotice(entry->nickname));
        return true;
    }
    case Channel::Leave:
        takeOffList(hostName, arrival.who, arrival.message);
        return true;
    }
    return true;
}

void ChatServer::releaseHeld(const QString &hostName, Host &host)
{
    const qint64 now = m_clock.elapsed();
    QSet<quint64> waiting;
    for (qsizetype i = 0; i < host.held.size();) {
        const Pending &p = host.held.at(i);
        if (waiting.contains(p.peerId)) {
            ++i;
        } else if (actNow(hostName, host, p)) {
            host.held.removeAt(i);
        } else if (p.dueMs <= now) {
            m_log.warning(hostName,
                          QStringLiteral("%1: dropped %2: no nickname it names is listed from "
                                         "this address")
                              .arg(p.who, QString::fromLatin1(whatArrived(p.channel))));
            host.held.removeAt(i);
        } else {
            waiting.insert(p.peerId);
            ++i;
        }
    }
}

void ChatServer::wake(qint64 inMs)
{
    inMs = std::max<qint64>(0, inMs);
    if (!m_pace.isActive() || m_pace.remainingTime() > inMs)
        m_pace.start(std::chrono::milliseconds(inMs));
}

void ChatServer::pace()
{
    qint64 next = -1;
    const QList<QString> busy = m_busy.values();
    for (const QString &hostName : busy) {
        const auto it = m_hosts.find(hostName);
        if (it == m_hosts.end()) {
            m_busy.remove(hostName);
            continue;
        }
        Host &host = it->second;
        qint64 now = m_clock.elapsed();
        while (!host.backlog.isEmpty() &&
               host.budget.take(host.backlog.first().message.size(), now)) {
            Pending arrival = host.backlog.takeFirst();
            host.backlogBytes -= arrival.message.size();
            act(hostName, host, std::move(arrival));
        }
        releaseHeld(hostName, host);
        now = m_clock.elapsed();
        qint64 due = -1;
        if (!host.backlog.isEmpty())
            due = host.budget.wait(host.backlog.first().message.size(), now).count();
        if (!host.held.isEmpty()) {
            const qint64 heldDue = std::max<qint64>(0, host.held.first().dueMs - now);
            due = due < 0 ? heldDue : std::min(due, heldDue);
        }
        if (due < 0)
            m_busy.remove(hostName);
        else
            next = next < 0 ? due : std::min(next, due);
    }
    if (next >= 0)
        wake(std::max<qint64>(next, 1));
}

void ChatServer::addToList(Peer *peer, const QByteArray &arrival)
{
    const QByteArray nickname = cut(peer->host(), peer->name(), arrival);
    const QString refused = nicknameRefusal(nickname);
    if (!refused.isEmpty()) {
        peer->drop(QStringLiteral("%1: %2").arg(refused, printableNickname(nickname)));
        return;
    }
    Host &host = m_hosts[peer->host()];
    if (host.keys.size() >= m_limits.maxNamesPerHost) {
        peer->drop(QStringLiteral("%1 not listed: %2 names from this address already, the "
                                  "most allowed")
                       .arg(printableNickname(nickname))
                       .arg(host.keys.size()));
        return;
    }
    const QString key = nameKey(nickname);
    m_entries.append({nickname, key, peer->host(), peer});
    host.keys.append(key);
    const bool announced = m_keyCount[key]++ == 0;
    m_log.info(peer->host(),
               QStringLiteral("%1: %2 is on the list (%3 listed)%4")
                   .arg(peer->name(), printableNickname(nickname))
                   .arg(m_entries.size())
                   .arg(announced ? QString()
                                  : QStringLiteral("; an equal name already is, not announced")));
    // Every name once, so that a terminal's list never shows one user twice.
    QSet<QString> sent;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (!sent.contains(entry.key)) {
            sent.insert(entry.key);
            peer->send(entry.nickname);
        }
    }
    if (announced) {
        for (Peer *other : std::as_const(m_listed))
            other->send(nickname);
    }
    m_listed.append(peer);
    releaseHeld(peer->host(), host);
}

void ChatServer::takeOffList(const QString &hostName, const QString &who, const QByteArray &arrival)
{
    // Only a name listed from the same address: one host cannot take another's user off.
    const QByteArray nickname = cut(hostName, who, arrival);
    const QString key = nameKey(nickname);
    const auto it = std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const Entry &entry) {
        return entry.host == hostName && entry.key == key;
    });
    if (it == m_entries.cend()) {
        m_log.warning(hostName, QStringLiteral("%1: %2 left but is not on the list from this "
                                               "address; not announced")
                                    .arg(who, printableNickname(nickname)));
        return;
    }
    removeEntry(it - m_entries.cbegin(), who, QStringLiteral("left"));
}

void ChatServer::removeEntry(qsizetype index, const QString &who, const QString &how)
{
    const Entry entry = m_entries.takeAt(index);
    const auto host = m_hosts.find(entry.host);
    if (host != m_hosts.end())
        host->second.keys.removeOne(entry.key);
    // Terminals take an entry off by name: while an equal name stays listed, saying it
    // left would take that one off too.
    const bool announce = --m_keyCount[entry.key] == 0;
    if (announce)
        m_keyCount.remove(entry.key);
    m_log.info(
        entry.host,
        QStringLiteral("%1: %2 %3 (%4 listed)%5")
            .arg(who, printableNickname(entry.nickname), how)
            .arg(m_entries.size())
            .arg(announce ? QString() : QStringLiteral("; an equal name stays, not announced")));
    if (announce)
        broadcast(Channel::Leave, entry.nickname);
}

void ChatServer::forget(Peer *peer)
{
    const QString hostName = peer->host();
    m_peers[indexOf(peer->channel())].removeOne(peer);
    m_listed.removeOne(peer);
    const auto host = m_hosts.find(hostName);
    if (host != m_hosts.end())
        --host->second.connections;
    m_log.info(hostName, QStringLiteral("%1: disconnected (%2 connections)")
                             .arg(peer->name())
                             .arg(connectionCount()));
    if (m_refused > 0) {
        qCInfo(lcServer).noquote()
            << QStringLiteral("accepting connections again; %1 refused").arg(m_refused);
        m_refused = 0;
    }

    if (peer->timedOut()) {
        abandonHost(hostName, peer->name());
    } else {
        // A terminal that went away without leaving (it crashed, its program was killed)
        // must not stay on everyone's list.
        const auto it = std::find_if(m_entries.cbegin(), m_entries.cend(),
                                     [peer](const Entry &entry) { return entry.userList == peer; });
        if (it != m_entries.cend())
            removeEntry(it - m_entries.cbegin(), peer->name(),
                        QStringLiteral("gone without leaving"));
    }
    peer->disconnect(this);
    peer->deleteLater();
    pruneHost(hostName);
    if (!m_trim.isActive())
        m_trim.start();
}

void ChatServer::abandonHost(const QString &hostName, const QString &who)
{
    // A machine that stops answering on one connection cannot be there on the others, even
    // where they have not noticed yet: the idle ones would only notice later. A reset or a
    // close comes from a program that runs, and ends that connection alone.
    int others = 0;
    for (const QList<Peer *> &peers : m_peers) {
        for (Peer *other : peers) {
            if (other->host() == hostName) {
                other->drop({});
                ++others;
            }
        }
    }
    m_log.warning(hostName, QStringLiteral("%1: timed out, its machine does not answer; "
                                           "closing the %2 other connections from its address")
                                .arg(who)
                                .arg(others));
    for (qsizetype i = 0; i < m_entries.size();) {
        if (m_entries.at(i).host == hostName)
            removeEntry(i, who, QStringLiteral("timed out"));
        else
            ++i;
    }
}

void ChatServer::broadcast(Channel channel, const QByteArray &message)
{
    const QList<Peer *> peers = m_peers[indexOf(channel)];
    for (Peer *peer : peers)
        peer->send(message);
}

QByteArray ChatServer::cut(const QString &hostName, const QString &who, const QByteArray &nickname)
{
    if (nickname.size() <= m_limits.maxNicknameBytes)
        return nickname;
    // One byte per character on the wire, so cutting never splits a letter.
    m_log.warning(hostName, QStringLiteral("%1: nickname of %2 bytes cut to %3")
                                .arg(who)
                                .arg(nickname.size())
                                .arg(m_limits.maxNicknameBytes));
    return nickname.left(m_limits.maxNicknameBytes);
}

bool ChatServer::speaksAsListed(const Host &host, const QByteArray &line) const
{
    // "<NICK> text"; the nickname may itself hold "> ", so every such place is tried. A
    // nickname longer than the list keeps matches the entry it was cut to.
    if (host.keys.isEmpty() || !line.startsWith(ChatNickOpen))
        return false;
    const qsizetype end = std::min<qsizetype>(line.size(), 1024);
    for (qsizetype at = line.indexOf(ChatNickClose, 1); at > 0 && at < end;
         at = line.indexOf(ChatNickClose, at + 1)) {
        const QByteArrayView nickname = QByteArrayView(line).sliced(1, at - 1);
        if (host.keys.contains(nameKey(
                nickname.first(std::min<qsizetype>(nickname.size(), m_limits.maxNicknameBytes)))))
            return true;
    }
    return false;
}
