#include "linkframes.h"

#include <QtEndian>

namespace {

QByteArray frame(FrameKind kind, QByteArrayView payload)
{
    QByteArray out(LinkFrames::HeaderBytes + payload.size(), Qt::Uninitialized);
    out[0] = char(kind);
    qToBigEndian(quint32(payload.size()), out.data() + 1);
    std::copy(payload.cbegin(), payload.cend(), out.begin() + LinkFrames::HeaderBytes);
    return out;
}

} // namespace

namespace LinkFrames {

QByteArray encode(Channel channel, QByteArrayView message)
{
    Q_ASSERT(!message.isEmpty() && message.size() <= MaxPayloadBytes);
    return frame(kindOf(channel), message);
}

QByteArray encodePlainUsers(quint32 count)
{
    char payload[4];
    qToBigEndian(count, payload);
    return frame(FrameKind::PlainUsers, QByteArrayView(payload, sizeof payload));
}

std::optional<quint32> plainUsers(QByteArrayView payload)
{
    if (payload.size() != 4)
        return std::nullopt;
    return qFromBigEndian<quint32>(payload.data());
}

} // namespace LinkFrames
