#pragma once

#include "protocol/channel.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>

// A client that takes each read as one message, as the terminal does.
class TestClient : public QObject
{
    Q_OBJECT

public:
    TestClient(const QHostAddress &address, Channel channel);

    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    const QList<QByteArray> &reads() const { return m_reads; }
    qint64 bytesRead() const { return m_bytesRead; }
    QTcpSocket &socket() { return m_socket; }

    // Keeps the server's log lines from here on, instead of printing them.
    static void captureServerLog();
    static bool serverLogContains(const QString &text);

private:
    QTcpSocket m_socket;
    QList<QByteArray> m_reads;
    qint64 m_bytesRead = 0;
};
