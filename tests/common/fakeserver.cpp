#include "fakeserver.h"

#include "testaddresses.h"

#include <sys/socket.h>

FakeServer::FakeServer(const QString &address, QObject *parent)
    : QObject(parent), m_address(address)
{
    TestAddresses::check(m_address);
}

FakeServer::~FakeServer()
{
    for (const auto &list : std::as_const(m_connections)) {
        for (QTcpSocket *s : list) {
            if (s)
                s->disconnect(this);
        }
    }
}

bool FakeServer::listen(const QList<quint16> &ports)
{
    for (quint16 port : ports) {
        auto *server = new QTcpServer(this);
        if (!server->listen(m_address, port)) {
            qWarning("cannot listen on %s:%u: %s", qPrintable(m_address.toString()), port,
                     qPrintable(server->errorString()));
            delete server;
            return false;
        }
        m_servers.insert(port, server);
        connect(server, &QTcpServer::newConnection, this, [this, server, port] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                socket->setParent(this);
                if (m_holding.value(port))
                    socket->setReadBufferSize(1);
                m_connections[port].append(socket);
                ++m_accepted[port];
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, port] {
                    if (m_holding.value(port))
                        return;
                    const QByteArray bytes = socket->readAll();
                    m_received[port].append(bytes);
                    if (m_relay.value(port))
                        send(port, bytes);
                    emit dataReceived(port);
                });
                emit accepted(port);
            }
        });
    }
    return true;
}

void FakeServer::stopListening(quint16 port)
{
    delete m_servers.take(port);
}

int FakeServer::connectionCount(quint16 port) const
{
    return int(connections(port).size());
}

bool FakeServer::terminalConnected() const
{
    for (quint16 port : allPorts()) {
        if (connectionCount(port) != 1)
            return false;
    }
    return !received(Join).isEmpty() && !received(UserList).isEmpty();
}

QList<QTcpSocket *> FakeServer::connections(quint16 port) const
{
    QList<QTcpSocket *> open;
    for (QTcpSocket *s : m_connections.value(port)) {
        if (s && s->state() == QAbstractSocket::ConnectedState)
            open.append(s);
    }
    return open;
}

void FakeServer::send(quint16 port, const QByteArray &bytes)
{
    for (QTcpSocket *s : connections(port)) {
        s->write(bytes);
        s->flush();
    }
}

void FakeServer::closeConnections(quint16 port)
{
    for (QTcpSocket *s : connections(port))
        s->disconnectFromHost();
}

void FakeServer::resetConnections(quint16 port)
{
    for (QTcpSocket *s : connections(port)) {
        // A zero linger time makes the close a reset rather than an orderly end.
        const linger now{1, 0};
        ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        s->abort();
    }
}

void FakeServer::holdReading(quint16 port)
{
    m_holding[port] = true;
    // Qt reads on into its own buffer unless it is bounded.
    for (QTcpSocket *s : connections(port))
        s->setReadBufferSize(1);
}
