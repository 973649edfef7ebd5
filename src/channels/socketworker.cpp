#include "socketworker.h"

#include "socketerrors.h"

#include <QThread>

namespace {

// Bounds what the socket itself buffers while reading is paused.
constexpr qint64 SocketBufferSize = 1024 * 1024;

} // namespace

SocketWorker::SocketWorker(QTcpSocket *socket)
    : m_socket(socket ? socket : new QTcpSocket), m_connectTimer(this)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(SocketBufferSize);
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &SocketWorker::onConnectTimeout);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        assertOwnThread();
        m_connectTimer.stop();
        // Nothing on the wire marks where a message ends: each send must leave at once in a
        // segment of its own, not wait to be merged with the next one.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // A server that vanished answers nothing; without these the system waits for
        // minutes before it gives up.
        m_linkTimers.applyTo(m_socket->socketDescriptor());
        m_resetProbe.watch(m_socket->socketDescriptor());
        emit connected(m_generation, m_socket->localPort());
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &SocketWorker::readWaiting);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &SocketWorker::onSocketError);
    connect(m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState)
            m_resetProbe.release();
    });
}

SocketWorker::~SocketWorker()
{
    // The socket is destroyed after this body; nothing it says then may reach us.
    m_socket->disconnect(this);
    m_socket->abort();
    m_resetProbe.release();
}

void SocketWorker::assertOwnThread() const
{
    Q_ASSERT(thread() == QThread::currentThread());
}

void SocketWorker::close()
{
    assertOwnThread();
    m_connectTimer.stop();
    m_socket->abort();
    m_resetProbe.release();
}

void SocketWorker::connectTo(const QString &host, quint16 port, int timeoutMs,
                             const LinkTimers &timers, quint64 generation)
{
    assertOwnThread();
    // Normally closed by now; not after an end the owner did not follow with a close.
    close();
    m_generation = generation;
    m_linkTimers = timers;
    m_connectTimer.start(timeoutMs);
    m_socket->connectToHost(host, port);
}

void SocketWorker::write(const QByteArray &bytes)
{
    assertOwnThread();
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->write(bytes) != bytes.size()) {
        const int number = SocketErrors::fromSocketError(m_socket->error());
        m_socket->abort();
        end(number);
        return;
    }
    // Qt writes its buffer only when this thread next polls the socket, after any calls
    // queued meanwhile: a line handed over before then would leave in the same send as this
    // one, and reach the server as one message with it.
    m_socket->flush();
}

void SocketWorker::taken(qint64 bytes)
{
    const qint64 left = m_untaken.fetch_sub(bytes) - bytes;
    if (left < MaxUntaken && m_paused.exchange(false))
        QMetaObject::invokeMethod(this, &SocketWorker::readWaiting, Qt::QueuedConnection);
}

void SocketWorker::readWaiting()
{
    assertOwnThread();
    if (m_untaken.load() >= MaxUntaken) {
        m_paused = true;
        // Taken meanwhile: nobody is left to resume us.
        if (m_untaken.load() >= MaxUntaken || !m_paused.exchange(false))
            return;
    }
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    // The server sends its next message only once this one is acknowledged.
    acknowledgeNow(m_socket->socketDescriptor());
    m_untaken += bytes.size();
    emit received(m_generation, bytes);
}

void SocketWorker::onSocketError(QAbstractSocket::SocketError error)
{
    assertOwnThread();
    // Qt reports a reset as a close, and a time-out found while writing as whatever error
    // it last had.
    int number = SocketErrors::fromSocketError(error);
    if (error == QAbstractSocket::RemoteHostClosedError && !m_resetProbe.wasReset())
        number = SocketErrors::ConnectionAborted;
    else if (error != QAbstractSocket::RemoteHostClosedError && m_resetProbe.timedOut())
        number = SocketErrors::TimedOut;
    end(number);
}

void SocketWorker::onConnectTimeout()
{
    assertOwnThread();
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return;
    m_socket->abort();
    end(SocketErrors::TimedOut);
}

void SocketWorker::end(int number)
{
    m_connectTimer.stop();
    m_resetProbe.release();
    emit failed(m_generation, number);
}
