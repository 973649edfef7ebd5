#include "linkclient.h"

#include "common/testaddresses.h"
#include "protocol/linkframes.h"

#include <QSslConfiguration>

LinkClient::LinkClient(const QHostAddress &server, const QHostAddress &from)
{
    TestAddresses::check(server);
    if (!from.isNull())
        TestAddresses::check(from);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_3OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_socket.setSslConfiguration(tls);
    connect(&m_socket, &QSslSocket::readyRead, this, [this] {
        m_decoder.feed(m_socket.readAll());
        while (const std::optional<LinkFrame> frame = m_decoder.next()) {
            if (frame->kind == FrameKind::PlainUsers)
                m_plainUsers.append(*LinkFrames::plainUsers(frame->payload));
            else
                m_frames[indexOf(frame->channel())].append(frame->payload);
        }
    });
    if (!from.isNull())
        m_socket.bind(from);
    m_socket.connectToHostEncrypted(server.toString(), LinkPort);
}

void LinkClient::send(Channel channel, const QByteArray &message)
{
    m_socket.write(LinkFrames::encode(channel, message));
}
