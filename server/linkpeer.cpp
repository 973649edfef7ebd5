#include "linkpeer.h"

#include "kernelqueues.h"
#include "peer.h"
#include "protocol/linkframes.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace {

ConnectionEnd endOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        return ConnectionEnd::Closed;
    case QAbstractSocket::SocketTimeoutError:
        return ConnectionEnd::TimedOut;
    default:
        return ConnectionEnd::Reset;
    }
}

bool isTlsError(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::SslHandshakeFailedError ||
           error == QAbstractSocket::SslInternalError ||
           error == QAbstractSocket::SslInvalidUserDataError;
}

} // namespace

LinkPeer::LinkPeer(QSslSocket *socket, const QSslConfiguration &tls, const ServerLimits &limits,
                   QObject *parent)
    : QObject(parent), m_socket(socket), m_limits(limits),
      m_host(Peer::hostOf(socket->peerAddress())),
      m_address(m_host % u':' % QString::number(socket->peerPort()))
{
    for (ConnectionId &id : m_ids)
        id = Peer::takeId();
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSslConfiguration(tls);

    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        drop(QStringLiteral("no TLS handshake within %1 ms")
                 .arg(m_limits.handshakeDeadline.count()));
    });
    m_deadline.start(m_limits.handshakeDeadline);
    m_nicknameDeadline.setSingleShot(true);
    connect(&m_nicknameDeadline, &QTimer::timeout, this, [this] {
        drop(QStringLiteral("no nickname within %1 ms").arg(m_limits.nicknameDeadline.count()));
    });
    m_nicknameDeadline.start(m_limits.nicknameDeadline);

    connect(m_socket, &QSslSocket::encrypted, this, &LinkPeer::onEncrypted);
    connect(m_socket, &QSslSocket::readyRead, this, &LinkPeer::readFrames);
    connect(m_socket, &QSslSocket::disconnected, this,
            [this] { finish(endOf(m_socket->error())); });
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (isTlsError(error) && !m_dropping) {
            drop(QStringLiteral("TLS failed: %1").arg(m_socket->errorString()));
            return;
        }
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish(endOf(error));
    });

    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        QTimer::singleShot(0, this, [this] { finish(ConnectionEnd::Reset); });
        return;
    }
    if (!m_limits.link.applyTo(m_socket->socketDescriptor()))
        QTimer::singleShot(0, this, [this] {
            emit warning(QStringLiteral("%1: the system refused its keepalive or send timeout")
                             .arg(nameOf(Channel::Chat)));
        });
    m_socket->startServerEncryption();
}

QString LinkPeer::nameOf(Channel channel) const
{
    return QString::fromLatin1(::nameOf(channel)) % u' ' % m_address % u" tls";
}

void LinkPeer::onEncrypted()
{
    m_deadline.stop();
    m_encrypted = true;
    if (m_plainUsers >= 0)
        setPlainUsers(quint32(m_plainUsers));
    if (!m_early.isEmpty())
        m_socket->write(std::exchange(m_early, {}));
    readFrames();
}

void LinkPeer::send(Channel channel, const QByteArray &message)
{
    if (m_dropping || m_closed || message.isEmpty())
        return;
    write(LinkFrames::encode(channel, message));
}

void LinkPeer::setPlainUsers(quint32 count)
{
    m_plainUsers = count;
    if (!m_encrypted || m_dropping || m_closed || m_toldPlainUsers == m_plainUsers)
        return;
    m_toldPlainUsers = m_plainUsers;
    write(LinkFrames::encodePlainUsers(count));
}

qint64 LinkPeer::queueCost() const
{
    return m_early.size() + m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite();
}

void LinkPeer::write(const QByteArray &frame)
{
    // The link carries what four plain connections would, and may hold as much.
    const qint64 most = m_limits.maxQueuedBytes * qint64(allChannels.size());
    if (queueCost() + frame.size() > most) {
        drop(QStringLiteral("it is not reading (send queue full: %1 bytes)").arg(queueCost()));
        return;
    }
    if (m_encrypted)
        m_socket->write(frame);
    else
        m_early.append(frame);
}

void LinkPeer::readFrames()
{
    if (!m_encrypted || m_dropping)
        return;
    m_decoder.feed(m_socket->readAll());
    while (!m_dropping) {
        std::optional<LinkFrame> frame = m_decoder.next();
        if (!frame)
            break;
        m_listNamed = m_listNamed || frame->kind == FrameKind::UserList;
        m_joinNamed = m_joinNamed || frame->kind == FrameKind::Join;
        if (m_listNamed && m_joinNamed)
            m_nicknameDeadline.stop();
        emit arrived(frame->channel(), frame->payload);
    }
    if (m_decoder.error() != FrameDecoder::Error::None)
        drop(m_decoder.errorString());
}

void LinkPeer::drop(const QString &reason)
{
    if (m_dropping || m_closed)
        return;
    m_dropping = true;
    if (!reason.isEmpty())
        emit warning(QStringLiteral("%1: disconnecting, %2").arg(nameOf(Channel::Chat), reason));
    m_early.clear();
    m_deadline.stop();
    m_nicknameDeadline.stop();
    // Not from inside send(): the caller may be walking a list of connections.
    QTimer::singleShot(0, this, [this] {
        KernelQueues::resetOnClose(m_socket->socketDescriptor());
        m_socket->abort();
        finish(ConnectionEnd::Reset);
    });
}

void LinkPeer::finish(ConnectionEnd how)
{
    if (m_closed)
        return;
    m_closed = true;
    m_deadline.stop();
    m_nicknameDeadline.stop();
    if (!m_dropping && m_decoder.pendingBytes() > 0)
        emit warning(QStringLiteral("%1: ended inside a frame, %2 bytes of it came")
                         .arg(nameOf(Channel::Chat))
                         .arg(m_decoder.pendingBytes()));
    emit closed(how);
}
