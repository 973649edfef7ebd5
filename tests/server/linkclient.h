#pragma once

#include "protocol/channel.h"
#include "protocol/framedecoder.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslSocket>

#include <array>

// A terminal's end of the encrypted link, trusting whatever certificate the server shows.
// Given a source address, it plays a host of its own.
class LinkClient : public QObject
{
    Q_OBJECT

public:
    explicit LinkClient(const QHostAddress &server, const QHostAddress &from = {});

    void send(Channel channel, const QByteArray &message);
    // Bytes as they are, inside TLS.
    void sendRaw(const QByteArray &bytes) { m_socket.write(bytes); }
    const QList<QByteArray> &frames(Channel channel) const { return m_frames[indexOf(channel)]; }
    // Every count of plain readers the server told, in order.
    const QList<quint32> &plainUsers() const { return m_plainUsers; }
    bool isEncrypted() const { return m_socket.isEncrypted(); }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // Whether the server sent anything that is not a well-formed frame.
    bool sawBadFrame() const { return m_decoder.error() != FrameDecoder::Error::None; }
    QSslSocket &socket() { return m_socket; }

private:
    QSslSocket m_socket;
    FrameDecoder m_decoder{FrameDecoder::Sender::Server};
    std::array<QList<QByteArray>, allChannels.size()> m_frames;
    QList<quint32> m_plainUsers;
};
