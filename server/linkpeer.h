#pragma once

#include "connectionend.h"
#include "protocol/channel.h"
#include "protocol/framedecoder.h"
#include "relayoutput.h"
#include "serverlimits.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

class QSslConfiguration;
class QSslSocket;

// One terminal's encrypted link: a TLS connection carrying the four channels as frames. To
// the relay core it is four connections, one per channel, each with an id of its own; they
// come and go together. Frames mark where each message ends, so what is sent goes out as fast
// as the socket takes it, without the plain connections' pacing.
class LinkPeer : public QObject
{
    Q_OBJECT

public:
    // Takes over the socket and starts the handshake.
    LinkPeer(QSslSocket *socket, const QSslConfiguration &tls, const ServerLimits &limits,
             QObject *parent = nullptr);

    QString host() const { return m_host; }
    // "chat 192.168.1.5:50312 tls", for the log.
    QString nameOf(Channel channel) const;
    ConnectionId idOf(Channel channel) const { return m_ids[indexOf(channel)]; }
    bool isEncrypted() const { return m_encrypted; }

    // Queues a message of the channel; a terminal that lets too much pile up is disconnected.
    void send(Channel channel, const QByteArray &message);
    // The number of users reading without encryption, told whenever it changes.
    void setPlainUsers(quint32 count);
    // Closes the link soon, with a warning naming the reason unless it is empty.
    void drop(const QString &reason);

signals:
    void arrived(Channel channel, const QByteArray &message);
    void warning(const QString &line);
    // Emitted once; the link may be deleted from then on.
    void closed(ConnectionEnd how);

private:
    void onEncrypted();
    void readFrames();
    void write(const QByteArray &frame);
    qint64 queueCost() const;
    void finish(ConnectionEnd how);

    QSslSocket *m_socket;
    const ServerLimits m_limits;
    std::array<ConnectionId, allChannels.size()> m_ids{};
    QString m_host;
    QString m_address; // "192.168.1.5:50312"
    FrameDecoder m_decoder{FrameDecoder::Sender::Terminal};
    QByteArray m_early; // frames queued before the handshake finished
    QTimer m_deadline;
    // As on the plain ports, the user list and join channels must name their user in time.
    QTimer m_nicknameDeadline;
    bool m_listNamed = false;
    bool m_joinNamed = false;
    qint64 m_plainUsers = -1; // as last told; -1 before
    qint64 m_toldPlainUsers = -1;
    bool m_encrypted = false;
    bool m_dropping = false;
    bool m_closed = false;
};
