#include "peer.h"

#include "kernelqueues.h"
#include "serverlog.h"

#include <QTcpSocket>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

QString displayAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

constexpr auto maxPollInterval = 200ms;

} // namespace

Peer::Peer(QTcpSocket *socket, Channel channel, const ServerLimits &limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_channel(channel), m_limits(limits),
      m_address(socket->peerAddress()),
      m_name(QString::fromLatin1(nameOf(channel)) % u' ' % displayAddress(m_address) % u':' %
             QString::number(socket->peerPort())),
      m_arrivalTokens(limits.burstArrivals)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // Bounds what one read can hold, and so what an oversized arrival costs us.
    m_socket->setReadBufferSize(qint64(m_limits.maxArrivalBytes) + 1);

    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer);
    m_tokenClock.start();

    connect(m_socket, &QTcpSocket::readyRead, this, &Peer::readArrivals);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Peer::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &Peer::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
    });
    connect(&m_gap, &QTimer::timeout, this, &Peer::onGapOver);

    // A client may reset the connection before we ever look at it.
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        QTimer::singleShot(0, this, &Peer::finish);
}

void Peer::send(const QByteArray &message)
{
    if (m_dropping || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_queue.size() >= m_limits.maxQueuedMessages ||
        m_queuedBytes + message.size() > m_limits.maxQueuedBytes) {
        drop(QStringLiteral("it is not reading (send queue full: %1 messages, %2 bytes)")
                 .arg(m_queue.size())
                 .arg(m_queuedBytes));
        return;
    }
    m_queue.enqueue(message);
    m_queuedBytes += message.size();
    if (!m_writing)
        writeNext();
}

void Peer::readArrivals()
{
    const QByteArray data = m_socket->readAll();
    if (data.isEmpty() || m_dropping)
        return;

    // The rest of an oversized arrival comes in further reads; none of it may pass as a
    // message of its own.
    if (m_discarding || data.size() > m_limits.maxArrivalBytes) {
        m_discarding = true;
        m_discardedBytes += data.size();
        if (KernelQueues::unread(m_socket->socketDescriptor()) > 0)
            return;
        qCWarning(lcServer).noquote()
            << QStringLiteral("%1: dropped an arrival of %2 bytes (limit %3)")
                   .arg(m_name)
                   .arg(m_discardedBytes)
                   .arg(m_limits.maxArrivalBytes);
        m_discarding = false;
        m_discardedBytes = 0;
        return;
    }

    if (admitArrival())
        emit arrived(data);
}

bool Peer::admitArrival()
{
    const double seconds = m_tokenClock.restart() / 1000.0;
    m_arrivalTokens = std::min<double>(m_limits.burstArrivals,
                                       m_arrivalTokens + seconds * m_limits.arrivalsPerSecond);
    if (m_arrivalTokens >= 1) {
        m_arrivalTokens -= 1;
        m_floodReported = false;
        return true;
    }
    if (!m_floodReported) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("%1: sending too fast, dropping arrivals").arg(m_name);
        m_floodReported = true;
    }
    return false;
}

void Peer::writeNext()
{
    if (m_queue.isEmpty() || m_dropping) {
        m_writing = false;
        return;
    }
    const QByteArray message = m_queue.dequeue();
    m_queuedBytes -= message.size();
    m_writing = true;
    m_pollInterval = std::max<std::chrono::milliseconds>(m_limits.sendGap, 1ms);
    m_socket->write(message);
}

void Peer::onBytesWritten()
{
    if (m_writing && m_socket->bytesToWrite() == 0 && !m_gap.isActive())
        m_gap.start(m_limits.sendGap);
}

void Peer::onGapOver()
{
    // While the kernel still holds part of the last message (the client is slow, the
    // network busy), the next one would be sent in the same segment as its tail.
    if (KernelQueues::unsent(m_socket->socketDescriptor()) > 0) {
        m_gap.start(m_pollInterval);
        m_pollInterval = std::min<std::chrono::milliseconds>(m_pollInterval * 2, maxPollInterval);
        return;
    }
    m_writing = false;
    writeNext();
}

void Peer::drop(const QString &reason)
{
    if (m_dropping)
        return;
    m_dropping = true;
    qCWarning(lcServer).noquote() << QStringLiteral("%1: disconnecting, %2").arg(m_name, reason);
    m_queue.clear();
    m_queuedBytes = 0;
    m_gap.stop();
    // Not from inside send(): the caller may be walking a list of peers.
    QTimer::singleShot(0, this, [this] {
        KernelQueues::resetOnClose(m_socket->socketDescriptor());
        m_socket->abort();
        finish();
    });
}

void Peer::finish()
{
    if (m_closed)
        return;
    m_closed = true;
    m_gap.stop();
    emit closed();
}
