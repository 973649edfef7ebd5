#include "chatserver.h"
#include "kernelqueues.h"
#include "logcapture.h"
#include "testclient.h"

#include <QSignalSpy>
#include <QTest>

#include <optional>

#include <memory>
#include <vector>

using Reads = QList<QByteArray>;

class TestServerLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_log.emplace(); }
    void init() { m_log->clear(); }
    void connectionsBeyondTheCapAreRefused();
    void oversizedArrivalIsDroppedWhole();
    void longNicknameIsCutEverywhere();
    void clientThatNeverReadsIsDisconnected();
    void floodIsDropped();
    void garbageAndResetsLeaveNoTrace();

private:
    // QtTest installs its own message handler once it runs, so ours goes in after it.
    std::optional<LogCapture> m_log;
};

void TestServerLimits::connectionsBeyondTheCapAreRefused()
{
    const QHostAddress address(QStringLiteral("127.0.0.178"));
    ChatServer server;
    ServerLimits limits;
    limits.maxConnections = 3;
    server.setLimits(limits);
    QVERIFY(server.listen(address));
    TestClient a, b, c, refused, later;
    for (TestClient *client : {&a, &b, &c})
        QVERIFY(client->connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 3);

    QSignalSpy closed(&refused.socket(), &QTcpSocket::disconnected);
    QVERIFY(refused.connectTo(address, Channel::UserList));
    QVERIFY(closed.wait());
    QCOMPARE(server.connectionCount(), 3);

    c.socket().disconnectFromHost();
    QTRY_COMPARE(server.connectionCount(), 2);
    QVERIFY(later.connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 3);
    a.send("<A> hi");
    QTRY_COMPARE(later.reads(), Reads{"<A> hi"});
    QTRY_COMPARE(b.reads(), Reads{"<A> hi"});
}

void TestServerLimits::oversizedArrivalIsDroppedWhole()
{
    const QHostAddress address(QStringLiteral("127.0.0.179"));
    ChatServer server;
    ServerLimits limits;
    limits.maxArrivalBytes = 1000;
    server.setLimits(limits);
    QVERIFY(server.listen(address));
    TestClient sender, reader;
    QVERIFY(sender.connectTo(address, Channel::Chat));
    QVERIFY(reader.connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 2);

    const QByteArray largest(1000, 'y');
    sender.send(largest);
    QTRY_COMPARE(reader.reads(), Reads{largest});
    // None of it may get through, not even its tail as a message of its own.
    sender.send(QByteArray(5000, 'x'));
    QTRY_VERIFY(m_log->contains(QStringLiteral("dropped an arrival of 5000 bytes")));
    sender.send("<A> ok");
    QTRY_COMPARE(reader.reads(), (Reads{largest, "<A> ok"}));
}

void TestServerLimits::longNicknameIsCutEverywhere()
{
    const QHostAddress address(QStringLiteral("127.0.0.180"));
    ChatServer server;
    ServerLimits limits;
    limits.maxNicknameBytes = 8;
    server.setLimits(limits);
    QVERIFY(server.listen(address));
    TestClient list, join, leave;
    QVERIFY(list.connectTo(address, Channel::UserList));
    QVERIFY(join.connectTo(address, Channel::Join));
    QVERIFY(leave.connectTo(address, Channel::Leave));
    QTRY_COMPARE(server.connectionCount(), 3);

    const QByteArray nickname("ABCDEFGHIJKL");
    list.send(nickname);
    join.send(nickname);
    QTRY_COMPARE(list.reads(), Reads{"ABCDEFGH"});
    QTRY_COMPARE(join.reads(), Reads{"ABCDEFGH sohbete kat\xFDld\xFD."});

    // The leave carries the full name again and must still find the cut entry.
    leave.send(nickname);
    QTRY_COMPARE(leave.reads(), Reads{"ABCDEFGH"});
    QVERIFY(server.nicknames().isEmpty());
}

void TestServerLimits::clientThatNeverReadsIsDisconnected()
{
    const QHostAddress address(QStringLiteral("127.0.0.181"));
    ChatServer server;
    ServerLimits limits;
    limits.maxQueuedBytes = 256 * 1024;
    limits.burstArrivals = 1000;
    server.setLimits(limits);
    QVERIFY(server.listen(address));
    TestClient sender, reader, stuck;
    for (TestClient *client : {&sender, &reader, &stuck})
        QVERIFY(client->connectTo(address, Channel::Chat));
    // Takes one byte, then leaves the rest to pile up in the kernel and then on the server.
    stuck.socket().setReadBufferSize(1);
    QTRY_COMPARE(server.connectionCount(), 3);

    const QByteArray message(32 * 1024, 'm');
    int sent = 0;
    while (server.connectionCount() == 3 && sent < 500) {
        sender.send(message);
        ++sent;
        QTRY_COMPARE(sender.bytesRead(), sent * message.size());
    }
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(m_log->contains(QStringLiteral("send queue full")));
    sender.send(message);
    ++sent;
    QTRY_COMPARE(reader.bytesRead(), sent * message.size());
}

void TestServerLimits::floodIsDropped()
{
    const QHostAddress address(QStringLiteral("127.0.0.182"));
    ChatServer server;
    ServerLimits limits;
    limits.burstArrivals = 3;
    limits.arrivalsPerSecond = 0;
    server.setLimits(limits);
    QVERIFY(server.listen(address));
    TestClient flooder, reader;
    QVERIFY(flooder.connectTo(address, Channel::Chat));
    QVERIFY(reader.connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 2);

    const Reads lines{"<F> 1", "<F> 2", "<F> 3"};
    for (const QByteArray &line : lines) {
        flooder.send(line);
        QTRY_VERIFY(flooder.reads().endsWith(line));
    }
    flooder.send("<F> 4");
    QTRY_VERIFY(m_log->contains(QStringLiteral("too fast")));
    QCOMPARE(reader.reads(), lines);
}

void TestServerLimits::garbageAndResetsLeaveNoTrace()
{
    const QHostAddress address(QStringLiteral("127.0.0.183"));
    ChatServer server;
    QVERIFY(server.listen(address));
    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte.append(char(i));

    std::vector<std::unique_ptr<TestClient>> clients;
    for (const Channel channel : allChannels) {
        for (int i = 0; i < 3; ++i) {
            auto &client = clients.emplace_back(std::make_unique<TestClient>());
            QVERIFY(client->connectTo(address, channel));
            if (i > 0)
                client->send(i == 1 ? everyByte : QByteArray(1, '\0'));
        }
    }
    QTRY_COMPARE(server.connectionCount(), 12);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        QTcpSocket &socket = clients[i]->socket();
        if (i % 2)
            KernelQueues::resetOnClose(socket.socketDescriptor());
        socket.abort();
    }
    // Connections that vanish at once, with a reset, before and after sending.
    for (int i = 0; i < 5; ++i) {
        QTcpSocket socket;
        socket.connectToHost(address, portOf(allChannels[i % 4]));
        if (i % 2)
            socket.write(everyByte);
        socket.abort();
    }
    QTRY_COMPARE(server.connectionCount(), 0);
    QVERIFY(server.nicknames().isEmpty());

    TestClient a, b;
    QVERIFY(a.connectTo(address, Channel::Chat));
    QVERIFY(b.connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 2);
    a.send(everyByte);
    QTRY_COMPARE(b.reads(), Reads{everyByte});
}

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_server_limits.moc"
