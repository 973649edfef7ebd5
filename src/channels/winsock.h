#pragma once

#include "protocol/linktimers.h"
#include "winsockresult.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>

class QThread;
class SocketWorker;

// One TCP client channel to the chat server. Asynchronous: Connect() returns at once and
// the outcome arrives as Connected() or Error(). Text crosses the wire in code page 1254,
// with nothing added. Every read of the socket is one arrival, handed out whole by one
// GetData, however long the owner's thread was busy before it got to it.
class Winsock : public QObject
{
    Q_OBJECT

public:
    // Reads the socket on the calling thread.
    explicit Winsock(QObject *parent = nullptr);
    // Reads the socket on ioThread, which must run for as long as this channel exists.
    Winsock(QThread *ioThread, QObject *parent);
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

    bool isConnected() const;
    quint16 localPort() const;

    // How long a connection attempt may take before it fails as timed out.
    void setConnectTimeout(int msec) { m_connectTimeout = msec; }
    int connectTimeout() const { return m_connectTimeout; }
    // How soon a connection whose server went silent is given up; from the next Connect on.
    void setLinkTimers(const LinkTimers &timers) { m_linkTimers = timers; }

signals:
    // The Connect event: the connection has completed.
    void Connected();
    // Data has arrived; bytesTotal is the size of this arrival.
    void DataArrival(qint32 bytesTotal);
    // The connection attempt failed, or the connection ended; either way it is closed.
    void Error(int number, const QString &description);

private:
    template <typename Call> void onWorker(Call call) const;
    void arrived(quint64 generation, const QByteArray &bytes);
    void dropArrivals();

    SocketWorker *m_worker;
    quint64 m_generation = 0;
    std::deque<QByteArray> m_arrivals;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    int m_connectTimeout = 21000;
    LinkTimers m_linkTimers;
};
