#include "protocol/fingerprint.h"
#include "protocol/framedecoder.h"
#include "protocol/linkframes.h"

#include <QTest>
#include <QtEndian>

using Error = FrameDecoder::Error;
using Sender = FrameDecoder::Sender;

// The link's frames without sockets: how reads are cut never changes the messages, and a
// malformed frame stops the decoder for good.
class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void readsCutAnywhereGiveTheSameMessages();
    void malformed_data();
    void malformed();
    void fingerprintSpellings();
};

namespace {

QByteArray header(quint8 kind, quint32 length)
{
    QByteArray h(LinkFrames::HeaderBytes, Qt::Uninitialized);
    h[0] = char(kind);
    qToBigEndian(length, h.data() + 1);
    return h;
}

QList<QByteArray> drain(FrameDecoder &decoder, QList<FrameKind> *kinds = nullptr)
{
    QList<QByteArray> payloads;
    while (const std::optional<LinkFrame> frame = decoder.next()) {
        payloads.append(frame->payload);
        if (kinds)
            kinds->append(frame->kind);
    }
    return payloads;
}

} // namespace

void TestFrames::readsCutAnywhereGiveTheSameMessages()
{
    const QByteArray largest(LinkFrames::MaxPayloadBytes, 'x');
    const QList<QByteArray> messages{"<ALI> selam",
                                     "\xDE"
                                     "EN",
                                     largest, "a"};
    QByteArray stream;
    for (qsizetype i = 0; i < messages.size(); ++i)
        stream += LinkFrames::encode(allChannels[i], messages.at(i));
    stream += LinkFrames::encodePlainUsers(70000);

    for (const qsizetype step :
         {qsizetype(1), qsizetype(4), qsizetype(5), qsizetype(6), qsizetype(1000), stream.size()}) {
        FrameDecoder decoder(Sender::Server);
        QList<QByteArray> payloads;
        QList<FrameKind> kinds;
        for (qsizetype at = 0; at < stream.size(); at += step) {
            decoder.feed(QByteArrayView(stream).sliced(at, std::min(step, stream.size() - at)));
            payloads += drain(decoder, &kinds);
        }
        QCOMPARE(payloads.first(messages.size()), messages);
        QCOMPARE(kinds, (QList<FrameKind>{FrameKind::Chat, FrameKind::UserList, FrameKind::Join,
                                          FrameKind::Leave, FrameKind::PlainUsers}));
        QCOMPARE(LinkFrames::plainUsers(payloads.last()), std::optional<quint32>(70000));
        QCOMPARE(decoder.pendingBytes(), 0);
        QCOMPARE(decoder.error(), Error::None);
    }

    // A frame begun and not finished waits, and is seen at the link's end.
    FrameDecoder decoder(Sender::Terminal);
    decoder.feed(LinkFrames::encode(Channel::Chat, "<A> bir").chopped(1));
    QVERIFY(drain(decoder).isEmpty());
    QCOMPARE(decoder.pendingBytes(), LinkFrames::HeaderBytes + 6);
}

void TestFrames::malformed_data()
{
    QTest::addColumn<int>("sender");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error");
    const int terminal = int(Sender::Terminal);
    const int server = int(Sender::Server);
    QTest::newRow("longer than the limit")
        << terminal << header(0, LinkFrames::MaxPayloadBytes + 1) << int(Error::TooLong);
    QTest::newRow("length in the top byte")
        << server << header(1, 0x01000001) << int(Error::TooLong);
    QTest::newRow("empty") << terminal << header(2, 0) << int(Error::Empty);
    QTest::newRow("unknown kind") << server << header(5, 1) + "x" << int(Error::UnknownKind);
    QTest::newRow("count from a terminal")
        << terminal << LinkFrames::encodePlainUsers(1) << int(Error::UnknownKind);
    QTest::newRow("count of three bytes") << server << header(4, 3) + "abc" << int(Error::BadCount);
}

void TestFrames::malformed()
{
    QFETCH(int, sender);
    QFETCH(QByteArray, bytes);
    QFETCH(int, error);
    // Known from the header alone, after a good frame, and nothing after it is taken.
    FrameDecoder decoder{Sender(sender)};
    decoder.feed(QByteArray(LinkFrames::encode(Channel::Chat, "<A> ok") +
                            bytes.first(LinkFrames::HeaderBytes)));
    QCOMPARE(drain(decoder), QList<QByteArray>{"<A> ok"});
    QCOMPARE(int(decoder.error()), error);
    QVERIFY(!decoder.errorString().isEmpty());
    decoder.feed(QByteArray(bytes.sliced(LinkFrames::HeaderBytes) +
                            LinkFrames::encode(Channel::Chat, "<A> x")));
    QVERIFY(drain(decoder).isEmpty());
    QCOMPARE(decoder.pendingBytes(), 0);
}

void TestFrames::fingerprintSpellings()
{
    const QByteArray digest = Fingerprint::ofCertificate("certificate");
    QCOMPARE(digest.size(), Fingerprint::DigestBytes);
    const QString text = Fingerprint::toText(digest);
    QCOMPARE(text.size(), 3 * Fingerprint::DigestBytes - 1);
    QCOMPARE(text, text.toUpper());
    QCOMPARE(text.left(3), QString::fromLatin1(digest.left(1).toHex().toUpper()) + u':');
    QCOMPARE(Fingerprint::fromHex(Fingerprint::toHex(digest)), digest);
    QCOMPARE(Fingerprint::fromHex(Fingerprint::toHex(digest).toUpper()), digest);
    QVERIFY(Fingerprint::fromHex(Fingerprint::toHex(digest).chopped(2)).isEmpty());
    QVERIFY(Fingerprint::fromHex(Fingerprint::toHex(digest).replace(0, 1, "g")).isEmpty());
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
