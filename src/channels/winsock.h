#pragma once

#include "protocol/channel.h"
#include "protocol/linktimers.h"
#include "winsockresult.h"
#include "workerhandle.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>

class QTcpSocket;
class QThread;
class SecureLink;
class SocketWorker;

// One client channel to the chat server, on a TCP connection of its own or carried on the
// encrypted link; its owner sees no difference. Asynchronous: Connect() returns at once and
// the outcome arrives as Connected() or Error(). Text crosses the wire in code page 1254,
// with nothing added. Every read of the socket is one arrival, handed out whole by one
// GetData, however long the owner's thread was busy before it got to it. The owner never
// waits for the reading thread: commands are handed to it, and what the owner asks about is
// kept here from its events, so a command counts from the moment it is given.
class Winsock : public QObject
{
    Q_OBJECT

public:
    // Reads the socket on the calling thread.
    explicit Winsock(QObject *parent = nullptr);
    // Reads the socket on ioThread, which must be running. Should it finish first, it takes
    // the socket with it and the channel stays closed. Tests may hand it the socket to use,
    // unconnected; it goes to that thread too.
    Winsock(QThread *ioThread, QObject *parent, QTcpSocket *socket = nullptr);
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
    // Hands over the oldest arrival not yet taken; empty when there is none.
    WinsockResult GetData(QString &data);
    WinsockResult GetData(QByteArray &data);

    bool isConnected() const { return m_state == State::Connected; }
    quint16 localPort() const { return m_localPort; }

    // How long a connection attempt may take before it fails as timed out.
    void setConnectTimeout(int msec) { m_connectTimeout = msec; }
    int connectTimeout() const { return m_connectTimeout; }
    // How soon a connection whose server went silent is given up; from the next Connect on.
    void setLinkTimers(const LinkTimers &timers) { m_linkTimers = timers; }
    const LinkTimers &linkTimers() const { return m_linkTimers; }

    // From the next Connect on, this channel is carried on the link as the given channel, or
    // on a connection of its own again without one. Connect then waits for the link to open
    // (whoever opens it), and the link's end ends the channel.
    void setLink(SecureLink *link, Channel channel);

signals:
    // The Connect event: the connection has completed.
    void Connected();
    // Data has arrived; bytesTotal is the size of this arrival.
    void DataArrival(qint32 bytesTotal);
    // The connection attempt failed, or the connection ended; either way it is closed.
    void Error(int number, const QString &description);

private:
    enum class State { Closed, Connecting, Connected };

    void connected(quint64 generation, quint16 localPort);
    void failed(quint64 generation, int number);
    void arrived(quint64 generation, const QByteArray &bytes);
    void dropArrivals();
    void taken(qint64 bytes);
    void linkOpened();
    void linkArrived(Channel channel, const QByteArray &bytes);

    WorkerHandle<SocketWorker> m_worker;
    QPointer<SecureLink> m_link;
    Channel m_linkChannel = Channel::Chat;
    // Events of an attempt that was closed since are dropped by this.
    quint64 m_generation = 0;
    State m_state = State::Closed;
    quint16 m_localPort = 0;
    std::deque<QByteArray> m_arrivals;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    int m_connectTimeout = 21000;
    LinkTimers m_linkTimers;
};
