#include "chatserver.h"
#include "logcapture.h"
#include "testclient.h"

#include <QTest>

#include <optional>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

class TestServerRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_log.emplace(); }
    void chatGoesToEveryoneUnchanged();
    void messagesToOneConnectionStayApart();
    void joinNoticeGoesToEveryJoinConnection();

private:
    // QtTest installs its own message handler once it runs, so ours goes in after it.
    std::optional<LogCapture> m_log;
};

void TestServerRelay::chatGoesToEveryoneUnchanged()
{
    const QHostAddress address(QStringLiteral("127.0.0.170"));
    ChatServer server;
    QVERIFY(server.listen(address));
    TestClient sender, other, third;
    for (TestClient *client : {&sender, &other, &third})
        QVERIFY(client->connectTo(address, Channel::Chat));
    QTRY_COMPARE(server.connectionCount(), 3);

    // "<ALİ> merhaba çğış" in cp1254 with a NUL and a byte cp1254 leaves undefined.
    const QByteArray line("<AL\xDD> merhaba \xE7\xF0\xFD\xFE\x00\x81", 22);
    sender.send(line);
    for (TestClient *client : {&sender, &other, &third})
        QTRY_COMPARE(client->reads(), QList<QByteArray>{line});

    QVERIFY(!m_log->contains(QStringLiteral("merhaba")));
}

void TestServerRelay::messagesToOneConnectionStayApart()
{
    const QHostAddress address(QStringLiteral("127.0.0.171"));
    ChatServer server;
    QVERIFY(server.listen(address));
    TestClient reader;
    QVERIFY(reader.connectTo(address, Channel::Chat));
    // Twenty senders, so that twenty messages wait in the reader's queue at once.
    std::vector<std::unique_ptr<TestClient>> senders;
    for (int i = 0; i < 20; ++i) {
        senders.push_back(std::make_unique<TestClient>());
        QVERIFY(senders.back()->connectTo(address, Channel::Chat));
    }
    QTRY_COMPARE(server.connectionCount(), 21);

    QList<QByteArray> lines;
    for (int i = 0; i < 20; ++i) {
        lines.append("<NICK" + QByteArray::number(i) + "> line");
        senders[i]->send(lines.last());
    }
    QTRY_COMPARE(reader.bytesRead(), std::accumulate(lines.cbegin(), lines.cend(), qint64(0),
                                                     [](qint64 sum, const QByteArray &line) {
                                                         return sum + line.size();
                                                     }));
    QList<QByteArray> reads = reader.reads();
    std::sort(reads.begin(), reads.end());
    std::sort(lines.begin(), lines.end());
    QCOMPARE(reads, lines);
}

void TestServerRelay::joinNoticeGoesToEveryJoinConnection()
{
    const QHostAddress address(QStringLiteral("127.0.0.172"));
    ChatServer server;
    QVERIFY(server.listen(address));
    TestClient earlier, joining;
    QVERIFY(earlier.connectTo(address, Channel::Join));
    QVERIFY(joining.connectTo(address, Channel::Join));
    QTRY_COMPARE(server.connectionCount(), 2);

    joining.send("AL\xDD");
    const QList<QByteArray> notice{"AL\xDD sohbete kat\xFDld\xFD."};
    QTRY_COMPARE(joining.reads(), notice);
    QTRY_COMPARE(earlier.reads(), notice);
}

QTEST_GUILESS_MAIN(TestServerRelay)
#include "tst_server_relay.moc"
