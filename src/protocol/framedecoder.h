#pragma once

#include "protocol/linkframes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Cuts the bytes read from a link into frames. Whatever the other end sends, it holds at most
// one unfinished frame, and the first malformed header stops it for good: the link is then
// to be closed, since nothing after it can be trusted to start a frame.
class FrameDecoder
{
public:
    enum class Sender { Terminal, Server };
    enum class Error { None, TooLong, Empty, UnknownKind, BadCount };

    // A terminal sends channel frames only; a server also its count of plain readers.
    explicit FrameDecoder(Sender from) : m_from(from) {}

    void feed(QByteArrayView bytes);
    // The next whole frame, if one has come and nothing malformed came before it.
    std::optional<LinkFrame> next();

    Error error() const { return m_error; }
    // What was wrong, for the log ("a frame of 70000 bytes, more than 65536").
    QString errorString() const;
    // Bytes of a frame begun but not finished: at the link's end, a frame cut short.
    qsizetype pendingBytes() const { return m_buffer.size() - m_start; }

private:
    std::nullopt_t fail(Error error, quint32 detail);

    Sender m_from;
    QByteArray m_buffer;
    qsizetype m_start = 0; // where the next frame begins in m_buffer
    Error m_error = Error::None;
    quint32 m_detail = 0; // the length or kind that was wrong
};
