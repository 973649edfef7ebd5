#include "framedecoder.h"

#include <QtEndian>

void FrameDecoder::feed(QByteArrayView bytes)
{
    if (m_error != Error::None)
        return;
    // What was taken already is dropped before the buffer grows, so it never holds more
    // than one frame and the read that finished it.
    if (m_start > 0) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    m_buffer.append(bytes);
}

std::optional<LinkFrame> FrameDecoder::next()
{
    if (m_error != Error::None || pendingBytes() < LinkFrames::HeaderBytes)
        return std::nullopt;
    const char *header = m_buffer.constData() + m_start;
    const auto kind = quint8(header[0]);
    const quint32 length = qFromBigEndian<quint32>(header + 1);
    const bool fromServer = m_from == Sender::Server;
    if (kind > quint8(FrameKind::PlainUsers) ||
        (kind == quint8(FrameKind::PlainUsers) && !fromServer))
        return fail(Error::UnknownKind, kind);
    if (length > quint32(LinkFrames::MaxPayloadBytes))
        return fail(Error::TooLong, length);
    if (length == 0)
        return fail(Error::Empty, kind);
    if (kind == quint8(FrameKind::PlainUsers) && length != 4)
        return fail(Error::BadCount, length);
    if (pendingBytes() < LinkFrames::HeaderBytes + qsizetype(length))
        return std::nullopt;
    LinkFrame frame{FrameKind(kind), m_buffer.mid(m_start + LinkFrames::HeaderBytes, length)};
    m_start += LinkFrames::HeaderBytes + length;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return frame;
}

std::nullopt_t FrameDecoder::fail(Error error, quint32 detail)
{
    m_error = error;
    m_detail = detail;
    m_buffer.clear();
    m_start = 0;
    return std::nullopt;
}

QString FrameDecoder::errorString() const
{
    switch (m_error) {
    case Error::None:
        return {};
    case Error::TooLong:
        return QStringLiteral("a frame of %1 bytes, more than %2")
            .arg(m_detail)
            .arg(LinkFrames::MaxPayloadBytes);
    case Error::Empty:
        return QStringLiteral("an empty frame of kind %1").arg(m_detail);
    case Error::UnknownKind:
        return QStringLiteral("a frame of unknown kind %1").arg(m_detail);
    case Error::BadCount:
        return QStringLiteral("a count frame of %1 bytes").arg(m_detail);
    }
    return {};
}
