#include "chatserver.h"
#include "linkclient.h"
#include "protocol/chatline.h"
#include "protocol/linkframes.h"
#include "serveridentity.h"
#include "testclient.h"

#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Reads = QList<QByteArray>;

// Terminals on the encrypted link, alone and beside plain ones, and what a link that breaks
// the rules costs: itself only.
class TestServerTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linkAndPlainShareOneRoom();
    void framesNeedNoPacing();
    void badInputClosesThatLinkOnly_data();
    void badInputClosesThatLinkOnly();
    void plainRefusedKeepsTheLink();
    void aLinkCountsAsItsHostsFourConnections();
    void whatClosesAChannelClosesItsLink();
    void aVanishedLinkTakesItsHostAlong();
    void anAdminsChainIsPresented();

private:
    static QHostAddress address(int last)
    {
        return QHostAddress(QStringLiteral("127.0.6.%1").arg(last));
    }
    ServerIdentity m_identity;
};

// A terminal on the link, listed under its nickname and joined.
struct LinkTerminal : LinkClient
{
    LinkTerminal(const QHostAddress &server, const QByteArray &nickname, const QHostAddress &from)
        : LinkClient(server, from)
    {
        send(Channel::UserList, nickname);
        send(Channel::Join, nickname);
    }
};

void TestServerTls::initTestCase()
{
    TestClient::captureServerLog();
    QString error;
    m_identity = ServerIdentity::generate(QStringLiteral("tst-server-tls"), &error);
    QVERIFY2(!m_identity.isNull(), qPrintable(error));
}

void TestServerTls::linkAndPlainShareOneRoom()
{
    const QHostAddress at = address(1);
    ChatServer server;
    server.setIdentity(m_identity);
    QVERIFY(server.listen(at));

    auto link = std::make_unique<LinkTerminal>(at,
                                               "\xDE"
                                               "EN",
                                               address(2));
    QTRY_COMPARE(server.nicknames(), Reads{"\xDE"
                                           "EN"});
    QTRY_COMPARE(link->frames(Channel::UserList), Reads{"\xDE"
                                                        "EN"});
    QTRY_COMPARE(link->frames(Channel::Join), Reads{joinNotice("\xDE"
                                                               "EN")});
    QCOMPARE(link->plainUsers(), QList<quint32>{0});
    QCOMPARE(link->socket().peerCertificate(), m_identity.certificate());
    QCOMPARE(link->socket().sessionProtocol(), QSsl::TlsV1_3);

    // A plain terminal from another host: each sees the other as plain terminals do.
    const QHostAddress plainHost = address(3);
    auto plainList = std::make_unique<Listed>(at, "PLAIN", plainHost);
    auto plainChat = std::make_unique<TestClient>(at, Channel::Chat, plainHost);
    TestClient plainJoin(at, Channel::Join, plainHost), plainLeave(at, Channel::Leave, plainHost);
    QTRY_COMPARE(server.nicknames(), (Reads{"\xDE"
                                            "EN",
                                            "PLAIN"}));
    QTRY_COMPARE(plainList->reads().join(), QByteArray("\xDE"
                                                       "ENPLAIN"));
    QTRY_COMPARE(link->frames(Channel::UserList), (Reads{"\xDE"
                                                         "EN",
                                                         "PLAIN"}));
    QTRY_COMPARE(link->plainUsers(), (QList<quint32>{0, 1}));
    plainJoin.send("PLAIN");
    QTRY_COMPARE(link->frames(Channel::Join), (Reads{joinNotice("\xDE"
                                                                "EN"),
                                                     joinNotice("PLAIN")}));

    const Reads lines{"<\xDE"
                      "EN> gizli",
                      "<PLAIN> a\xE7\xFDk"};
    link->send(Channel::Chat, lines.first());
    QTRY_COMPARE(plainChat->reads(), lines.first(1));
    plainChat->send(lines.last());
    QTRY_COMPARE(plainChat->reads(), lines);
    QTRY_COMPARE(link->frames(Channel::Chat), lines);

    // Leaving on the link is told to both; the plain reader's going is told to the link.
    link->send(Channel::Leave, "\xDE"
                               "EN");
    QTRY_COMPARE(plainLeave.reads(), Reads{"\xDE"
                                           "EN"});
    QTRY_COMPARE(link->frames(Channel::Leave), Reads{"\xDE"
                                                     "EN"});
    plainChat.reset();
    QTRY_COMPARE(link->plainUsers(), (QList<quint32>{0, 1, 0}));
    QCOMPARE(server.plainReaders(), 0);

    // A link that goes without leaving takes its name along, as a plain user list does.
    link->send(Channel::UserList, "\xDE"
                                  "EN");
    QTRY_COMPARE(server.nicknames(), (Reads{"PLAIN"}));
    auto second = std::make_unique<LinkTerminal>(at, "\xDDK\xDD", address(4));
    QTRY_COMPARE(server.nicknames(), (Reads{"PLAIN", "\xDDK\xDD"}));
    second.reset();
    QTRY_COMPARE(server.nicknames(), (Reads{"PLAIN"}));
    QTRY_COMPARE(plainLeave.reads(), (Reads{"\xDE"
                                            "EN",
                                            "\xDDK\xDD"}));
    QVERIFY(!link->sawBadFrame());
}

