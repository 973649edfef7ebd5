// The session against a server offering the encrypted link: when it goes on the link, what
// certificate it takes, that it never goes plain where the link was, and what it says of it.
#include "channels/chatsession.h"
#include "channels/linkworker.h"
#include "channels/socketerrors.h"
#include "channels/winsock.h"
#include "chatserver.h"
#include "common/testauthority.h"
#include "protocol/fingerprint.h"
#include "protocol/linkframes.h"
#include "serveridentity.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace std::chrono_literals;

class TestSecureSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void typedNameGoesOnTheLinkWhereOffered();
    void typedNameGoesPlainWhereNoLink_data();
    void typedNameGoesPlainWhereNoLink();
    void announcedCertificateOrNothing_data();
    void announcedCertificateOrNothing();
    void neverPlainAgainWhereTheLinkWas();
    void retriesStayOnTheLinkAndRefuseAnotherCertificate();
    void serverThatBreaksTheFramesIsLeft();
    void typedNameVouchedForOnlyAsIssued_data();
    void typedNameVouchedForOnlyAsIssued();
    void announcedServerVouchedForUnderItsHostName_data();
    void announcedServerVouchedForUnderItsHostName();
    void vouchedHostMayRenewItsCertificate();

private:
    ServerIdentity m_identity;
    ServerIdentity m_other;
    TestAuthority m_trusted{QStringLiteral("Vornel Test CA")};
    TestAuthority m_untrusted{QStringLiteral("Vornel Stranger CA")};
};

namespace {

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

QString address(int last)
{
    return QStringLiteral("127.0.7.%1").arg(last);
}

// A session whose retries come at the shortest waits the schedule allows.
struct Terminal
{
    explicit Terminal(const QString &nick = QStringLiteral("ALI")) { session.setNickname(nick); }
    bool isUp() const { return session.privacy().encrypted || session.userList().count() > 0; }

    ChatSession session{nullptr, ChatSession::Reading::OwnThread, &monotonicMs, [] { return 0.0; }};
};

// A link port that answers nothing, as a firewall that drops it does: a listener whose queue
// is full, taken by a connection of its own, so that the kernel drops every further SYN.
struct SilentLinkPort
{
    explicit SilentLinkPort(const QString &at)
    {
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{AF_INET, htons(LinkPort), {htonl(QHostAddress(at).toIPv4Address())}, {}};
        ok = ::bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
             ::listen(listener, 0) == 0 &&
             ::connect(filler, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
    }
    ~SilentLinkPort()
    {
        ::close(filler);
        ::close(listener);
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    bool ok = false;
};

// The connect failed with errors numbered so, and nothing went in plain: no connection or
// nickname reached the server, and no channel was ever aimed at a plain port.
void refusedWithNothingPlain(const ChatSession &session, const QSignalSpy &errors, int number,
                             const ChatServer &server)
{
    QVERIFY(!errors.isEmpty());
    for (const QList<QVariant> &error : errors)
        QCOMPARE(error.at(0).toInt(), number);
    QVERIFY(!session.isConnected());
    QTRY_COMPARE(server.connectionCount(), 0);
    QVERIFY(server.nicknames().isEmpty());
    for (const Winsock *channel : session.findChildren<Winsock *>())
        QCOMPARE(channel->RemotePort(), LinkPort);
}

// A server's end of the link that sends what the test says, whatever it is.
class RawLinkServer : public QTcpServer
{
public:
    explicit RawLinkServer(const ServerIdentity &identity) : m_identity(identity) {}
    QSslSocket *last = nullptr;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(m_identity.certificate());
        socket->setPrivateKey(m_identity.key());
        socket->startServerEncryption();
        last = socket;
    }

private:
    ServerIdentity m_identity;
};

} // namespace

void TestSecureSession::initTestCase()
{
    QString error;
    m_identity = ServerIdentity::generate(QStringLiteral("vornel-test"), &error);
    m_other = ServerIdentity::generate(QStringLiteral("vornel-test"), &error);
    QVERIFY2(!m_identity.isNull() && !m_other.isNull(), qPrintable(error));
    QVERIFY2(!m_trusted.isNull() && !m_untrusted.isNull(),
             qPrintable(m_trusted.error() + m_untrusted.error()));
    // Trusted for the whole run: the servers of the other tests show certificates of their own.
    m_trusted.trust();
}

void TestSecureSession::typedNameGoesOnTheLinkWhereOffered()
{
    ChatServer server;
    server.setIdentity(m_identity);
    QVERIFY(server.listen(QHostAddress(address(1))));
    Terminal ali;
    QSignalSpy privacy(&ali.session, &ChatSession::privacyChanged);
    QVERIFY(ali.session.connectTo(address(1)).ok());
    QTRY_COMPARE(server.nicknames(), QList<QByteArray>{"ALI"});
    QTRY_COMPARE(ali.session.userList().count(), 1);
    QCOMPARE(server.linkCount(), 1);
    QCOMPARE(server.connectionCount(), 4);
    ConnectionPrivacy now = ali.session.privacy();
    QVERIFY(now.encrypted);
    QVERIFY(now.vouchedName.isEmpty()); // its own certificate: nobody vouches for it
    QCOMPARE(now.fingerprint, m_identity.fingerprint());
    QCOMPARE(now.plainUsers, 0);

    // Someone reading in plain is told, and the line still goes.
    QTcpSocket plainReader;
    plainReader.connectToHost(QHostAddress(address(1)), portOf(Channel::Chat));
    QTRY_COMPARE(ali.session.privacy().plainUsers, 1);
    QVERIFY(privacy.count() >= 2);
    QSignalSpy chat(&ali.session, &ChatSession::chatArrived);
    QVERIFY(ali.session.say(QStringLiteral("merhaba")).ok());
    QTRY_COMPARE(chat.count(), 1);
    QCOMPARE(chat.at(0).at(0).toByteArray(), QByteArray("<ALI> merhaba"));
    QTRY_VERIFY(plainReader.bytesAvailable() > 0);
    QCOMPARE(plainReader.readAll(), QByteArray("<ALI> merhaba"));

    ali.session.leave();
    QTRY_VERIFY(server.nicknames().isEmpty());
    QVERIFY(!ali.session.privacy().encrypted);
}

void TestSecureSession::typedNameGoesPlainWhereNoLink_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("link port refused") << false;
    QTest::newRow("link port silent") << true;
}

