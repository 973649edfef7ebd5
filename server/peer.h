#pragma once

#include "connectionend.h"
#include "protocol/channel.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

class PeerPacer;
class QTcpSocket;

// One client connection. Nothing on the wire marks where a message ends, so each read is
// taken as one whole message, and messages going out are sent one at a time, each once the
// last has been acknowledged and a pause has passed, so that the other end also reads them
// one by one.
class Peer : public QObject
{
    Q_OBJECT

public:
    // Takes over the socket. Without a pacer shared with other connections it paces itself.
    Peer(QTcpSocket *socket, Channel channel, const ServerLimits &limits, QObject *parent = nullptr,
         PeerPacer *pacer = nullptr);
    ~Peer() override;

    Channel channel() const { return m_channel; }
    // The source address as the log and the per-address limits know it ("192.168.1.5").
    QString host() const { return m_host; }
    // "chat 192.168.1.5:50312", for the log.
    QString name() const { return m_name; }
    // Unique for the life of the server, unlike the object's address.
    quint64 id() const { return m_id; }
    // What the kernel still holds of what was written, asked of the socket by default.
    struct KernelProbe
    {
        std::function<qint64(qintptr)> unacknowledged;
        std::function<qint64(qintptr)> unsent;
    };
    void setKernelProbe(KernelProbe probe) { m_kernel = std::move(probe); }

    // Queues a message; a client that lets too much pile up is disconnected.
    void send(const QByteArray &message);
    // Closes the connection soon, with a warning naming the reason unless it is empty;
    // nothing more is sent or taken from it.
    void drop(const QString &reason);

    static QString hostOf(const QHostAddress &address);
    // A connection id not given out before, for this or any other kind of connection.
    static quint64 takeId();

signals:
    void arrived(const QByteArray &message);
    // Something went wrong with this connection; the line names it.
    void warning(const QString &line);
    // Emitted once; the peer may be deleted from then on.
    void closed(ConnectionEnd how);

private:
    friend class PeerPacer;
    // The pause or the poll the pacer was asked for has passed.
    void paced();
    void readArrivals();
    void writeNext();
    void onBytesWritten();
    void settle();
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
    // A message goes through these one after the other; the next waits for Idle.
    enum class Sending { Idle, Writing, Settling, Pausing };
    Sending m_sending = Sending::Idle;
    QPointer<PeerPacer> m_pacer;
    QElapsedTimer m_settling;
    KernelProbe m_kernel;
    QTimer m_deadline;

    qint64 m_discardedBytes = 0;
    bool m_discarding = false;

    bool m_dropping = false;
    bool m_closed = false;
};