void TestServerTls::framesNeedNoPacing()
{
    const QHostAddress at = address(5);
    ChatServer server;
    server.setIdentity(m_identity);
    server.setLimits({.burstArrivals = 1000});
    QVERIFY(server.listen(at));
    LinkTerminal speaker(at, "A", address(6));
    QTRY_COMPARE(speaker.frames(Channel::UserList), Reads{"A"});

    // Two hundred lines in one write come apart, in order, and faster than plain pacing
    // (5 ms a message at the least) could send them.
    Reads lines;
    QByteArray burst;
    for (int i = 0; i < 200; ++i) {
        lines.append("<A> " + QByteArray::number(i));
        burst += LinkFrames::encode(Channel::Chat, lines.last());
    }
    QElapsedTimer clock;
    clock.start();
    speaker.sendRaw(burst);
    QTRY_COMPARE(speaker.frames(Channel::Chat).size(), lines.size());
    QCOMPARE(speaker.frames(Channel::Chat), lines);
    QVERIFY2(clock.elapsed() < 200 * 5, qPrintable(QString::number(clock.elapsed())));
}

void TestServerTls::badInputClosesThatLinkOnly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("thenEnd");
    QTest::addColumn<QString>("logged");
    const auto header = [](quint8 kind, quint32 length) {
        QByteArray h(LinkFrames::HeaderBytes, Qt::Uninitialized);
        h[0] = char(kind);
        qToBigEndian(length, h.data() + 1);
        return h;
    };
    QTest::newRow("too long") << header(0, LinkFrames::MaxPayloadBytes + 1) << false
                              << QStringLiteral("a frame of 65537 bytes");
    QTest::newRow("unknown kind") << header(7, 3) + "abc" << false
                                  << QStringLiteral("a frame of unknown kind 7");
    QTest::newRow("count from a terminal")
        << header(quint8(FrameKind::PlainUsers), 4) + QByteArray(4, '\0') << false
        << QStringLiteral("a frame of unknown kind 4");
    QTest::newRow("empty") << header(0, 0) << false << QStringLiteral("an empty frame");
    QTest::newRow("cut short") << header(0, 10) + "<A>" << true
                               << QStringLiteral("ended inside a frame");
}