void TestSecureSession::typedNameGoesPlainWhereNoLink()
{
    QFETCH(bool, silent);
    const QString at = address(silent ? 3 : 2);
    std::unique_ptr<SilentLinkPort> dropping;
    if (silent) {
        dropping = std::make_unique<SilentLinkPort>(at);
        QVERIFY(dropping->ok);
    }
    ChatServer server; // the plain protocol alone
    QVERIFY(server.listen(QHostAddress(at)));
    Terminal ali;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(server.connectionCount(), 4);
    qInfo("plain after %lld ms", qlonglong(clock.elapsed()));
    // Refused, plain at once; unanswered, plain well within a second and a half.
    QVERIFY2(clock.elapsed() < (silent ? 1500 : LinkWorker::AnswerTimeoutMs),
             qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(ali.session.userList().count(), 1);
    QCOMPARE(server.linkCount(), 0);
    QVERIFY(!ali.session.privacy().encrypted);
}

void TestSecureSession::announcedCertificateOrNothing_data()
{
    QTest::addColumn<bool>("announcedRight");
    QTest::newRow("the announced certificate") << true;
    QTest::newRow("another certificate") << false;
}

void TestSecureSession::announcedCertificateOrNothing()
{
    QFETCH(bool, announcedRight);
    const QString at = address(announcedRight ? 4 : 5);
    ChatServer server;
    server.setIdentity(m_identity);
    QVERIFY(server.listen(QHostAddress(at)));
    Terminal ali;
    QSignalSpy errors(&ali.session, &ChatSession::socketError);
    const ServerIdentity &announced = announcedRight ? m_identity : m_other;
    const Destination found{
        at, true, {LinkPort, announced.fingerprint()}, QStringLiteral("ofis.local")};
    QVERIFY(ali.session.connectTo(found).ok());
    if (announcedRight) {
        QTRY_COMPARE(ali.session.userList().count(), 1);
        QVERIFY(ali.session.privacy().encrypted);
        QCOMPARE(ali.session.privacy().fingerprint, m_identity.fingerprint());
        QVERIFY(errors.isEmpty());
        return;
    }
    // Refused once, and nothing at all in plain.
    QTRY_COMPARE(errors.count(), 1);
    refusedWithNothingPlain(ali.session, errors, SocketErrors::ServerIdentityRefused, server);
}

void TestSecureSession::neverPlainAgainWhereTheLinkWas()
{
    const QString at = address(6);
    auto server = std::make_unique<ChatServer>();
    server->setIdentity(m_identity);
    QVERIFY(server->listen(QHostAddress(at)));
    Terminal ali;
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_VERIFY(ali.session.privacy().encrypted);
    ali.session.leave();

    // The same host, now in plain alone (a downgrade, or an impostor): the user's own connect
    // fails on the link port as a plain one would, and nothing reaches the plain ports.
    server = std::make_unique<ChatServer>();
    QVERIFY(server->listen(QHostAddress(at)));
    QSignalSpy errors(&ali.session, &ChatSession::socketError);
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(errors.count(), 2);
    refusedWithNothingPlain(ali.session, errors, SocketErrors::ConnectionRefused, *server);

    // Another certificate on the link is refused too, with a box of its own.
    server = std::make_unique<ChatServer>();
    server->setIdentity(m_other);
    QVERIFY(server->listen(QHostAddress(at)));
    errors.clear();
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(SocketErrors::ServerIdentityRefused));
    QTRY_COMPARE(server->connectionCount(), 0);
}

