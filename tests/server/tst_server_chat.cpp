#include "chatserver.h"
#include "protocol/chatline.h"
#include "testclient.h"

#include <QTest>

#include <memory>
#include <vector>

using Reads = QList<QByteArray>;

class TestServerChat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void relayedToEveryoneUnchanged();
    void messagesToOneReaderNeverRunTogether();
    void joinNoticeGoesToEveryJoinConnection();
    void connectionsBeyondTheCapAreRefused();
    void oversizedArrivalIsDroppedWhole();
    void longNicknameIsCutEverywhere();
    void clientThatNeverReadsIsDisconnected();
};

void TestServerChat::relayedToEveryoneUnchanged()
{
    const QHostAddress at(QStringLiteral("127.0.0.170"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient sender(at, Channel::Chat), other(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 2);

    // "<ALİ> merhaba çğış", a NUL and a byte cp1254 leaves undefined.
    static const char bytes[] = "<AL\xDD> merhaba \xE7\xF0\xFD\xFE\x00\x81";
    const QByteArray line(bytes, sizeof bytes - 1);
    sender.send(line);
    QTRY_COMPARE(sender.reads(), Reads{line});
    QTRY_COMPARE(other.reads(), Reads{line});
    QVERIFY(!TestClient::serverLogContains(QStringLiteral("merhaba")));
}

void TestServerChat::messagesToOneReaderNeverRunTogether()
{
    const QHostAddress at(QStringLiteral("127.0.0.171"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient reader(at, Channel::Chat);
    // One line from each of twenty senders, so that all twenty wait for the reader at once.
    std::vector<std::unique_ptr<TestClient>> senders;
    for (int i = 0; i < 20; ++i)
        senders.push_back(std::make_unique<TestClient>(at, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 21);

    Reads lines;
    for (int i = 0; i < 20; ++i) {
        lines.append("<N" + QByteArray::number(i) + "> line");
        senders[i]->send(lines.last());
    }
    QTRY_COMPARE(reader.bytesRead(), lines.join().size());
    Reads reads = reader.reads();
    std::sort(reads.begin(), reads.end());
    std::sort(lines.begin(), lines.end());
    QCOMPARE(reads, lines);
}

void TestServerChat::joinNoticeGoesToEveryJoinConnection()
{
    const QHostAddress at(QStringLiteral("127.0.0.172"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient earlier(at, Channel::Join), joining(at, Channel::Join);
    QTRY_COMPARE(server.connectionCount(), 2);

    joining.send("AL\xDD");
    const Reads notice{joinNotice("AL\xDD")};
    QTRY_COMPARE(joining.reads(), notice);
    QTRY_COMPARE(earlier.reads(), notice);
}

void TestServerChat::connectionsBeyondTheCapAreRefused()
{
    const QHostAddress at(QStringLiteral("127.0.0.173"));
    ChatServer server;
    server.setLimits({.maxConnections = 2});
    QVERIFY(server.listen(at));
    auto first = std::make_unique<TestClient>(at, Channel::Chat);
    TestClient second(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 2);
    TestClient refused(at, Channel::UserList);
    QTRY_COMPARE(refused.socket().state(), QAbstractSocket::UnconnectedState);

    // A slot freed can be taken again.
    first.reset();
    QTRY_COMPARE(server.connectionCount(), 1);
    TestClient later(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 2);
}

void TestServerChat::oversizedArrivalIsDroppedWhole()
{
    const QHostAddress at(QStringLiteral("127.0.0.174"));
    ChatServer server;
    server.setLimits({.maxArrivalBytes = 1000});
    QVERIFY(server.listen(at));
    TestClient sender(at, Channel::Chat), reader(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 2);

    const QByteArray largest(1000, 'y');
    sender.send(largest);
    QTRY_COMPARE(reader.reads(), Reads{largest});
    // The server reads it in pieces; none of them, the tail included, may pass as a message.
    sender.send(QByteArray(5000, 'x'));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("arrival of 5000 bytes")));
    sender.send("<A> ok");
    QTRY_COMPARE(reader.reads(), (Reads{largest, "<A> ok"}));
}

void TestServerChat::longNicknameIsCutEverywhere()
{
    const QHostAddress at(QStringLiteral("127.0.0.175"));
    ChatServer server;
    server.setLimits({.maxNicknameBytes = 8});
    QVERIFY(server.listen(at));
    TestClient list(at, Channel::UserList), join(at, Channel::Join), leave(at, Channel::Leave);
    QTRY_COMPARE(server.connectionCount(), 3);

    list.send("ABCDEFGHIJKL");
    join.send("ABCDEFGHIJKL");
    QTRY_COMPARE(list.reads(), Reads{"ABCDEFGH"});
    QTRY_COMPARE(join.reads(), Reads{joinNotice("ABCDEFGH")});
    // The leave carries the whole name again and must still find the entry.
    leave.send("ABCDEFGHIJKL");
    QTRY_COMPARE(leave.reads(), Reads{"ABCDEFGH"});
    QVERIFY(server.nicknames().isEmpty());
}

void TestServerChat::clientThatNeverReadsIsDisconnected()
{
    const QHostAddress at(QStringLiteral("127.0.0.176"));
    ChatServer server;
    server.setLimits({.maxQueuedBytes = 256 * 1024, .burstArrivals = 1000});
    QVERIFY(server.listen(at));
    TestClient sender(at, Channel::Chat), reader(at, Channel::Chat), stuck(at, Channel::Chat);
    // Takes one byte and no more, so the rest piles up in the kernel, then on the server.
    stuck.socket().setReadBufferSize(1);
    QTRY_COMPARE(server.connectionCount(), 3);

    const QByteArray message(32 * 1024, 'm');
    qint64 sent = 0;
    while (server.connectionCount() == 3 && sent < 500 * message.size()) {
        sender.send(message);
        sent += message.size();
        QTRY_COMPARE(sender.bytesRead(), sent);
    }
    QVERIFY(TestClient::serverLogContains(QStringLiteral("send queue full")));
    QTRY_COMPARE(reader.bytesRead(), sent);
}

QTEST_GUILESS_MAIN(TestServerChat)
#include "tst_server_chat.moc"