void TestServerTls::badInputClosesThatLinkOnly()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, thenEnd);
    QFETCH(QString, logged);
    const QHostAddress at = address(7);
    ChatServer server;
    server.setIdentity(m_identity);
    QVERIFY(server.listen(at));
    LinkTerminal good(at, "GOOD", address(8));
    QTRY_COMPARE(server.nicknames(), Reads{"GOOD"});

    auto bad = std::make_unique<LinkTerminal>(at, "BAD", address(9));
    QTRY_COMPARE(server.nicknames(), (Reads{"GOOD", "BAD"}));
    bad->send(Channel::Chat, "<BAD> before");
    QTRY_COMPARE(good.frames(Channel::Chat), Reads{"<BAD> before"});
    // Whatever follows is not taken: nothing after a malformed frame can be trusted.
    bad->sendRaw(thenEnd ? bytes : bytes + LinkFrames::encode(Channel::Chat, "<BAD> after"));
    if (thenEnd)
        bad->socket().disconnectFromHost();
    QTRY_VERIFY(TestClient::serverLogContains(logged));
    QTRY_COMPARE(server.nicknames(), Reads{"GOOD"});
    QCOMPARE(server.linkCount(), 1);
    good.send(Channel::Chat, "<GOOD> still here");
    QTRY_COMPARE(good.frames(Channel::Chat), (Reads{"<BAD> before", "<GOOD> still here"}));
}

void TestServerTls::plainRefusedKeepsTheLink()
{
    const QHostAddress at = address(10);
    ChatServer server;
    server.setIdentity(m_identity);
    server.setPlainRefused(true);
    server.setLimits({.handshakeDeadline = 300ms});
    QVERIFY(server.listen(at));
    TestClient plain(at, Channel::UserList);
    QTRY_COMPARE(plain.socket().error(), QAbstractSocket::ConnectionRefusedError);

    // Plain bytes on the link's port, and a connection that never starts its handshake.
    QTcpSocket talker, silent;
    talker.connectToHost(at, LinkPort);
    silent.connectToHost(at, LinkPort);
    QVERIFY(talker.waitForConnected(5000) && silent.waitForConnected(5000));
    talker.write("ALİ\r\n");
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("TLS failed")));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("no TLS handshake within 300 ms")));
    QTRY_COMPARE(silent.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(talker.state(), QAbstractSocket::UnconnectedState);

    LinkTerminal link(at, "A", address(11));
    QTRY_COMPARE(link.frames(Channel::Join), Reads{joinNotice("A")});
}

void TestServerTls::aLinkCountsAsItsHostsFourConnections()
{
    const QHostAddress at = address(12);
    ChatServer server;
    server.setIdentity(m_identity);
    server.setLimits({.maxConnectionsPerHost = 9});
    QVERIFY(server.listen(at));
    const QHostAddress host = address(13);
    LinkClient first(at, host), second(at, host);
    QTRY_COMPARE(server.connectionCount(), 8);
    QTRY_VERIFY(first.isEncrypted() && second.isEncrypted());
    // Room for one more connection, not for a link's four.
    LinkClient third(at, host);
    QTRY_COMPARE(third.socket().state(), QAbstractSocket::UnconnectedState);
    TestClient plain(at, Channel::Chat, host);
    QTRY_COMPARE(server.connectionCount(), 9);
    QVERIFY(TestClient::serverLogContains(QStringLiteral("link %1").arg(host.toString())));
}

