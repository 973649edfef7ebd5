#pragma once

#include <QTcpServer>

// Hands out each accepted connection as a QSslSocket, its handshake not begun yet.
class LinkListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override;
};
