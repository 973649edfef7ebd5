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
// The ports are fixed, so every test file takes addresses of its own:
//   tst_connection 127.0.0.10-29, tst_chat 127.0.0.30-49, tst_userlist 127.0.0.50-69,
//   tst_session 127.0.0.70-89, tst_endtoend 127.0.0.90-109, tst_hostile 127.0.0.110-149,
//   tst_wire 127.0.0.150-159 and 127.0.0.201, tst_about 127.0.0.160-169, server tests
//   127.0.0.170-199 and 127.0.1.100-199, the screenshot tool 127.0.0.200, tst_desktop
//   127.0.5.10-19; benchmarks 127.0.0.210-250 and 127.0.2.1-127.0.4.2, the server's fuzzer
//   127.0.0.252.
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