void TestServerTls::whatClosesAChannelClosesItsLink()
{
    const QHostAddress at = address(17);
    ChatServer server;
    server.setIdentity(m_identity);
    server.setLimits({.nicknameDeadline = 300ms});
    QVERIFY(server.listen(at));
    LinkClient tab(at, address(18)), silent(at, address(19)), listOnly(at, address(20));
    tab.send(Channel::UserList, "AL\tI");
    tab.send(Channel::Join, "AL\tI");
    listOnly.send(Channel::UserList, "LISTED");
    LinkTerminal named(at, "NAMED", address(21));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("control character")));
    QTRY_COMPARE(tab.socket().state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(silent.socket().state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(listOnly.socket().state(), QAbstractSocket::UnconnectedState);
    QVERIFY(TestClient::serverLogContains(QStringLiteral("no nickname within 300 ms")));
    QCOMPARE(server.nicknames(), Reads{"NAMED"});
    QCOMPARE(server.linkCount(), 1);
    QVERIFY(named.isConnected());
}

void TestServerTls::aVanishedLinkTakesItsHostAlong()
{
    const QHostAddress at = address(14);
    const QHostAddress gone = address(15);
    const QHostAddress stays = address(16);
    ChatServer server;
    server.setIdentity(m_identity);
    server.setLimits({.link = {20s, 5s, 4, 1s}});
    QVERIFY(server.listen(at));

    // A link whose machine takes in a few KiB and then nothing more, as one that vanished
    // does: its receive buffer is small, and it stops reading once the handshake is done.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in local{AF_INET, 0, {htonl(gone.toIPv4Address())}, {}};
    sockaddr_in remote{AF_INET, htons(LinkPort), {htonl(at.toIPv4Address())}, {}};
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0);
    QVERIFY(::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) == 0);
    QSslSocket vanishing;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    vanishing.setSslConfiguration(tls);
    QVERIFY(vanishing.setSocketDescriptor(fd));
    vanishing.startClientEncryption();
    QTRY_VERIFY(vanishing.isEncrypted());
    vanishing.write(LinkFrames::encode(Channel::UserList, "KAYIP"));
    Listed alsoGone(at, "KAYIP2", gone);
    QTRY_COMPARE(server.nicknames().size(), 2);
    vanishing.setReadBufferSize(1);

    Listed ali(at, "ALI", stays);
    TestClient aliChat(at, Channel::Chat, stays), aliLeave(at, Channel::Leave, stays);
    QTRY_COMPARE(server.nicknames().size(), 3);
    for (int i = 0; i < 6; ++i)
        aliChat.send("<ALI> " + QByteArray(8000, 'a' + char(i)));
    QTRY_VERIFY_WITH_TIMEOUT(server.nicknames() == Reads{"ALI"}, 15000);
    QTRY_COMPARE(aliLeave.reads(), (Reads{"KAYIP", "KAYIP2"}));
    QVERIFY(TestClient::serverLogContains(QStringLiteral("tls: timed out")));
    QTRY_COMPARE(server.linkCount(), 0);
    QTRY_VERIFY(!alsoGone.isConnected());
    QVERIFY(ali.isConnected() && aliChat.isConnected());
}

void TestServerTls::anAdminsChainIsPresented()
{
    // A certificate file holding the server's certificate and an authority behind it.
    QString error;
    const ServerIdentity authority = ServerIdentity::generate(QStringLiteral("authority"), &error);
    QTemporaryDir files;
    QFile certificate(files.filePath(QStringLiteral("chain.pem")));
    QFile key(files.filePath(QStringLiteral("key.pem")));
    QVERIFY(certificate.open(QIODevice::WriteOnly) && key.open(QIODevice::WriteOnly));
    certificate.write(m_identity.certificate().toPem() + authority.certificate().toPem());
    key.write(m_identity.key().toPem());
    certificate.close();
    key.close();
    const ServerIdentity admins =
        ServerIdentity::load(certificate.fileName(), key.fileName(), &error);
    QVERIFY2(!admins.isNull(), qPrintable(error));
    QCOMPARE(admins.fingerprint(), m_identity.fingerprint());

    const QHostAddress at = address(22);
    ChatServer server;
    server.setIdentity(admins);
    QVERIFY(server.listen(at));
    LinkClient link(at, address(23));
    QTRY_VERIFY(link.isEncrypted());
    QCOMPARE(link.socket().peerCertificateChain(),
             (QList<QSslCertificate>{m_identity.certificate(), authority.certificate()}));
}

QTEST_GUILESS_MAIN(TestServerTls)
#include "tst_server_tls.moc"
