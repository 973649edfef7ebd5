#pragma once

#include "resetprobe.h"
#include "winsockresult.h"

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// One TCP client channel to the chat server. Asynchronous, on the thread that owns it:
// Connect() returns at once and the outcome arrives as Connected() or Error().
// Text crosses the wire in code page 1254, with nothing added.
class Winsock : public QObject
{
    Q_OBJECT

public:
    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    // Ends any earlier connection; harmless on a closed channel.
    void Close();

    QString RemoteHost() const { return m_remoteHost; }
    WinsockResult setRemoteHost(const QString &host);
    qint32 RemotePort() const { return m_remotePort; }
    WinsockResult setRemotePort(qint32 port);

    // Starts connecting to RemoteHost:RemotePort; the outcome comes later as an event.
    WinsockResult Connect();
    // Sends the string's characters, in order, with nothing added. Refused unless connected.
    WinsockResult SendData(const QString &data);
    // Hands over everything received and not yet taken, as one string.
    WinsockResult GetData(QString &data);

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    quint16 localPort() const { return m_socket.localPort(); }

    // How long a connection attempt may take before it fails as timed out.
    void setConnectTimeout(int msec) { m_connectTimer.setInterval(msec); }
    int connectTimeout() const { return m_connectTimer.interval(); }

signals:
    // The Connect event: the connection has completed.
    void Connected();
    // Data has arrived; bytesTotal is what is waiting now.
    void DataArrival(qint32 bytesTotal);
    void Error(int number, const QString &description);

private:
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectTimeout();

    QTcpSocket m_socket;
    QTimer m_connectTimer;
    ResetProbe m_resetProbe;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
};
