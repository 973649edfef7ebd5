// The link's frame decoder, fed whatever a terminal or server might send: cut into reads of any
// size it gives the same frames and stops at the same fault as when fed at once, every frame it
// gives is one the encoder makes, and it never holds more than one unfinished frame.
#include "fuzzsupport.h"
#include "protocol/framedecoder.h"
#include "protocol/linkframes.h"

#include <QList>

namespace {

struct Outcome
{
    QList<LinkFrame> frames;
    FrameDecoder::Error error = FrameDecoder::Error::None;
};

QByteArray encoded(const LinkFrame &frame)
{
    if (frame.kind == FrameKind::PlainUsers)
        return LinkFrames::encodePlainUsers(*LinkFrames::plainUsers(frame.payload));
    return LinkFrames::encode(frame.channel(), frame.payload);
}

Outcome decode(FrameDecoder::Sender from, QByteArrayView stream, const QList<qsizetype> &cuts)
{
    FrameDecoder decoder(from);
    Outcome out;
    qsizetype at = 0;
    for (qsizetype i = 0; at < stream.size(); ++i) {
        const qsizetype size =
            cuts.isEmpty() ? stream.size() : std::min(cuts.at(i % cuts.size()), stream.size() - at);
        decoder.feed(stream.sliced(at, size));
        at += size;
        while (const std::optional<LinkFrame> frame = decoder.next()) {
            FUZZ_CHECK(!frame->payload.isEmpty() &&
                           frame->payload.size() <= LinkFrames::MaxPayloadBytes,
                       hex(stream.first(std::min<qsizetype>(stream.size(), 64))));
            out.frames.append(*frame);
        }
        FUZZ_CHECK(decoder.pendingBytes() <
                       LinkFrames::HeaderBytes + LinkFrames::MaxPayloadBytes + size,
                   QString::number(decoder.pendingBytes()));
    }
    out.error = decoder.error();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks the sender and how reads are cut; the rest is the stream.
    FuzzInput input(data, size);
    const uint8_t control = input.byte();
    const auto from = control & 1 ? FrameDecoder::Sender::Server : FrameDecoder::Sender::Terminal;
    QList<qsizetype> cuts;
    for (int i = 0; i < (control >> 1 & 7); ++i)
        cuts.append(1 + input.byte() % 17);
    const qsizetype header = std::min<qsizetype>(qsizetype(size), 1 + cuts.size());
    const QByteArrayView stream(data + header, qsizetype(size) - header);

    const Outcome whole = decode(from, stream, {});
    const Outcome cut = decode(from, stream, cuts);
    FUZZ_CHECK(cut.frames.size() == whole.frames.size() && cut.error == whole.error,
               hex(stream.first(std::min<qsizetype>(stream.size(), 64))));

    // The frames taken spell the front of the stream again, byte for byte.
    QByteArray again;
    for (qsizetype i = 0; i < whole.frames.size(); ++i) {
        const LinkFrame &frame = whole.frames.at(i);
        FUZZ_CHECK(frame.kind == cut.frames.at(i).kind && frame.payload == cut.frames.at(i).payload,
                   QString::number(i));
        FUZZ_CHECK(from == FrameDecoder::Sender::Server || frame.kind != FrameKind::PlainUsers,
                   QString::number(i));
        again += encoded(frame);
    }
    FUZZ_CHECK(stream.startsWith(again), hex(again.first(std::min<qsizetype>(again.size(), 64))));
    return 0;
}
