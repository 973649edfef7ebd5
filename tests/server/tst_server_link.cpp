#include "chatserver.h"
#include "kernelqueues.h"
#include "peer.h"
#include "testclient.h"

#include <QTcpServer>
#include <QTest>

#include <optional>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Reads = QList<QByteArray>;

namespace {

int option(qintptr descriptor, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    ::getsockopt(int(descriptor), level, name, &value, &size);
    return value;
}

// A chat connection from a machine that takes in a few KiB and then nothing more, as one
// that vanished does, without Qt reading for it.
struct Unread
{
    Unread(const QHostAddress &server, const QHostAddress &from)
    {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in local{AF_INET, 0, {htonl(from.toIPv4Address())}, {}};
        sockaddr_in remote{
            AF_INET, htons(portOf(Channel::Chat)), {htonl(server.toIPv4Address())}, {}};
        connected = ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
                    ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) == 0;
    }
    ~Unread() { ::close(fd); }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool connected = false;
};

} // namespace

class TestServerLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void timersAndPromptAcknowledgementOnEveryConnection();
    void eachEndIsToldAsItCame_data();
    void eachEndIsToldAsItCame();
    void nextMessageWaitsForTheLastToBeAcknowledged();
    void machineThatStopsAnsweringLeavesWithAllItsConnections();
};

void TestServerLink::timersAndPromptAcknowledgementOnEveryConnection()
{
    const QHostAddress at(QStringLiteral("127.0.0.190"));
    QTcpServer listener;
    QVERIFY(listener.listen(at));
    QTcpSocket raw;
    raw.connectToHost(at, listener.serverPort());
    QVERIFY(listener.waitForNewConnection(5000));
    QTcpSocket *socket = listener.nextPendingConnection();
    Peer peer(socket, Channel::Chat, {.link = {7s, 3s, 2, 4500ms}});
    const qintptr fd = socket->socketDescriptor();
    QCOMPARE(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_KEEPCNT), 2);
    QCOMPARE(option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 4500);

    // Answering each arrival at once puts the kernel into delaying its acknowledgements;
    // every read must take it out again.
    QList<int> quick;
    connect(&peer, &Peer::arrived, this, [&](const QByteArray &message) {
        quick.append(option(fd, IPPROTO_TCP, TCP_QUICKACK));
        peer.send(message);
    });
    connect(&raw, &QTcpSocket::readyRead, this, [&] {
        if (raw.readAll().size() > 0 && quick.size() < 8)
            raw.write("x");
    });
    raw.write("x");
    QTRY_COMPARE(quick.size(), 8);
    QCOMPARE(quick, QList<int>(8, 1));
}

void TestServerLink::eachEndIsToldAsItCame_data()
{
    QTest::addColumn<ConnectionEnd>("how");
    QTest::newRow("closed") << ConnectionEnd::Closed;
    QTest::newRow("reset") << ConnectionEnd::Reset;
    QTest::newRow("timed out") << ConnectionEnd::TimedOut;
}

void TestServerLink::eachEndIsToldAsItCame()
{
    // Only a time-out takes the address's other connections along: it must never pass as a
    // reset or a close, nor they as one.
    QFETCH(ConnectionEnd, how);
    const QHostAddress at(QStringLiteral("127.0.0.193"));
    const QHostAddress from(QStringLiteral("127.0.1.194"));
    QTcpServer listener;
    QVERIFY(listener.listen(at, portOf(Channel::Chat)));
    std::optional<TestClient> client;
    std::optional<Unread> unread;
    if (how == ConnectionEnd::TimedOut)
        unread.emplace(at, from);
    else
        client.emplace(at, Channel::Chat, from);
    QVERIFY(listener.waitForNewConnection(5000));
    Peer peer(listener.nextPendingConnection(), Channel::Chat, {.link = {20s, 5s, 4, 1s}});
    QList<ConnectionEnd> ends;
    connect(&peer, &Peer::closed, this, [&](ConnectionEnd end) { ends.append(end); });
    switch (how) {
    case ConnectionEnd::Closed:
        client->socket().disconnectFromHost();
        break;
    case ConnectionEnd::Reset:
        QTRY_VERIFY(client->isConnected());
        KernelQueues::resetOnClose(client->socket().socketDescriptor());
        client->socket().abort();
        break;
    case ConnectionEnd::TimedOut:
        // More than the machine that stopped reading takes in.
        for (int i = 0; i < 4; ++i)
            peer.send(QByteArray(64 * 1024, 'x'));
        break;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!ends.isEmpty(), 15000);
    QCOMPARE(ends.size(), 1);
    // Qt tells a reset as a close; the relay core treats the two alike.
    QCOMPARE(ends.first() == ConnectionEnd::TimedOut, how == ConnectionEnd::TimedOut);
}

