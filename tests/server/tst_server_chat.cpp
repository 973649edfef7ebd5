#include "chatserver.h"
#include "testclient.h"

#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using Reads = QList<QByteArray>;

class TestServerChat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void messagesToOneReaderComeApart();
    void connectionsBeyondTheCapsAreRefused();
    void largestArrivalAsShipped();
    void oversizedArrivalIsDroppedWhole();
    void clientThatNeverReadsIsDisconnected();
};

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
    Speaker a(at);
    QVERIFY(a.isReady(server));

    const QByteArray fits = "<A> " + QByteArray(60000, 'y');
    a.chat.send(fits);
    QTRY_COMPARE(a.reader.bytesRead(), fits.size());
    a.chat.send("<A> " + QByteArray(64 * 1024, 'x'));
    QTRY_VERIFY(
        TestClient::serverLogContains(QStringLiteral("arrival of 65540 bytes (limit 65536)")));
    a.chat.send("<A> ok");
    QTRY_VERIFY(a.reader.reads().endsWith("<A> ok"));
    QCOMPARE(a.reader.bytesRead(), fits.size() + 6);
}

void TestServerChat::oversizedArrivalIsDroppedWhole()
{
    const QHostAddress at(QStringLiteral("127.0.0.174"));
    ChatServer server;
    server.setLimits({.maxArrivalBytes = 1000});
    QVERIFY(server.listen(at));
    Speaker a(at);
    QVERIFY(a.isReady(server));

    const QByteArray largest = "<A> " + QByteArray(996, 'y');
    a.chat.send(largest);
    QTRY_COMPARE(a.reader.reads(), Reads{largest});
    // The server reads it in pieces; none of them, the tail included, may pass as a message.
    a.chat.send("<A> " + QByteArray(4996, 'x'));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("arrival of 5000 bytes")));
    a.chat.send("<A> ok");
    QTRY_COMPARE(a.reader.reads(), (Reads{largest, "<A> ok"}));
}

void TestServerChat::clientThatNeverReadsIsDisconnected()
{
    const QHostAddress at(QStringLiteral("127.0.0.176"));
    ChatServer server;
    server.setLimits({.maxQueuedBytes = 256 * 1024,
                      .burstArrivals = 1000,
                      .burstArrivalBytes = 64 * 1024 * 1024});
    QVERIFY(server.listen(at));
    Speaker s(at);
    TestClient stuck(at, Channel::Chat);
    // Takes one byte and no more, so the rest piles up in the kernel, then on the server.
    stuck.socket().setReadBufferSize(1);
    QVERIFY(s.isReady(server, 4));

    const QByteArray message = "<A> " + QByteArray(32 * 1024, 'm');
    qint64 sent = 0;
    while (server.connectionCount() == 4 && sent < 500 * message.size()) {
        s.chat.send(message);
        sent += message.size();
        QTRY_COMPARE(s.chat.bytesRead(), sent);
    }
    QVERIFY(TestClient::serverLogContains(QStringLiteral("send queue full")));
    QTRY_COMPARE(s.reader.bytesRead(), sent);
}

QTEST_GUILESS_MAIN(TestServerChat)
#include "tst_server_chat.moc"
