#include "testclient.h"

#include <QSignalSpy>

TestClient::TestClient(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray data = m_socket.readAll();
        m_bytesRead += data.size();
        m_reads.append(data);
    });
}

bool TestClient::connectTo(const QHostAddress &address, Channel channel)
{
    QSignalSpy connected(&m_socket, &QTcpSocket::connected);
    m_socket.connectToHost(address, portOf(channel));
    return connected.wait(5000);
}

void TestClient::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}