void TestServerLink::nextMessageWaitsForTheLastToBeAcknowledged()
{
    const QHostAddress at(QStringLiteral("127.0.0.191"));
    QTcpServer listener;
    QVERIFY(listener.listen(at, portOf(Channel::Chat)));
    for (const bool wait : {true, false}) {
        // Everything sent, not all of it acknowledged: what a link that drops packets shows.
        qint64 unacknowledged = 3;
        int asked = 0;
        TestClient client(at, Channel::Chat);
        QVERIFY(listener.waitForNewConnection(5000));
        ServerLimits limits;
        limits.waitForAcknowledgement = wait;
        Peer peer(listener.nextPendingConnection(), Channel::Chat, limits);
        peer.setKernelProbe({[&](qintptr) {
                                 ++asked;
                                 return unacknowledged;
                             },
                             [](qintptr) { return qint64(0); }});
        peer.send("one");
        peer.send("two");
        if (wait) {
            QTRY_VERIFY(asked >= 5);
            QCOMPARE(client.reads(), Reads{"one"});
            unacknowledged = 0;
        }
        QTRY_COMPARE(client.reads(), (Reads{"one", "two"}));
    }
}

void TestServerLink::machineThatStopsAnsweringLeavesWithAllItsConnections()
{
    const QHostAddress at(QStringLiteral("127.0.0.192"));
    const QHostAddress gone(QStringLiteral("127.0.1.192"));
    const QHostAddress stays(QStringLiteral("127.0.1.193"));
    ChatServer server;
    server.setLimits({.link = {20s, 5s, 4, 1s}});
    QVERIFY(server.listen(at));
    Listed kayip(at, "KAYIP", gone), kayipToo(at, "KAYIP2", gone);
    TestClient kayipLeave(at, Channel::Leave, gone);
    Unread kayipChat(at, gone);
    QVERIFY(kayipChat.connected);
    Listed ali(at, "ALI", stays);
    TestClient aliChat(at, Channel::Chat, stays), aliReset(at, Channel::Chat, stays),
        aliLeave(at, Channel::Leave, stays);
    QTRY_COMPARE(server.connectionCount(), 8);
    QTRY_COMPARE(server.nicknames().size(), 3);

    // A reset comes from a machine that answers: it ends that connection alone.
    KernelQueues::resetOnClose(aliReset.socket().socketDescriptor());
    aliReset.socket().abort();
    QTRY_COMPARE(server.connectionCount(), 7);

    // Lines pile up unacknowledged towards the machine that stopped reading, until the
    // send timeout gives it up with its other connections, and both its names leave.
    for (int i = 0; i < 6; ++i)
        aliChat.send("<ALI> " + QByteArray(8000, 'a' + char(i)));
    QTRY_VERIFY_WITH_TIMEOUT(server.nicknames() == Reads{"ALI"}, 15000);
    QTRY_COMPARE(aliLeave.reads(), (Reads{"KAYIP", "KAYIP2"}));
    QVERIFY(TestClient::serverLogContains(QStringLiteral("\"KAYIP2\" timed out")));
    QTRY_COMPARE(server.connectionCount(), 3);
    QVERIFY(!kayip.isConnected() && !kayipToo.isConnected() && !kayipLeave.isConnected());
    QVERIFY(ali.isConnected() && aliChat.isConnected());
}

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_server_link.moc"
