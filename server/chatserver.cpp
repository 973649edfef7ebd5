#include "chatserver.h"

#include "peer.h"
#include "serverlog.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace std::chrono_literals;

ChatServer::ChatServer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_log.setBurst(m_limits.logBurstPerHost);
    m_pace.setSingleShot(true);
    m_pace.setTimerType(Qt::PreciseTimer);
    connect(&m_pace, &QTimer::timeout, this, &ChatServer::tick);
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
    m_core.setLimits(limits);
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
        listener->setListenBacklogSize(m_limits.listenBacklog);
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
    for (Peer *peer : std::as_const(m_peers)) {
        peer->disconnect(this);
        delete peer;
    }
    m_peers.clear();
    m_core.clear();
    m_pace.stop();
    m_refused = 0;
}

QString ChatServer::refusal(const QHostAddress &address) const
{
    if (!m_filter.admits(address))
        return QStringLiteral("not on a network allowed in");
    return m_core.refusal(Peer::hostOf(address));
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
        auto *peer = new Peer(socket, channel, m_limits, this, &m_pacer);
        m_peers.insert(peer->id(), peer);
        connect(peer, &Peer::arrived, this, [this, peer](const QByteArray &message) {
            apply(m_core.arrived(peer->id(), message, m_clock.elapsed()));
        });
        connect(peer, &Peer::warning, this,
                [this, peer](const QString &line) { m_log.warning(peer->host(), line); });
        connect(peer, &Peer::closed, this, [this, peer](ConnectionEnd how) { forget(peer, how); });
        apply(m_core.opened(peer->id(), channel, hostName, peer->name(), m_clock.elapsed()));
    }
}

void ChatServer::forget(Peer *peer, ConnectionEnd how)
{
    m_peers.remove(peer->id());
    peer->disconnect(this);
    peer->deleteLater();
    if (m_refused > 0) {
        qCInfo(lcServer).noquote()
            << QStringLiteral("accepting connections again; %1 refused").arg(m_refused);
        m_refused = 0;
    }
    apply(m_core.ended(peer->id(), how, m_clock.elapsed()));
    if (!m_trim.isActive())
        m_trim.start();
}

void ChatServer::tick()
{
    apply(m_core.tick(m_clock.elapsed()));
}

void ChatServer::apply(const RelayOutput &output)
{
    for (const RelayOutput::LogLine &line : output.log) {
        if (line.warning)
            m_log.warning(line.host, line.text);
        else
            m_log.info(line.host, line.text);
    }
    for (const RelayOutput::Send &send : output.sends) {
        if (Peer *peer = m_peers.value(send.to))
            peer->send(send.message);
    }
    for (const RelayOutput::Close &close : output.closes) {
        if (Peer *peer = m_peers.value(close.id))
            peer->drop(close.reason);
    }
    const qint64 due = m_core.nextTickMs();
    if (due < 0)
        return;
    const auto in = std::chrono::milliseconds(std::max<qint64>(0, due - m_clock.elapsed()));
    if (!m_pace.isActive() || m_pace.remainingTimeAsDuration() > in)
        m_pace.start(in);
}