void TestSecureSession::retriesStayOnTheLinkAndRefuseAnotherCertificate()
{
    const QString at = address(7);
    auto server = std::make_unique<ChatServer>();
    server->setIdentity(m_identity);
    QVERIFY(server->listen(QHostAddress(at)));
    Terminal ali;
    QSignalSpy lost(&ali.session, &ChatSession::connectionLost);
    QSignalSpy refused(&ali.session, &ChatSession::attemptRefused);
    QSignalSpy back(&ali.session, &ChatSession::reconnected);
    QSignalSpy attempts(&ali.session, &ChatSession::attemptStarted);
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_VERIFY(ali.session.privacy().encrypted);

    // Restarted in plain: the attempts go to the link port alone.
    server = std::make_unique<ChatServer>();
    QVERIFY(server->listen(QHostAddress(at)));
    QTRY_COMPARE(lost.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(attempts.count() >= 2, 10000);
    QCOMPARE(server->connectionCount(), 0);
    QVERIFY(refused.isEmpty());

    // With another certificate: each attempt refused, and told.
    server = std::make_unique<ChatServer>();
    server->setIdentity(m_other);
    QVERIFY(server->listen(QHostAddress(at)));
    QTRY_VERIFY_WITH_TIMEOUT(refused.count() >= 1, 10000);
    QCOMPARE(refused.at(0).at(0).toInt(), int(SocketErrors::ServerIdentityRefused));
    QVERIFY(ali.session.isRetrying());
    QVERIFY(server->nicknames().isEmpty());

    // Back with its own: on the link again.
    server = std::make_unique<ChatServer>();
    server->setIdentity(m_identity);
    QVERIFY(server->listen(QHostAddress(at)));
    QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, 10000);
    QTRY_VERIFY(ali.session.privacy().encrypted);
    QCOMPARE(server->linkCount(), 1);
    QTRY_COMPARE(server->nicknames(), QList<QByteArray>{"ALI"});
}

void TestSecureSession::serverThatBreaksTheFramesIsLeft()
{
    RawLinkServer server(m_identity);
    QVERIFY(server.listen(QHostAddress(address(21)), LinkPort));
    Terminal ali;
    QSignalSpy lost(&ali.session, &ChatSession::connectionLost);
    QVERIFY(ali.session.connectTo(address(21)).ok());
    QTRY_VERIFY(server.last && server.last->isEncrypted());
    QTRY_VERIFY(ali.session.privacy().encrypted);
    // Whole frames count; after one of a kind nobody knows, nothing does.
    QByteArray bytes =
        LinkFrames::encode(Channel::UserList, "VELI") + LinkFrames::encodePlainUsers(2);
    bytes += QByteArray("\x09\0\0\0\x01x", 6) + LinkFrames::encode(Channel::UserList, "SAHTE");
    QSignalSpy listed(&ali.session.userList(), &QAbstractItemModel::rowsInserted);
    server.last->write(bytes);
    QTRY_COMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).at(0).toInt(), int(SocketErrors::Unexpected));
    QCOMPARE(listed.count(), 1); // VELI, and nothing behind the broken frame
    QVERIFY(ali.session.isRetrying());
    ali.session.leave();
}

void TestSecureSession::typedNameVouchedForOnlyAsIssued_data()
{
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("issuedFor");
    QTest::addColumn<bool>("byTrusted");
    QTest::addColumn<bool>("vouched");
    QTest::newRow("trusted, for the name typed") << 8 << address(8) << true << true;
    QTest::newRow("trusted, for another address") << 9 << address(20) << true << false;
    QTest::newRow("untrusted, for the name typed") << 10 << address(10) << false << false;
}

