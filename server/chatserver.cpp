#include "chatserver.h"

#include "linklistener.h"
#include "linkpeer.h"
#include "peer.h"
#include "protocol/linkframes.h"
#include "serveridentity.h"
#include "serverlog.h"

#include <QSslSocket>
#include <QStringList>
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

void ChatServer::setIdentity(const ServerIdentity &identity)
{
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.setProtocol(QSsl::TlsV1_3OrLater);
    m_tls.setLocalCertificateChain(QList<QSslCertificate>{identity.certificate()} +
                                   identity.chain());
    m_tls.setPrivateKey(identity.key());
    m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
}

bool ChatServer::listenOn(QTcpServer *listener, const QHostAddress &address, quint16 port,
                          const QString &what)
{
    listener->setListenBacklogSize(m_limits.listenBacklog);
    if (!listener->listen(address, port)) {
        m_errorString = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                            .arg(address == QHostAddress::Any ? QStringLiteral("all interfaces")
                                                              : address.toString())
                            .arg(port)
                            .arg(what, listener->errorString());
        return false;
    }
    // Qt stops accepting on this port after an error until told to resume; out of
    // descriptors, retrying at once would only spin.
    connect(listener, &QTcpServer::acceptError, listener,
            [listener, port, what](QAbstractSocket::SocketError error) {
                qCWarning(lcServer).noquote()
                    << QStringLiteral("%1 port %2: cannot accept a connection: %3")
                           .arg(what)
                           .arg(port)
                           .arg(listener->errorString());
                QTimer::singleShot(error == QAbstractSocket::SocketResourceError ? 1000ms : 10ms,
                                   listener, &QTcpServer::resumeAccepting);
            });
    return true;
}

bool ChatServer::listen(const QHostAddress &address)
{
    close();
    m_errorString.clear();
    const bool linked = !m_tls.localCertificate().isNull();
    if (!linked && m_plainRefused) {
        m_errorString = QStringLiteral("no port to listen on: plain connections are refused and "
                                       "there is no certificate for the encrypted link");
        return false;
    }
    QStringList ports;
    if (!m_plainRefused) {
        for (const Channel channel : allChannels) {
            auto *listener = new QTcpServer(this);
            m_listeners[indexOf(channel)] = listener;
            if (!listenOn(listener, address, portOf(channel),
                          QString::fromLatin1(nameOf(channel)))) {
                close();
                return false;
            }
            connect(listener, &QTcpServer::newConnection, this,
                    [this, channel] { acceptConnections(channel); });
        }
        ports << QStringLiteral("%1 (chat)").arg(portOf(Channel::Chat))
              << QStringLiteral("%1 (user list)").arg(portOf(Channel::UserList))
              << QStringLiteral("%1 (join)").arg(portOf(Channel::Join))
              << QStringLiteral("%1 (leave)").arg(portOf(Channel::Leave));
    }
    if (linked) {
        m_linkListener = new LinkListener(this);
        if (!listenOn(m_linkListener, address, LinkPort, QStringLiteral("encrypted link"))) {
            close();
            return false;
        }
        connect(m_linkListener, &QTcpServer::newConnection, this, &ChatServer::acceptLinks);
        ports << QStringLiteral("%1 (encrypted link)").arg(LinkPort);
    }
    qCInfo(lcServer).noquote() << QStringLiteral("listening on %1, ports %2%3")
                                      .arg(address == QHostAddress::Any
                                               ? QStringLiteral("all interfaces")
                                               : address.toString(),
                                           ports.join(QStringLiteral(", ")),
                                           m_plainRefused
                                               ? QStringLiteral("; plain connections refused")
                                               : QString());
    return true;
}

void ChatServer::close()
{
    for (QTcpServer *&listener : m_listeners) {
        delete listener;
        listener = nullptr;
    }
    delete std::exchange(m_linkListener, nullptr);
    for (Peer *peer : std::as_const(m_peers)) {
        peer->disconnect(this);
        delete peer;
    }
    m_peers.clear();
    for (LinkPeer *link : std::as_const(m_links)) {
        link->disconnect(this);
        delete link;
    }
    m_links.clear();
    m_linkChannels.clear();
    m_plainReaders = 0;
    m_core.clear();
    m_pace.stop();
    m_refused = 0;
}

QString ChatServer::refusal(const QHostAddress &address, int taking) const
{
    if (!m_filter.admits(address))
        return QStringLiteral("not on a network allowed in");
    return m_core.refusal(Peer::hostOf(address), taking);
}

