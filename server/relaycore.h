#pragma once

#include "arrivalbudget.h"
#include "connectionend.h"
#include "protocol/channel.h"
#include "relayoutput.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <unordered_map>
#include <utility>

// The chat server's rules, apart from any socket: who is listed, under which names each
// source address may speak, join and leave, and at what pace it is heard. The network tells
// it what each connection sent and how it ended, with the time; it answers with what to
// send where, which connections to close and what to log.
class RelayCore
{
public:
    explicit RelayCore(const ServerLimits &limits = {});

    // Budgets take the limits when their address is first seen; the rest at once.
    void setLimits(const ServerLimits &limits) { m_limits = limits; }
    const ServerLimits &limits() const { return m_limits; }

    // Why that many more connections from host would be too many; empty when they would not.
    QString refusal(const QString &host, int more = 1) const;
    // A connection accepted from host; name is how the log calls it ("chat 10.0.0.5:50312").
    RelayOutput opened(ConnectionId id, Channel channel, const QString &host, const QString &name,
                       qint64 nowMs);
    // One read from a connection, taken as one whole message.
    RelayOutput arrived(ConnectionId id, const QByteArray &message, qint64 nowMs);
    RelayOutput ended(ConnectionId id, ConnectionEnd how, qint64 nowMs);
    // Takes in what waited for its budget and lets go of lines that waited for their
    // nickname; wanted at nextTickMs().
    RelayOutput tick(qint64 nowMs);
    // -1 while nothing waits.
    qint64 nextTickMs() const { return m_nextTickMs; }

    // Everyone on the list, in the order they came.
    QList<QByteArray> nicknames() const;
    int connectionCount() const { return int(m_connections.size()); }
    // Forgets every connection and entry, announcing nothing.
    void clear();

private:
    struct Connection
    {
        Channel channel;
        QString host;
        QString name;
        bool listed = false; // a user-list connection that was sent the list
        bool closing = false;
    };
    struct Entry
    {
        QByteArray nickname;
        QString key;
        QString host;
        ConnectionId userList; // the connection whose arrival made this entry
        bool joinDue = true;
    };
    // An arrival not acted on yet.
    struct Pending
    {
        ConnectionId id;
        QString who; // the connection's name, for the log
        Channel channel;
        QByteArray message;
        qint64 dueMs = 0; // for a held one: when it stops waiting for its nickname
    };
    struct Host
    {
        int connections = 0;
        QStringList keys; // of its list entries
        ArrivalBudget budget;
        QList<Pending> backlog; // over budget, in arrival order
        qint64 backlogBytes = 0;
        QList<Pending> held; // waiting for their nickname to be listed
    };
    // False when the arrival has to wait for its nickname to be listed.
    using Handler = bool (RelayCore::*)(const QString &hostName, Host &host, const Pending &);
    static const std::array<Handler, allChannels.size()> handlers;

    bool relayChat(const QString &hostName, Host &host, const Pending &arrival);
    bool addToList(const QString &hostName, Host &host, const Pending &arrival);
    bool announceJoin(const QString &hostName, Host &host, const Pending &arrival);
    bool takeOffList(const QString &hostName, Host &host, const Pending &arrival);

    RelayOutput takeOutput() { return std::exchange(m_out, {}); }
    void act(const QString &hostName, Host &host, Pending &&arrival);
    bool handle(const QString &hostName, Host &host, const Pending &arrival)
    {
        return (this->*handlers[indexOf(arrival.channel)])(hostName, host, arrival);
    }
    void releaseHeld(const QString &hostName, Host &host);
    void wake(qint64 atMs);
    void sweepHosts(qint64 nowMs);
    void pruneHost(const QString &hostName, qint64 nowMs);
    void unreachable(const QString &hostName);
    void removeEntry(qsizetype index, const QString &who, const QString &how);
    void close(ConnectionId id, const QString &reason);
    void send(ConnectionId to, const QByteArray &message) { m_out.sends.append({to, message}); }
    void broadcast(Channel channel, const QByteArray &message);
    void info(const QString &host, const QString &text) { m_out.log.append({host, text, false}); }
    void warn(const QString &host, const QString &text) { m_out.log.append({host, text, true}); }
    QByteArray cut(const QString &hostName, const QString &who, const QByteArray &nickname);
    bool speaksAsListed(const Host &host, const QByteArray &line) const;

    ServerLimits m_limits;
    std::unordered_map<ConnectionId, Connection> m_connections;
    // Open connections on each channel in the order they came, those being closed left out.
    std::array<QList<ConnectionId>, allChannels.size()> m_open;
    // Node-based, so a Host & stays valid while other addresses come.
    std::unordered_map<QString, Host> m_hosts;
    QSet<QString> m_busy; // hosts with arrivals waiting
    qint64 m_lastSweepMs = 0;
    qint64 m_nextTickMs = -1;
    qint64 m_nowMs = 0; // of the input being handled
    QList<Entry> m_entries;
    QHash<QString, int> m_keyCount; // entries listed under each name
    // User-list connections that were sent the list; only they get later additions, or a
    // name added between their connecting and their arrival would reach them twice.
    QList<ConnectionId> m_listed;
    RelayOutput m_out;
};
