#pragma once

#include "arrivalbudget.h"
#include "hostlog.h"
#include "protocol/channel.h"
#include "serverlimits.h"
#include "sourcefilter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <array>
#include <unordered_map>

class Peer;
class QTcpServer;

// The chat server: relays chat lines, keeps the list of who is online and sends join and
// leave notices, each on its own port. Whatever one source address sends is paced by its
// budget, and it speaks, joins and leaves only under nicknames it listed itself.
class ChatServer : public QObject
{
    Q_OBJECT

public:
    explicit ChatServer(QObject *parent = nullptr);
    ~ChatServer() override;

    // Applies to connections accepted from then on.
    void setLimits(const ServerLimits &limits);
    const ServerLimits &limits() const { return m_limits; }
    // Replaces the networks whose hosts may connect.
    void setAllowed(const QList<SourceFilter::Subnet> &subnets) { m_filter.setAllowed(subnets); }

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
        QString key;
        QString host;
        Peer *userList; // the connection whose arrival made this entry
        bool joinDue = true;
    };
    // An arrival taken off the wire but not acted on yet.
    struct Pending
    {
        QPointer<Peer> peer;
        quint64 peerId;
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

    void acceptConnections(Channel channel);
    QString refusal(const QHostAddress &address) const;
    void sweepHosts();
    void handleArrival(Peer *peer, const QByteArray &message);
    void act(const QString &hostName, Host &host, Pending &&arrival);
    bool actNow(const QString &hostName, Host &host, const Pending &arrival);
    void releaseHeld(const QString &hostName, Host &host);
    void wake(qint64 inMs);
    void pace();
    void addToList(Peer *peer, const QByteArray &arrival);
    void takeOffList(const QString &hostName, const QString &who, const QByteArray &arrival);
    void removeEntry(qsizetype index, const QString &who, const QString &how);
    void forget(Peer *peer);
    void abandonHost(const QString &hostName, const QString &who);
    void pruneHost(const QString &hostName);
    void broadcast(Channel channel, const QByteArray &message);
    QByteArray cut(const QString &hostName, const QString &who, const QByteArray &nickname);
    bool speaksAsListed(const Host &host, const QByteArray &line) const;

    ServerLimits m_limits;
    SourceFilter m_filter;
    HostLog m_log;
    std::array<QTcpServer *, allChannels.size()> m_listeners{};
    std::array<QList<Peer *>, allChannels.size()> m_peers;
    // Not a QHash: an arrival's handling holds its host across calls that may add another,
    // and a rehash would leave that reference dangling.
    std::unordered_map<QString, Host> m_hosts;
    QSet<QString> m_busy; // hosts with arrivals waiting
    qint64 m_lastSweepMs = 0;
    QList<Entry> m_entries;
    QHash<QString, int> m_keyCount; // entries listed under each name
    // User list connections that were sent the list; only they get later additions, or a
    // name added between their connecting and their arrival would reach them twice.
    QList<Peer *> m_listed;
    QElapsedTimer m_clock;
    QTimer m_pace;
    QTimer m_trim;
    QString m_errorString;
    int m_refused = 0; // connections refused since the server became full
};
