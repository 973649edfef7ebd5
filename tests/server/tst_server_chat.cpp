#include "chatserver.h"
#include "protocol/chatline.h"
#include "testclient.h"

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

using Reads = QList<QByteArray>;

class TestServerChat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void relayedToEveryoneUnchanged();
    void messagesToOneReaderComeApart();
    void joinNoticeGoesToEveryJoinConnection();
    void connectionsBeyondTheCapsAreRefused();
    void largestArrivalAsShipped();
    void oversizedArrivalIsDroppedWhole();
    void longNicknameIsCutEverywhere();
    void clientThatNeverReadsIsDisconnected();
    void pasteIsDelayedNotDropped();
    void floodCostsTheFlooderNotTheReaders();
};

void TestServerChat::relayedToEveryoneUnchanged()
{
    const QHostAddress at(QStringLiteral("127.0.0.170"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Listed ali(at, "AL\xDD");
    TestClient sender(at, Channel::Chat), other(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 3);
    QTRY_COMPARE(server.nicknames().size(), 1);

    // "<ALİ> merhaba çğış", a NUL and a byte cp1254 leaves undefined.
    static const char bytes[] = "<AL\xDD> merhaba \xE7\xF0\xFD\xFE\x00\x81";
    const QByteArray line(bytes, sizeof bytes - 1);
    sender.send(line);
    QTRY_COMPARE(sender.reads(), Reads{line});
    QTRY_COMPARE(other.reads(), Reads{line});
    QVERIFY(!TestClient::serverLogContains(QStringLiteral("merhaba")));
}

void TestServerChat::messagesToOneReaderComeApart()
{
    const QHostAddress at(QStringLiteral("127.0.0.171"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient reader(at, Channel::Chat);
    // One line from each of twenty hosts, so that all twenty wait for the reader at once.
    std::vector<std::unique_ptr<Listed>> names;
    std::vector<std::unique_ptr<TestClient>> senders;
    for (int i = 0; i < 20; ++i) {
        const QHostAddress from(QStringLiteral("127.0.1.%1").arg(100 + i));
        names.push_back(std::make_unique<Listed>(at, "N" + QByteArray::number(i), from));
        senders.push_back(std::make_unique<TestClient>(at, Channel::Chat, from));
    }
    QTRY_COMPARE(server.connectionCount(), 41);
    QTRY_COMPARE(server.nicknames().size(), 20);

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
    // The server pauses 5 ms after each message has left; the typical gap shows it even
    // when this busy process reads some of them late.
    QList<double> gaps;
    for (qsizetype i = 1; i < reader.readTimes().size(); ++i)
        gaps.append(reader.readTimes().at(i) - reader.readTimes().at(i - 1));
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(gaps.at(gaps.size() / 2) >= 4.0,
             qPrintable(QString::number(gaps.at(gaps.size() / 2))));
}

void TestServerChat::joinNoticeGoesToEveryJoinConnection()
{
    const QHostAddress at(QStringLiteral("127.0.0.172"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient earlier(at, Channel::Join), joining(at, Channel::Join);
    QTRY_COMPARE(server.connectionCount(), 2);

    // The join comes before the nickname is listed, as it may from a terminal; it waits.
    joining.send("AL\xDD");
    QTRY_COMPARE(joining.socket().bytesToWrite(), 0);
    Listed ali(at, "AL\xDD");
    const Reads notice{joinNotice("AL\xDD")};
    QTRY_COMPARE(joining.reads(), notice);
    QTRY_COMPARE(earlier.reads(), notice);
}

void TestServerChat::connectionsBeyondTheCapsAreRefused()
{
    const QHostAddress at(QStringLiteral("127.0.0.173"));
    ChatServer server;
    server.setLimits({.maxConnections = 40});
    QVERIFY(server.listen(at));
    // As shipped, one address holds 32.
    std::vector<std::unique_ptr<TestClient>> host;
    for (int i = 0; i < 33; ++i)
        host.push_back(std::make_unique<TestClient>(at, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 32);
    QTRY_COMPARE(
        std::count_if(host.cbegin(), host.cend(), [](const auto &c) { return c->isConnected(); }),
        32);
    std::vector<std::unique_ptr<TestClient>> others;
    for (int i = 0; i < 9; ++i)
        others.push_back(std::make_unique<TestClient>(at, Channel::Chat,
                                                      QHostAddress(QStringLiteral("127.0.1.173"))));
    QTRY_COMPARE(server.connectionCount(), 40);
    QTRY_VERIFY(!others.back()->isConnected());

    // A slot freed can be taken again.
    others.front().reset();
    QTRY_COMPARE(server.connectionCount(), 39);
    TestClient later(at, Channel::Chat, QHostAddress(QStringLiteral("127.0.1.173")));
    QTRY_COMPARE(server.connectionCount(), 40);
}

void TestServerChat::largestArrivalAsShipped()
{
    const QHostAddress at(QStringLiteral("127.0.0.178"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Listed a(at, "A");
    TestClient sender(at, Channel::Chat), reader(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 3);
    QTRY_COMPARE(server.nicknames().size(), 1);

    const QByteArray fits = "<A> " + QByteArray(60000, 'y');
    sender.send(fits);
    QTRY_COMPARE(reader.bytesRead(), fits.size());
    sender.send("<A> " + QByteArray(64 * 1024, 'x'));
    QTRY_VERIFY(
        TestClient::serverLogContains(QStringLiteral("arrival of 65540 bytes (limit 65536)")));
    sender.send("<A> ok");
    QTRY_VERIFY(reader.reads().endsWith("<A> ok"));
    QCOMPARE(reader.bytesRead(), fits.size() + 6);
}

void TestServerChat::oversizedArrivalIsDroppedWhole()
{
    const QHostAddress at(QStringLiteral("127.0.0.174"));
    ChatServer server;
    server.setLimits({.maxArrivalBytes = 1000});
    QVERIFY(server.listen(at));
    Listed a(at, "A");
    TestClient sender(at, Channel::Chat), reader(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 3);
    QTRY_COMPARE(server.nicknames().size(), 1);

    const QByteArray largest = "<A> " + QByteArray(996, 'y');
    sender.send(largest);
    QTRY_COMPARE(reader.reads(), Reads{largest});
    // The server reads it in pieces; none of them, the tail included, may pass as a message.
    sender.send("<A> " + QByteArray(4996, 'x'));
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
    TestClient list(at, Channel::UserList), join(at, Channel::Join), leave(at, Channel::Leave),
        chat(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 4);

    list.send("ABCDEFGHIJKL");
    join.send("ABCDEFGHIJKL");
    QTRY_COMPARE(list.reads(), Reads{"ABCDEFGH"});
    QTRY_COMPARE(join.reads(), Reads{joinNotice("ABCDEFGH")});
    // Chat lines and the leave carry the whole name again and must still find the entry.
    chat.send("<ABCDEFGHIJKL> hi");
    QTRY_COMPARE(chat.reads(), Reads{"<ABCDEFGHIJKL> hi"});
    leave.send("ABCDEFGHIJKL");
    QTRY_COMPARE(leave.reads(), Reads{"ABCDEFGH"});
    QVERIFY(server.nicknames().isEmpty());
}

void TestServerChat::clientThatNeverReadsIsDisconnected()
{
    const QHostAddress at(QStringLiteral("127.0.0.176"));
    ChatServer server;
    server.setLimits({.maxQueuedBytes = 256 * 1024,
                      .burstArrivals = 1000,
                      .burstArrivalBytes = 64 * 1024 * 1024});
    QVERIFY(server.listen(at));
    Listed s(at, "S");
    TestClient sender(at, Channel::Chat), reader(at, Channel::Chat), stuck(at, Channel::Chat);
    // Takes one byte and no more, so the rest piles up in the kernel, then on the server.
    stuck.socket().setReadBufferSize(1);
    QTRY_COMPARE(server.connectionCount(), 4);
    QTRY_COMPARE(server.nicknames().size(), 1);

    const QByteArray message = "<S> " + QByteArray(32 * 1024, 'm');
    qint64 sent = 0;
    while (server.connectionCount() == 4 && sent < 500 * message.size()) {
        sender.send(message);
        sent += message.size();
        QTRY_COMPARE(sender.bytesRead(), sent);
    }
    QVERIFY(TestClient::serverLogContains(QStringLiteral("send queue full")));
    QTRY_COMPARE(reader.bytesRead(), sent);
}

void TestServerChat::pasteIsDelayedNotDropped()
{
    // Thirty lines at a script's pace, as shipped: twenty at once, then ten a second.
    const QHostAddress at(QStringLiteral("127.0.0.177"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Listed ali(at, "AL\xDD");
    TestClient sender(at, Channel::Chat);
    TestClient reader(at, Channel::Chat, QHostAddress(QStringLiteral("127.0.1.177")));
    QTRY_COMPARE(server.connectionCount(), 3);
    QTRY_COMPARE(server.nicknames().size(), 1);

    Reads lines;
    for (int i = 0; i < 30; ++i)
        lines.append("<AL\xDD> line " + QByteArray::number(i));
    QTimer typist;
    qsizetype typed = 0;
    connect(&typist, &QTimer::timeout, this, [&] {
        if (typed < lines.size())
            sender.send(lines.at(typed++));
    });
    typist.start(10);
    QTRY_COMPARE_WITH_TIMEOUT(reader.bytesRead(), lines.join().size(), 5000);
    QCOMPARE(reader.reads(), lines);
    const QList<double> &t = reader.readTimes();
    QVERIFY2(t.last() - t.first() >= 900, qPrintable(QString::number(t.last() - t.first())));
}

void TestServerChat::floodCostsTheFlooderNotTheReaders()
{
    // One host on all its connections at once with large lines; as shipped, the reader
    // that keeps reading stays, and so does an honest sender's line.
    const QHostAddress at(QStringLiteral("127.0.0.179"));
    const QHostAddress eveAt(QStringLiteral("127.0.1.179"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Listed ali(at, "AL\xDD");
    TestClient honest(at, Channel::Chat), reader(at, Channel::Chat);
    Listed eve(at, "EVE", eveAt);
    std::vector<std::unique_ptr<TestClient>> flood;
    for (int i = 0; i < 31; ++i)
        flood.push_back(std::make_unique<TestClient>(at, Channel::Chat, eveAt));
    QTRY_COMPARE(server.connectionCount(), 35);
    QTRY_COMPARE(server.nicknames().size(), 2);

    const QByteArray line = "<EVE> " + QByteArray(60000, 'f');
    for (const auto &c : flood)
        c->send(line);
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("far beyond its budget")));
    honest.send("<AL\xDD> hala buradayim");
    QTRY_VERIFY_WITH_TIMEOUT(reader.reads().contains("<AL\xDD> hala buradayim"), 10000);
    QVERIFY(reader.isConnected());
    QVERIFY(honest.isConnected());
    QVERIFY(
        std::any_of(flood.cbegin(), flood.cend(), [](const auto &c) { return !c->isConnected(); }));
}

QTEST_GUILESS_MAIN(TestServerChat)
#include "tst_server_chat.moc"
