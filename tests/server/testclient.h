#pragma once

#include "protocol/channel.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>

class ChatServer;

// A client that takes each read as one message, as the terminal does. Given a source
// address, it plays a host of its own.
class TestClient : public QObject
{
    Q_OBJECT

public:
    TestClient(const QHostAddress &server, Channel channel, const QHostAddress &from = {});

    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        if (isConnected())
            m_socket.flush();
    }
    const QList<QByteArray> &reads() const { return m_reads; }
    // When each read came, in milliseconds of a clock shared by all clients.
    const QList<double> &readTimes() const { return m_readTimes; }
    qint64 bytesRead() const { return m_bytesRead; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket &socket() { return m_socket; }

    // Keeps the server's log lines from here on, instead of printing them.
    static void captureServerLog();
    static bool serverLogContains(const QString &text);
    static int serverLogCount(const QString &text);

private:
    QTcpSocket m_socket;
    QList<QByteArray> m_reads;
    QList<double> m_readTimes;
    qint64 m_bytesRead = 0;
};

// A user list connection that has sent its nickname.
struct Listed : TestClient
{
    Listed(const QHostAddress &server, const QByteArray &nickname, const QHostAddress &from = {})
        : TestClient(server, Channel::UserList, from)
    {
        send(nickname);
    }
};

// A listed nickname with a chat connection that speaks under it and one that reads, all
// from the default address.
struct Speaker
{
    explicit Speaker(const QHostAddress &server, const QByteArray &nickname = "A")
        : list(server, nickname), chat(server, Channel::Chat), reader(server, Channel::Chat)
    {}
    // Once the server holds the given connections, these three among them, and the name.
    bool isReady(const ChatServer &server, int connections = 3);

    Listed list;
    TestClient chat;
    TestClient reader;
};
