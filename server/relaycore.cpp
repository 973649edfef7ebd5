#include "relaycore.h"

#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "protocol/namesearch.h"
#include "serverlog.h"

#include <algorithm>

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

// In the order of Channel.
const std::array<RelayCore::Handler, allChannels.size()> RelayCore::handlers = {
    &RelayCore::relayChat, &RelayCore::addToList, &RelayCore::announceJoin,
    &RelayCore::takeOffList};

RelayCore::RelayCore(const ServerLimits &limits) : m_limits(limits) {}

QString RelayCore::refusal(const QString &host, int more) const
{
    const auto it = m_hosts.find(host);
    const int connections = it != m_hosts.cend() ? it->second.connections : 0;
    if (connections + more > m_limits.maxConnectionsPerHost)
        return QStringLiteral("%1 connections from this address, %2 allowed")
            .arg(connections + more)
            .arg(m_limits.maxConnectionsPerHost);
    return {};
}

RelayOutput RelayCore::opened(ConnectionId id, Channel channel, const QString &host,
                              const QString &name, qint64 nowMs)
{
    m_nowMs = nowMs;
    auto it = m_hosts.find(host);
    if (it == m_hosts.end()) {
        sweepHosts(nowMs);
        it = m_hosts.emplace(host, Host{}).first;
        it->second.budget =
            ArrivalBudget(m_limits.burstArrivals, m_limits.arrivalsPerSecond,
                          m_limits.burstArrivalBytes, m_limits.arrivalBytesPerSecond, nowMs);
    }
    ++it->second.connections;
    m_connections.insert_or_assign(id, Connection{channel, host, name});
    m_open[indexOf(channel)].append(id);
    info(host, QStringLiteral("%1: connected (%2 connections)").arg(name).arg(connectionCount()));
    return takeOutput();
}

RelayOutput RelayCore::arrived(ConnectionId id, const QByteArray &message, qint64 nowMs)
{
    m_nowMs = nowMs;
    const auto connection = m_connections.find(id);
    if (connection == m_connections.end() || connection->second.closing)
        return {};
    const QString hostName = connection->second.host;
    Host &host = m_hosts[hostName];
    Pending arrival{id, connection->second.name, connection->second.channel, message};
    if (host.backlog.isEmpty() && host.budget.take(message.size(), nowMs)) {
        act(hostName, host, std::move(arrival));
        return takeOutput();
    }
    // Over budget: it waits its turn, unless the address has sent far more than it may.
    if (host.backlog.size() >= m_limits.maxBacklogMessages ||
        host.backlogBytes + message.size() > m_limits.maxBacklogBytes) {
        close(id, QStringLiteral("its address sends far beyond its budget (%1 arrivals, %2 "
                                 "bytes waiting)")
                      .arg(host.backlog.size())
                      .arg(host.backlogBytes));
        host.backlog.removeIf([&](const Pending &p) {
            if (p.id != id)
                return false;
            host.backlogBytes -= p.message.size();
            return true;
        });
        return takeOutput();
    }
    host.backlogBytes += message.size();
    host.backlog.append(std::move(arrival));
    m_busy.insert(hostName);
    wake(nowMs + host.budget.wait(host.backlog.first().message.size(), nowMs).count());
    return takeOutput();
}

RelayOutput RelayCore::ended(ConnectionId id, ConnectionEnd how, qint64 nowMs)
{
    m_nowMs = nowMs;
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return {};
    const Connection connection = std::move(it->second);
    m_connections.erase(it);
    m_open[indexOf(connection.channel)].removeOne(id);
    m_listed.removeOne(id);
    const auto host = m_hosts.find(connection.host);
    if (host != m_hosts.end())
        --host->second.connections;

    if (how == ConnectionEnd::TimedOut) {
        warn(connection.host, QStringLiteral("%1: timed out, its machine is unreachable (%2 "
                                             "connections)")
                                  .arg(connection.name)
                                  .arg(connectionCount()));
        unreachable(connection.host);
    } else {
        info(connection.host, QStringLiteral("%1: disconnected (%2 connections)")
                                  .arg(connection.name)
                                  .arg(connectionCount()));
        // A terminal that went away without leaving (it crashed, its network went down)
        // must not stay on everyone's list.
        const auto entry = std::find_if(m_entries.cbegin(), m_entries.cend(),
                                        [id](const Entry &e) { return e.userList == id; });
        if (entry != m_entries.cend())
            removeEntry(entry - m_entries.cbegin(), connection.name,
                        QStringLiteral("gone without leaving"));
    }
    pruneHost(connection.host, nowMs);
    return takeOutput();
}

