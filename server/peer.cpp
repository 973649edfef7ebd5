#include "peer.h"

#include "kernelqueues.h"
#include "peerpacer.h"

#include <QTcpSocket>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// Waiting on the kernel is polled at a quarter of the time waited so far, within these: a
// prompt acknowledgement is seen at once, and thousands of connections to a vanished network
// cost little until their send timeout ends them.
constexpr auto minPollInterval = 1ms;
constexpr auto maxPollInterval = 200ms;
// What a queued message costs beside its bytes: its place in the queue and the heap
// block header of its data.
constexpr qint64 queueEntryCost = 64;

quint64 nextPeerId = 0;

ConnectionEnd endOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        return ConnectionEnd::Closed;
    case QAbstractSocket::SocketTimeoutError:
        // The kernel's ETIMEDOUT: the keepalive probes or the send timeout ran out.
        return ConnectionEnd::TimedOut;
    default:
        return ConnectionEnd::Reset;
    }
}

} // namespace

quint64 Peer::takeId()
{
    return ++nextPeerId;
}

QString Peer::hostOf(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

Peer::Peer(QTcpSocket *socket, Channel channel, const ServerLimits &limits, QObject *parent,
           PeerPacer *pacer)
    : QObject(parent), m_socket(socket), m_channel(channel), m_limits(limits), m_id(takeId()),
      m_host(hostOf(socket->peerAddress())),
      m_name(QString::fromLatin1(nameOf(channel)) % u' ' % m_host % u':' %
             QString::number(socket->peerPort()))
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bounds what one read can hold, and so what an oversized arrival costs us.
    m_socket->setReadBufferSize(qint64(m_limits.maxArrivalBytes) + 1);
    m_kernel = {KernelQueues::unacknowledged, KernelQueues::unsent};

    m_pacer = pacer ? pacer : new PeerPacer(this);
    // A connection that should say who it is and does not only takes a slot.
    if (channel == Channel::UserList || channel == Channel::Join) {
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, [this] {
            drop(QStringLiteral("no nickname within %1 ms").arg(m_limits.nicknameDeadline.count()));
        });
        m_deadline.start(m_limits.nicknameDeadline);
    }

    connect(m_socket, &QTcpSocket::readyRead, this, &Peer::readArrivals);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Peer::onBytesWritten);
    // Qt reports the error first, still connected, then the disconnection.
    connect(m_socket, &QTcpSocket::disconnected, this,
            [this] { finish(endOf(m_socket->error())); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish(endOf(error));
    });

    // A client may reset the connection before we ever look at it.
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        QTimer::singleShot(0, this, [this] { finish(ConnectionEnd::Reset); });
        return;
    }
    if (!m_limits.link.applyTo(m_socket->socketDescriptor()))
        QTimer::singleShot(0, this, [this] {
            emit warning(
                QStringLiteral("%1: the system refused its keepalive or send timeout").arg(m_name));
        });
}

Peer::~Peer()
{
    if (m_pacer)
        m_pacer->cancel(this);
}

void Peer::send(const QByteArray &message)
{
    if (m_dropping || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_queue.size() >= m_limits.maxQueuedMessages ||
        queueCost() + message.size() + queueEntryCost > m_limits.maxQueuedBytes) {
        drop(QStringLiteral("it is not reading (send queue full: %1 messages, %2 bytes)")
                 .arg(m_queue.size())
                 .arg(queueCost()));
        return;
    }
    m_queue.enqueue(message);
    m_queuedBytes += message.size() + queueEntryCost;
    if (m_sending == Sending::Idle)
        writeNext();
}

void Peer::readArrivals()
{
    const QByteArray data = m_socket->readAll();
    if (data.isEmpty() || m_dropping)
        return;
    // A sender that keeps Nagle's algorithm on holds its next message until this one is
    // acknowledged; delayed, the two would come in one read.
    acknowledgeNow(m_socket->socketDescriptor());
    m_deadline.stop();

    // The rest of an oversized arrival comes in further reads; none of it may pass as a
    // message of its own.
    if (m_discarding || data.size() > m_limits.maxArrivalBytes) {
        m_discarding = true;
        m_discardedBytes += data.size();
        if (KernelQueues::unread(m_socket->socketDescriptor()) > 0)
            return;
        emit warning(QStringLiteral("%1: dropped an arrival of %2 bytes (limit %3)")
                         .arg(m_name)
                         .arg(m_discardedBytes)
                         .arg(m_limits.maxArrivalBytes));
        m_discarding = false;
        m_discardedBytes = 0;
        return;
    }

    emit arrived(data);
}

qint64 Peer::queueCost() const
{
    // The message being written sits in a buffer of its own.
    return m_queuedBytes + m_socket->bytesToWrite();
}

void Peer::writeNext()
{
    if (m_queue.isEmpty() || m_dropping) {
        m_sending = Sending::Idle;
        return;
    }
    const QByteArray message = m_queue.dequeue();
    m_queuedBytes -= message.size() + queueEntryCost;
    m_sending = Sending::Writing;
    m_socket->write(message);
}

void Peer::onBytesWritten()
{
    if (m_sending != Sending::Writing || m_socket->bytesToWrite() > 0)
        return;
    m_sending = Sending::Settling;
    m_settling.start();
    settle();
}

void Peer::settle()
{
    // While the kernel holds part of the last message, the next would share a segment with
    // it, or a retransmission of it; a connection whose data is never acknowledged is
    // ended by its send timeout.
    const qintptr descriptor = m_socket->socketDescriptor();
    if ((m_limits.waitForAcknowledgement ? m_kernel.unacknowledged(descriptor)
                                         : m_kernel.unsent(descriptor)) > 0) {
        m_pacer->wake(this, std::clamp<std::chrono::milliseconds>(
                                std::chrono::milliseconds(m_settling.elapsed() / 4),
                                minPollInterval, maxPollInterval));
        return;
    }
    m_sending = Sending::Pausing;
    m_pacer->wake(this, m_limits.sendGap);
}

void Peer::paced()
{
    if (m_sending == Sending::Settling) {
        settle();
    } else if (m_sending == Sending::Pausing) {
        writeNext();
        // Written at once rather than on the next round of the event loop. Not so from
        // send(): there the relay's output is still being handed out, and an error met in
        // writing would end this connection in the middle of it.
        if (m_sending == Sending::Writing)
            m_socket->flush();
    }
}

void Peer::drop(const QString &reason)
{
    if (m_dropping)
        return;
    m_dropping = true;
    if (!reason.isEmpty())
        emit warning(QStringLiteral("%1: disconnecting, %2").arg(m_name, reason));
    m_queue.clear();
    m_queuedBytes = 0;
    m_pacer->cancel(this);
    m_deadline.stop();
    // Not from inside send(): the caller may be walking a list of peers.
    QTimer::singleShot(0, this, [this] {
        KernelQueues::resetOnClose(m_socket->socketDescriptor());
        m_socket->abort();
        finish(ConnectionEnd::Reset);
    });
}

void Peer::finish(ConnectionEnd how)
{
    if (m_closed)
        return;
    m_closed = true;
    m_pacer->cancel(this);
    m_deadline.stop();
    emit closed(how);
}
