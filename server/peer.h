#pragma once

#include "protocol/channel.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QElapsedTimer>
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
    QHostAddress address() const { return m_address; }
    // "chat 192.168.1.5:50312", for the log.
    QString name() const { return m_name; }

    // Queues a message; a client that lets too much pile up is disconnected.
    void send(const QByteArray &message);

signals:
    void arrived(const QByteArray &message);
    // Emitted once; the peer may be deleted from then on.
    void closed();

private:
    void readArrivals();
    bool admitArrival();
    void writeNext();
    void onBytesWritten();
    void onGapOver();
    void drop(const QString &reason);
    void finish();

    QTcpSocket *m_socket;
    const Channel m_channel;
    const ServerLimits m_limits;
    QHostAddress m_address;
    QString m_name;

    QQueue<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_writing = false;
    QTimer m_gap;
    std::chrono::milliseconds m_pollInterval{1};

    qint64 m_discardedBytes = 0;
    bool m_discarding = false;

    double m_arrivalTokens = 0;
    QElapsedTimer m_tokenClock;
    bool m_floodReported = false;

    bool m_dropping = false;
    bool m_closed = false;
};