void RelayCore::unreachable(const QString &hostName)
{
    // Its other connections will not answer either; waiting for their own timeouts would
    // keep its names listed for as long again.
    for (const Channel channel : allChannels) {
        const QList<ConnectionId> open = m_open[indexOf(channel)];
        for (const ConnectionId id : open) {
            const auto it = m_connections.find(id);
            if (it != m_connections.end() && it->second.host == hostName)
                close(id, QStringLiteral("another connection from its address timed out"));
        }
    }
    for (qsizetype i = 0; i < m_entries.size();) {
        if (m_entries.at(i).host == hostName)
            removeEntry(i, hostName, QStringLiteral("timed out"));
        else
            ++i;
    }
    const auto host = m_hosts.find(hostName);
    if (host != m_hosts.end()) {
        host->second.backlog.clear();
        host->second.backlogBytes = 0;
        host->second.held.clear();
    }
}

RelayOutput RelayCore::tick(qint64 nowMs)
{
    m_nowMs = nowMs;
    m_nextTickMs = -1;
    qint64 next = -1;
    const QList<QString> busy = m_busy.values();
    for (const QString &hostName : busy) {
        const auto it = m_hosts.find(hostName);
        if (it == m_hosts.end()) {
            m_busy.remove(hostName);
            continue;
        }
        Host &host = it->second;
        while (!host.backlog.isEmpty() &&
               host.budget.take(host.backlog.first().message.size(), nowMs)) {
            Pending arrival = host.backlog.takeFirst();
            host.backlogBytes -= arrival.message.size();
            act(hostName, host, std::move(arrival));
        }
        releaseHeld(hostName, host);
        qint64 due = -1;
        if (!host.backlog.isEmpty())
            due = host.budget.wait(host.backlog.first().message.size(), nowMs).count();
        if (!host.held.isEmpty()) {
            const qint64 heldDue = std::max<qint64>(0, host.held.first().dueMs - nowMs);
            due = due < 0 ? heldDue : std::min(due, heldDue);
        }
        if (due < 0)
            m_busy.remove(hostName);
        else
            next = next < 0 ? due : std::min(next, due);
    }
    // Never at once again: whatever is due now has been taken.
    if (next >= 0)
        wake(nowMs + std::max<qint64>(next, 1));
    return takeOutput();
}

QList<QByteArray> RelayCore::nicknames() const
{
    QList<QByteArray> names;
    names.reserve(m_entries.size());
    for (const Entry &entry : m_entries)
        names.append(entry.nickname);
    return names;
}

void RelayCore::clear()
{
    m_connections.clear();
    for (QList<ConnectionId> &open : m_open)
        open.clear();
    m_hosts.clear();
    m_busy.clear();
    m_nextTickMs = -1;
    m_entries.clear();
    m_keyCount.clear();
    m_listed.clear();
    m_out = {};
}

void RelayCore::act(const QString &hostName, Host &host, Pending &&arrival)
{
    // A connection's lines keep their order: behind one that waits, the next waits too.
    const bool behind = std::any_of(host.held.cbegin(), host.held.cend(),
                                    [&](const Pending &p) { return p.id == arrival.id; });
    if (!behind && handle(hostName, host, arrival))
        return;
    arrival.dueMs = m_nowMs + m_limits.nameWait.count();
    wake(arrival.dueMs);
    host.held.append(std::move(arrival));
    m_busy.insert(hostName);
}

bool RelayCore::relayChat(const QString &, Host &host, const Pending &arrival)
{
    // Relayed as it came, never logged; only the nickname in front is looked at.
    if (!speaksAsListed(host, arrival.message))
        return false;
    broadcast(Channel::Chat, arrival.message);
    return true;
}

bool RelayCore::addToList(const QString &hostName, Host &host, const Pending &arrival)
{
    // The nickname is the only thing a user-list connection ever sends.
    const auto connection = m_connections.find(arrival.id);
    if (connection == m_connections.end() || connection->second.closing)
        return true;
    if (connection->second.listed) {
        warn(hostName,
             QStringLiteral("%1: ignored an arrival after the nickname").arg(arrival.who));
        return true;
    }
    const QByteArray nickname = cut(hostName, arrival.who, arrival.message);
    const QString refused = nicknameRefusal(nickname);
    if (!refused.isEmpty()) {
        close(arrival.id, QStringLiteral("%1: %2").arg(refused, printableNickname(nickname)));
        return true;
    }
    if (host.keys.size() >= m_limits.maxNamesPerHost) {
        close(arrival.id, QStringLiteral("%1 not listed: %2 names from this address already, the "
                                         "most allowed")
                              .arg(printableNickname(nickname))
                              .arg(host.keys.size()));
        return true;
    }
    const QString key = nameKey(nickname);
    m_entries.append({nickname, key, hostName, arrival.id});
    host.keys.append(key);
    const bool announced = m_keyCount[key]++ == 0;
    info(hostName,
         QStringLiteral("%1: %2 is on the list (%3 listed)%4")
             .arg(arrival.who, printableNickname(nickname))
             .arg(m_entries.size())
             .arg(announced ? QString()
                            : QStringLiteral("; an equal name already is, not announced")));
    // Every name once, so that a terminal's list never shows one user twice.
    QSet<QString> sent;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (!sent.contains(entry.key)) {
            sent.insert(entry.key);
            send(arrival.id, entry.nickname);
        }
    }
    if (announced) {
        for (const ConnectionId other : std::as_const(m_listed))
            send(other, nickname);
    }
    m_listed.append(arrival.id);
    connection->second.listed = true;
    releaseHeld(hostName, host);
    return true;
}

