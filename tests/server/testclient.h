#pragma once

#include "channel.h"

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
    explicit TestClient(QObject *parent = nullptr);

    bool connectTo(const QHostAddress &address, Channel channel);
    void send(const QByteArray &bytes);

    const QList<QByteArray> &reads() const { return m_reads; }
    qint64 bytesRead() const { return m_bytesRead; }
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QList<QByteArray> m_reads;
    qint64 m_bytesRead = 0;
};
