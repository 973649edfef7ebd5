#pragma once

#include "protocol/framedecoder.h"
#include "protocol/linkframes.h"

#include <QSslSocket>

#include <optional>

// A played terminal's encrypted link: one TLS 1.3 connection carrying its four channels as
// frames, trusting whatever certificate the server shows.
class LoadLink : public QSslSocket
{
public:
    explicit LoadLink(QObject *parent = nullptr);

    void send(Channel channel, QByteArrayView message)
    {
        write(LinkFrames::encode(channel, message));
    }
    // The next whole frame of what has come so far; nothing once something that is not a
    // frame came, which decodeError() then names.
    std::optional<LinkFrame> nextFrame();
    bool isBroken() const { return m_decoder.error() != FrameDecoder::Error::None; }
    QString decodeError() const { return m_decoder.errorString(); }

private:
    FrameDecoder m_decoder{FrameDecoder::Sender::Server};
};
