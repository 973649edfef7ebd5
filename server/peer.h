#pragma once

#include "connectionend.h"
#include "protocol/channel.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <chrono>

class QTcpSocket;

// One client connection. Nothing on the wire marks where a message ends, so each read is
// taken as one whole message, and messages going out are sent one at a time with a pause
// after each, so that the other end also reads them one by one.
class Peer : public QObject
{
    Q_OBJECT

public:
    // Takes over the socket.
    Peer(QTcpSocket *socket, Channel channel, const ServerLimits &limits,
         QObject *parent = nullptr);

    Channel channel() const { return m_channel; }
    // The source address as the log and the per-address limits know it ("192.168.1.5").
    QString host() const { return m_host; }
    // "chat 192.168.1.5:50312", for the log.
    QString name() const { return m_name; }
    // Unique for the life of the server, unlike the object's address.
    quint64 id() const { return m_id; }

    // Queues a message; a client that lets too much pile up is disconnected.
    void send(const QByteArray &message);
    // Closes the connection soon, with a warning naming the reason; nothing more is sent
    // or taken from it.
    void drop(const QString &reason);

    static QString hostOf(const QHostAddress &address);

signals:
    void arrived(const QByteArray &message);
    // Something went wrong with this connection; the line names it.
    void warning(const QString &line);
    // Emitted once; the peer may be deleted from then on.
    void closed(ConnectionEnd how);

private:
    void readArrivals();
    void writeNext();
    void onBytesWritten();
    void onGapOver();
    void finish(ConnectionEnd how);
    qint64 queueCost() const;

    QTcpSocket *m_socket;
    const Channel m_channel;
    const ServerLimits m_limits;
    const quint64 m_id;
    QString m_host;
    QString m_name;

    QQueue<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_writing = false;
    QTimer m_gap;
    QTimer m_deadline;
    std::chrono::milliseconds m_pollInterval{1};

    qint64 m_discardedBytes = 0;
    bool m_discarding = false;

    bool m_dropping = false;
    bool m_closed = false;
};
