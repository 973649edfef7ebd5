#include "winsock.h"

#include "cp1254.h"
#include "socketerrors.h"

#include <limits>

namespace {

WinsockResult failure(int number)
{
    return WinsockResult::failure(number, SocketErrors::description(number));
}

} // namespace

Winsock::Winsock(QObject *parent) : QObject(parent), m_socket(this), m_connectTimer(this)
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(21000);
    connect(&m_connectTimer, &QTimer::timeout, this, &Winsock::onConnectTimeout);
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_connectTimer.stop();
        // Nothing on the wire marks where a message ends: each send must leave at once in a
        // segment of its own, not wait to be merged with the next one.
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit Connected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        const qint64 waiting = m_socket.bytesAvailable();
        if (waiting > 0)
            emit DataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Winsock::onSocketError);
}

Winsock::~Winsock()
{
    // The socket is destroyed after this body; nothing it says then may reach us.
    m_socket.disconnect(this);
    m_socket.abort();
}

void Winsock::Close()
{
    m_connectTimer.stop();
    m_socket.abort();
}

WinsockResult Winsock::setRemoteHost(const QString &host)
{
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return failure(SocketErrors::InvalidOperation);
    m_remoteHost = host;
    return {};
}

WinsockResult Winsock::setRemotePort(qint32 port)
{
    if (port < 0 || port > 65535)
        return failure(SocketErrors::InvalidPropertyValue);
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return failure(SocketErrors::InvalidOperation);
    m_remotePort = port;
    return {};
}

WinsockResult Winsock::Connect()
{
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return failure(SocketErrors::InvalidOperation);
    m_connectTimer.start();
    m_socket.connectToHost(m_remoteHost, quint16(m_remotePort));
    return {};
}

WinsockResult Winsock::SendData(const QString &data)
{
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return failure(SocketErrors::WrongProtocolOrState);
    const QByteArray bytes = Cp1254::encode(data);
    if (m_socket.write(bytes) != bytes.size())
        return failure(SocketErrors::fromSocketError(m_socket.error()));
    return {};
}

WinsockResult Winsock::GetData(QString &data)
{
    data = Cp1254::decode(m_socket.readAll());
    return {};
}

void Winsock::onSocketError(QAbstractSocket::SocketError error)
{
    m_connectTimer.stop();
    // An orderly close by the server is not an error, as with the classic control.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    const int number = SocketErrors::fromSocketError(error);
    emit Error(number, SocketErrors::description(number));
}

void Winsock::onConnectTimeout()
{
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        return;
    m_socket.abort();
    emit Error(SocketErrors::TimedOut, SocketErrors::description(SocketErrors::TimedOut));
}