void TestSecureSession::typedNameVouchedForOnlyAsIssued()
{
    QFETCH(int, at);
    QFETCH(QString, issuedFor);
    QFETCH(bool, byTrusted);
    QFETCH(bool, vouched);
    QString error;
    const ServerIdentity identity =
        (byTrusted ? m_trusted : m_untrusted).identity(issuedFor, &error);
    QVERIFY2(!identity.isNull(), qPrintable(error));
    ChatServer server;
    server.setIdentity(identity);
    QVERIFY(server.listen(QHostAddress(address(at))));
    Terminal ali;
    QVERIFY(ali.session.connectTo(address(at)).ok());
    QTRY_COMPARE(ali.session.userList().count(), 1);
    QCOMPARE(server.linkCount(), 1);
    // Whoever vouched or not, a first contact by a name typed goes on the link.
    const ConnectionPrivacy privacy = ali.session.privacy();
    QVERIFY(privacy.encrypted);
    QCOMPARE(privacy.fingerprint, identity.fingerprint());
    QCOMPARE(privacy.vouchedName, vouched ? address(at) : QString());
}

void TestSecureSession::announcedServerVouchedForUnderItsHostName_data()
{
    QTest::addColumn<int>("at");
    QTest::addColumn<bool>("byTrusted");
    QTest::newRow("trusted authority") << 11 << true;
    QTest::newRow("untrusted authority") << 12 << false;
}

void TestSecureSession::announcedServerVouchedForUnderItsHostName()
{
    QFETCH(int, at);
    QFETCH(bool, byTrusted);
    QString error;
    const ServerIdentity identity =
        (byTrusted ? m_trusted : m_untrusted).identity(QStringLiteral("ofis.local"), &error);
    QVERIFY2(!identity.isNull(), qPrintable(error));
    ChatServer server;
    server.setIdentity(identity);
    QVERIFY(server.listen(QHostAddress(address(at))));
    Terminal ali;
    QSignalSpy errors(&ali.session, &ChatSession::socketError);
    // The announcement names a certificate the server no longer shows.
    const Destination found{
        address(at), true, {LinkPort, m_identity.fingerprint()}, QStringLiteral("ofis.local")};
    QVERIFY(ali.session.connectTo(found).ok());
    if (byTrusted) {
        QTRY_COMPARE(ali.session.userList().count(), 1);
        QCOMPARE(ali.session.privacy().vouchedName, QStringLiteral("ofis.local"));
        QCOMPARE(ali.session.privacy().fingerprint, identity.fingerprint());
        QVERIFY(errors.isEmpty());
        return;
    }
    QTRY_COMPARE(errors.count(), 1);
    refusedWithNothingPlain(ali.session, errors, SocketErrors::ServerIdentityRefused, server);
}

void TestSecureSession::vouchedHostMayRenewItsCertificate()
{
    const QString at = address(13);
    QString error;
    const ServerIdentity first = m_trusted.identity(at, &error);
    const ServerIdentity renewed = m_trusted.identity(at, &error);
    const ServerIdentity misnamed = m_trusted.identity(address(20), &error);
    QVERIFY2(!first.isNull() && !renewed.isNull() && !misnamed.isNull(), qPrintable(error));
    auto server = std::make_unique<ChatServer>();
    server->setIdentity(first);
    QVERIFY(server->listen(QHostAddress(at)));
    Terminal ali;
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(ali.session.userList().count(), 1);
    QCOMPARE(ali.session.privacy().vouchedName, at);
    ali.session.leave();

    // Taken by its fingerprint no longer, but still vouched for under the name.
    server = std::make_unique<ChatServer>();
    server->setIdentity(renewed);
    QVERIFY(server->listen(QHostAddress(at)));
    QSignalSpy errors(&ali.session, &ChatSession::socketError);
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(ali.session.userList().count(), 1);
    QCOMPARE(ali.session.privacy().fingerprint, renewed.fingerprint());
    QCOMPARE(ali.session.privacy().vouchedName, at);
    QVERIFY(errors.isEmpty());
    ali.session.leave();

    // The same authority's word for another name is no word for this host.
    server = std::make_unique<ChatServer>();
    server->setIdentity(misnamed);
    QVERIFY(server->listen(QHostAddress(at)));
    QVERIFY(ali.session.connectTo(at).ok());
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(SocketErrors::ServerIdentityRefused));
    QTRY_COMPARE(server->connectionCount(), 0);
    QVERIFY(server->nicknames().isEmpty());
}

QTEST_GUILESS_MAIN(TestSecureSession)
#include "tst_securesession.moc"
