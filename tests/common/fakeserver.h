#pragma once

#include "protocol/channel.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A stand-in chat server on one loopback address, listening on the terminal's four ports.
// The ports are fixed, so every test program takes addresses of its own, listed in
// testaddresses.h.
class FakeServer : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 Chat = portOf(Channel::Chat);
    static constexpr quint16 UserList = portOf(Channel::UserList);
    static constexpr quint16 Leave = portOf(Channel::Leave);
    static constexpr quint16 Join = portOf(Channel::Join);
    static QList<quint16> allPorts() { return {Chat, UserList, Leave, Join}; }

    explicit FakeServer(const QString &address, QObject *parent = nullptr);
    ~FakeServer() override;

    // Listens on the given ports; false if any could not be bound.
    bool listen(const QList<quint16> &ports = allPorts());
    void stopListening(quint16 port);

    QString address() const { return m_address.toString(); }
    // Everything received on a port, from all its connections, in arrival order.
    QByteArray received(quint16 port) const { return m_received.value(port); }
    void clearReceived() { m_received.clear(); }
    int connectionCount(quint16 port) const;
    // One terminal has all four channels open and has announced its nickname.
    bool terminalConnected() const;
    int acceptedCount(quint16 port) const { return m_accepted.value(port); }
    QList<QTcpSocket *> connections(quint16 port) const;

    // Writes to every open connection on a port and flushes.
    void send(quint16 port, const QByteArray &bytes);
    void closeConnections(quint16 port);
    // From now on every arrival on the port is also written to each of its connections,
    // the sender's included, as a chat server relays.
    void setRelay(quint16 port, bool relay) { m_relay[port] = relay; }
    void resetConnections(quint16 port);
    // Stops reading the port's connections, as a server that hung would: what its clients
    // send fills the system's buffers until they can send no more.
    void holdReading(quint16 port);

signals:
    void dataReceived(quint16 port);
    void accepted(quint16 port);

private:
    QHostAddress m_address;
    QHash<quint16, QTcpServer *> m_servers;
    QHash<quint16, QList<QPointer<QTcpSocket>>> m_connections;
    QHash<quint16, QByteArray> m_received;
    QHash<quint16, int> m_accepted;
    QHash<quint16, bool> m_relay;
    QHash<quint16, bool> m_holding;
};