bool RelayCore::announceJoin(const QString &hostName, Host &, const Pending &arrival)
{
    const QByteArray nickname = cut(hostName, arrival.who, arrival.message);
    const QString key = nameKey(nickname);
    const auto entry = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &e) {
        return e.joinDue && e.host == hostName && e.key == key;
    });
    if (entry == m_entries.end())
        return false;
    entry->joinDue = false;
    info(hostName,
         QStringLiteral("%1: %2 joined").arg(arrival.who, printableNickname(entry->nickname)));
    broadcast(Channel::Join, joinNotice(entry->nickname));
    return true;
}

bool RelayCore::takeOffList(const QString &hostName, Host &, const Pending &arrival)
{
    // Only a name listed from the same address: one host cannot take another's user off.
    const QByteArray nickname = cut(hostName, arrival.who, arrival.message);
    const QString key = nameKey(nickname);
    const auto it = std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const Entry &entry) {
        return entry.host == hostName && entry.key == key;
    });
    if (it == m_entries.cend())
        warn(hostName, QStringLiteral("%1: %2 left but is not on the list from this address; "
                                      "not announced")
                           .arg(arrival.who, printableNickname(nickname)));
    else
        removeEntry(it - m_entries.cbegin(), arrival.who, QStringLiteral("left"));
    return true;
}

void RelayCore::releaseHeld(const QString &hostName, Host &host)
{
    QSet<ConnectionId> waiting;
    for (qsizetype i = 0; i < host.held.size();) {
        const Pending &p = host.held.at(i);
        if (waiting.contains(p.id)) {
            ++i;
        } else if (handle(hostName, host, p)) {
            host.held.removeAt(i);
        } else if (p.dueMs <= m_nowMs) {
            warn(hostName, QStringLiteral("%1: dropped %2: no nickname it names is listed from "
                                          "this address")
                               .arg(p.who, QString::fromLatin1(whatArrived(p.channel))));
            host.held.removeAt(i);
        } else {
            waiting.insert(p.id);
            ++i;
        }
    }
}

void RelayCore::wake(qint64 atMs)
{
    if (m_nextTickMs < 0 || atMs < m_nextTickMs)
        m_nextTickMs = atMs;
}

void RelayCore::sweepHosts(qint64 nowMs)
{
    // A host's budget outlives its connections until it has refilled, or closing and
    // reconnecting would refill it at once.
    if (nowMs - m_lastSweepMs < 1000)
        return;
    m_lastSweepMs = nowMs;
    for (auto it = m_hosts.begin(); it != m_hosts.end();) {
        Host &host = it->second;
        if (host.connections == 0 && host.keys.isEmpty() && host.backlog.isEmpty() &&
            host.held.isEmpty() && host.budget.isFull(nowMs))
            it = m_hosts.erase(it);
        else
            ++it;
    }
}

void RelayCore::pruneHost(const QString &hostName, qint64 nowMs)
{
    const auto it = m_hosts.find(hostName);
    if (it == m_hosts.end())
        return;
    Host &host = it->second;
    if (host.connections == 0 && host.keys.isEmpty() && host.backlog.isEmpty() &&
        host.held.isEmpty() && host.budget.isFull(nowMs)) {
        m_hosts.erase(it);
        m_busy.remove(hostName);
    }
}

void RelayCore::removeEntry(qsizetype index, const QString &who, const QString &how)
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
    info(entry.host,
         QStringLiteral("%1: %2 %3 (%4 listed)%5")
             .arg(who, printableNickname(entry.nickname), how)
             .arg(m_entries.size())
             .arg(announce ? QString() : QStringLiteral("; an equal name stays, not announced")));
    if (announce)
        broadcast(Channel::Leave, entry.nickname);
}

void RelayCore::close(ConnectionId id, const QString &reason)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end() || it->second.closing)
        return;
    it->second.closing = true;
    m_open[indexOf(it->second.channel)].removeOne(id);
    m_listed.removeOne(id);
    m_out.closes.append({id, reason});
}

void RelayCore::broadcast(Channel channel, const QByteArray &message)
{
    for (const ConnectionId id : std::as_const(m_open[indexOf(channel)]))
        send(id, message);
}

QByteArray RelayCore::cut(const QString &hostName, const QString &who, const QByteArray &nickname)
{
    if (nickname.size() <= m_limits.maxNicknameBytes)
        return nickname;
    // One byte per character on the wire, so cutting never splits a letter.
    warn(hostName, QStringLiteral("%1: nickname of %2 bytes cut to %3")
                       .arg(who)
                       .arg(nickname.size())
                       .arg(m_limits.maxNicknameBytes));
    return nickname.left(m_limits.maxNicknameBytes);
}

bool RelayCore::speaksAsListed(const Host &host, const QByteArray &line) const
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