bool ChatServer::admit(QAbstractSocket *socket, const QString &what, int taking)
{
    const QString refused = refusal(socket->peerAddress(), taking);
    if (refused.isEmpty() && connectionCount() + taking <= m_limits.maxConnections)
        return true;
    const QString hostName = Peer::hostOf(socket->peerAddress());
    if (!refused.isEmpty())
        m_log.warning(hostName, QStringLiteral("%1 %2:%3: refused, %4")
                                    .arg(what, hostName)
                                    .arg(socket->peerPort())
                                    .arg(refused));
    // Once per spell of being full, not once per attempt.
    else if (m_refused++ == 0)
        qCWarning(lcServer).noquote()
            << QStringLiteral("%1 connections, the most allowed: refusing new ones")
                   .arg(m_limits.maxConnections);
    socket->abort();
    socket->deleteLater();
    return false;
}

void ChatServer::acceptConnections(Channel channel)
{
    QTcpServer *listener = m_listeners[indexOf(channel)];
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        if (!admit(socket, QString::fromLatin1(nameOf(channel)), 1))
            continue;
        const QString hostName = Peer::hostOf(socket->peerAddress());
        auto *peer = new Peer(socket, channel, m_limits, this, &m_pacer);
        m_peers.insert(peer->id(), peer);
        connect(peer, &Peer::arrived, this, [this, peer](const QByteArray &message) {
            apply(m_core.arrived(peer->id(), message, m_clock.elapsed()));
        });
        connect(peer, &Peer::warning, this,
                [this, peer](const QString &line) { m_log.warning(peer->host(), line); });
        connect(peer, &Peer::closed, this, [this, peer](ConnectionEnd how) { forget(peer, how); });
        apply(m_core.opened(peer->id(), channel, hostName, peer->name(), m_clock.elapsed()));
        if (channel == Channel::Chat)
            countPlainReaders(+1);
    }
}

void ChatServer::acceptLinks()
{
    constexpr int taking = int(allChannels.size());
    while (auto *socket = qobject_cast<QSslSocket *>(m_linkListener->nextPendingConnection())) {
        if (!admit(socket, QStringLiteral("link"), taking))
            continue;
        auto *link = new LinkPeer(socket, m_tls, m_limits, this);
        m_links.append(link);
        for (const Channel channel : allChannels)
            m_linkChannels.insert(link->idOf(channel), {link, channel});
        connect(link, &LinkPeer::arrived, this,
                [this, link](Channel channel, const QByteArray &message) {
                    apply(m_core.arrived(link->idOf(channel), message, m_clock.elapsed()));
                });
        connect(link, &LinkPeer::warning, this,
                [this, link](const QString &line) { m_log.warning(link->host(), line); });
        connect(link, &LinkPeer::closed, this,
                [this, link](ConnectionEnd how) { forgetLink(link, how); });
        link->setPlainUsers(quint32(m_plainReaders));
        for (const Channel channel : allChannels)
            apply(m_core.opened(link->idOf(channel), channel, link->host(), link->nameOf(channel),
                                m_clock.elapsed()));
    }
}

void ChatServer::countPlainReaders(int change)
{
    m_plainReaders += change;
    for (LinkPeer *link : std::as_const(m_links))
        link->setPlainUsers(quint32(m_plainReaders));
}

void ChatServer::forget(Peer *peer, ConnectionEnd how)
{
    m_peers.remove(peer->id());
    peer->disconnect(this);
    peer->deleteLater();
    if (peer->channel() == Channel::Chat)
        countPlainReaders(-1);
    roomAgain();
    apply(m_core.ended(peer->id(), how, m_clock.elapsed()));
    if (!m_trim.isActive())
        m_trim.start();
}

void ChatServer::forgetLink(LinkPeer *link, ConnectionEnd how)
{
    m_links.removeOne(link);
    for (const Channel channel : allChannels)
        m_linkChannels.remove(link->idOf(channel));
    link->disconnect(this);
    link->deleteLater();
    roomAgain();
    for (const Channel channel : allChannels)
        apply(m_core.ended(link->idOf(channel), how, m_clock.elapsed()));
    if (!m_trim.isActive())
        m_trim.start();
}

void ChatServer::roomAgain()
{
    if (m_refused > 0) {
        qCInfo(lcServer).noquote()
            << QStringLiteral("accepting connections again; %1 refused").arg(m_refused);
        m_refused = 0;
    }
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
        else if (const auto it = m_linkChannels.constFind(send.to); it != m_linkChannels.cend())
            it->link->send(it->channel, send.message);
    }
    // A link's channels close together: a terminal takes one channel failing as all failing.
    for (const RelayOutput::Close &close : output.closes) {
        if (Peer *peer = m_peers.value(close.id))
            peer->drop(close.reason);
        else if (const auto it = m_linkChannels.constFind(close.id); it != m_linkChannels.cend())
            it->link->drop(close.reason);
    }
    const qint64 due = m_core.nextTickMs();
    if (due < 0)
        return;
    const auto in = std::chrono::milliseconds(std::max<qint64>(0, due - m_clock.elapsed()));
    if (!m_pace.isActive() || m_pace.remainingTimeAsDuration() > in)
        m_pace.start(in);
}
