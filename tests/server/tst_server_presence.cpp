#include "chatserver.h"
#include "kernelqueues.h"
#include "sourcefilter.h"
#include "testclient.h"

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

using Reads = QList<QByteArray>;

// The two connections of a terminal that say who is online; sends its nickname at once.
struct Terminal
{
    Terminal(const QHostAddress &at, const QByteArray &nickname, const QHostAddress &from = {})
        : list(at, nickname, from), leave(at, Channel::Leave, from)
    {}
    Listed list;
    TestClient leave;
};

class TestServerPresence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void listGoesToNewcomerAndNewcomerToOthers();
    void everyLeaveIsAnnouncedExactlyOnce();
    void equalNamesAreOneUser();
    void nobodySpeaksOrJoinsAsSomeoneElse();
    void badNicknamesAndSilentConnectionsAreClosed();
    void namesPerAddressAreCapped();
    void onlyAllowedNetworksGetIn();
};

void TestServerPresence::listGoesToNewcomerAndNewcomerToOthers()
{
    const QHostAddress at(QStringLiteral("127.0.0.180"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Listed ali(at, "AL\xDD");
    QTRY_COMPARE(ali.reads(), Reads{"AL\xDD"});

    // Connected but silent: it gets the whole list once it speaks, so nothing before that.
    TestClient late(at, Channel::UserList);
    Listed dilek(at, "D\xDDLEK");
    QTRY_COMPARE(ali.reads().size(), 2);
    late.send("VEL\xDD");
    const Reads all{"AL\xDD", "D\xDDLEK", "VEL\xDD"};
    QTRY_COMPARE(late.reads(), all);
    QTRY_COMPARE(ali.reads(), all);
    QTRY_COMPARE(dilek.reads(), all);
    QCOMPARE(server.nicknames(), all);
}

void TestServerPresence::everyLeaveIsAnnouncedExactlyOnce()
{
    const QHostAddress at(QStringLiteral("127.0.0.181"));
    ChatServer server;
    QVERIFY(server.listen(at));
    Terminal ali(at, "ALI"), veli(at, "VELI"), ayse(at, "AYSE"), zeki(at, "ZEKI");
    QTRY_COMPARE(server.nicknames().size(), 4);

    ali.leave.send("ALI");
    QTRY_COMPARE(ali.leave.reads(), Reads{"ALI"});
    QTRY_COMPARE(zeki.leave.reads(), Reads{"ALI"});
    QVERIFY(!server.nicknames().contains("ALI"));

    // Reconnecting after leaving closes the old connection: no second announcement. A
    // crashed terminal's connection is reset: announced, as it never left.
    ali.list.socket().disconnectFromHost();
    KernelQueues::resetOnClose(veli.list.socket().socketDescriptor());
    veli.list.socket().abort();
    ayse.list.socket().abort();
    QTRY_COMPARE(server.connectionCount(), 5);
    QCOMPARE(server.nicknames(), Reads{"ZEKI"});
    // Nor is anyone not listed.
    ali.leave.send("NOBODY");
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("\"NOBODY\" left but")));

    zeki.leave.send("ZEKI");
    QTRY_VERIFY(zeki.leave.reads().endsWith("ZEKI"));
    Reads announced = zeki.leave.reads();
    std::sort(announced.begin() + 1, announced.end() - 1);
    QCOMPARE(announced, (Reads{"ALI", "AYSE", "VELI", "ZEKI"}));
}

void TestServerPresence::equalNamesAreOneUser()
{
    // Terminals take names equal by Turkish letter case and trailing blanks for one user.
    const QHostAddress at(QStringLiteral("127.0.0.182"));
    const QHostAddress other(QStringLiteral("127.0.1.182"));
    ChatServer server;
    QVERIFY(server.listen(at));
    // Listed one after another, so that the order of the lists is known.
    std::vector<std::unique_ptr<Terminal>> t;
    for (const auto &[nickname, from] : {std::pair{"ZEKI", at},
                                         {"AY\xDE\x45", at},
                                         {"AY\xDE\x45", at},
                                         {"ALICE", at},
                                         {"al\xFD\x63\x65 ", other}}) {
        t.push_back(std::make_unique<Terminal>(at, nickname, from));
        QTRY_COMPARE(server.nicknames().size(), qsizetype(t.size()));
    }
    Terminal &watcher = *t[0], &ayse = *t[1], &ayseToo = *t[2], &alice = *t[3], &impostor = *t[4];
    Listed newcomer(at, "NEW");
    QTRY_COMPARE(newcomer.reads(), (Reads{"ZEKI", "AY\xDE\x45", "ALICE", "NEW"}));
    QTRY_COMPARE(watcher.list.reads(), (Reads{"ZEKI", "AY\xDE\x45", "ALICE", "NEW"}));

    // One of two AYŞE leaves: the other stays on every list. The host that listed "alıce "
    // leaves it, and tries to take the real one off: neither is announced.
    ayse.leave.send("AY\xDE\x45");
    impostor.leave.send("al\xFD\x63\x65 ");
    QTRY_COMPARE(server.nicknames().size(), 4);
    impostor.leave.send("ALICE");
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("\"ALICE\" left but")));
    QCOMPARE(server.nicknames().count("ALICE"), 1);
    // The last AYŞE to go is announced, and its leave comes before the next one.
    ayseToo.leave.send("ay\xFE\x65\r\n");
    QTRY_COMPARE(watcher.leave.reads(), Reads{"AY\xDE\x45"});
    alice.leave.send("ALICE");
    QTRY_COMPARE(watcher.leave.reads(), (Reads{"AY\xDE\x45", "ALICE"}));
}

void TestServerPresence::nobodySpeaksOrJoinsAsSomeoneElse()
{
    const QHostAddress at(QStringLiteral("127.0.0.183"));
    const QHostAddress eveAt(QStringLiteral("127.0.1.183"));
    ChatServer server;
    server.setLimits({.nameWait = std::chrono::milliseconds(1000)});
    QVERIFY(server.listen(at));
    Listed ali(at, "AL\xDD");
    TestClient aliChat(at, Channel::Chat), reader(at, Channel::Chat), joins(at, Channel::Join);
    Listed eve(at, "EVE", eveAt);
    TestClient eveChat(at, Channel::Chat, eveAt), eveJoin(at, Channel::Join, eveAt);
    QTRY_COMPARE(server.connectionCount(), 7);
    QTRY_COMPARE(server.nicknames().size(), 2);

    eveChat.send("<AL\xDD> ben Ali'yim");
    eveJoin.send("AL\xDD");
    QTRY_COMPARE(eveChat.socket().bytesToWrite() + eveJoin.socket().bytesToWrite(), 0);
    // A line before its nickname is listed waits for it, and so do the lines behind it.
    TestClient velChat(at, Channel::Chat);
    QTRY_COMPARE(server.connectionCount(), 8);
    velChat.send("<VEL\xDD> ilk");
    QTRY_COMPARE(velChat.socket().bytesToWrite(), 0);
    aliChat.send("<al\xDD> selam");
    QTRY_COMPARE(reader.reads(), Reads{"<al\xDD> selam"});
    Listed veli(at, "VEL\xDD");
    velChat.send("<VEL\xDD> ikinci");
    QTRY_COMPARE(reader.reads(), (Reads{"<al\xDD> selam", "<VEL\xDD> ilk", "<VEL\xDD> ikinci"}));
    eveChat.send("<EVE> ben Eve'im");
    QTRY_COMPARE(reader.reads().size(), 4);
    QCOMPARE(reader.reads().last(), QByteArray("<EVE> ben Eve'im"));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("dropped a join")));
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("dropped a chat line")));
    QVERIFY(joins.reads().isEmpty());

    // A host that keeps trying is summarised in the log, not written line by line.
    const int before = TestClient::serverLogCount(eveAt.toString());
    QTimer trying;
    int tries = 0;
    connect(&trying, &QTimer::timeout, this, [&] {
        if (tries < 60)
            eveChat.send("<AL\xDD> " + QByteArray::number(tries++));
    });
    trying.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(
        TestClient::serverLogContains(QStringLiteral("more warnings about this address left out")),
        5000);
    QVERIFY(TestClient::serverLogCount(eveAt.toString()) - before < 30);
}

void TestServerPresence::badNicknamesAndSilentConnectionsAreClosed()
{
    const QHostAddress at(QStringLiteral("127.0.0.184"));
    ChatServer server;
    server.setLimits({.nicknameDeadline = std::chrono::milliseconds(200)});
    QVERIFY(server.listen(at));
    Listed tab(at, "AL\tI"), blanks(at, "   "), del(at, "AL\x7F");
    TestClient silentList(at, Channel::UserList), silentJoin(at, Channel::Join),
        chat(at, Channel::Chat), leave(at, Channel::Leave);
    QTRY_COMPARE(server.connectionCount(), 2);
    QVERIFY(server.nicknames().isEmpty());
    QVERIFY(TestClient::serverLogContains(QStringLiteral("control character")));
    QVERIFY(TestClient::serverLogContains(QStringLiteral("blank nickname")));
    QVERIFY(TestClient::serverLogContains(QStringLiteral("no nickname within")));
    QVERIFY(chat.isConnected() && leave.isConnected());
}

void TestServerPresence::namesPerAddressAreCapped()
{
    // As shipped: eight names from one address.
    const QHostAddress at(QStringLiteral("127.0.0.185"));
    ChatServer server;
    QVERIFY(server.listen(at));
    std::vector<std::unique_ptr<Listed>> names;
    for (int i = 0; i < 9; ++i)
        names.push_back(std::make_unique<Listed>(at, "N" + QByteArray::number(i)));
    QTRY_COMPARE(server.nicknames().size(), 8);
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("names from this address already")));
    QTRY_COMPARE(
        std::count_if(names.cbegin(), names.cend(), [](const auto &n) { return n->isConnected(); }),
        8);
    Listed elsewhere(at, "N8", QHostAddress(QStringLiteral("127.0.1.185")));
    QTRY_COMPARE(server.nicknames().size(), 9);
}

void TestServerPresence::onlyAllowedNetworksGetIn()
{
    const SourceFilter lan;
    for (const char *in : {"127.0.0.1", "::1", "10.1.2.3", "172.31.0.1", "192.168.1.5",
                           "169.254.3.3", "fe80::1", "fd12::1", "::ffff:192.168.0.9"})
        QVERIFY2(lan.admits(QHostAddress(QString::fromLatin1(in))), in);
    for (const char *out :
         {"8.8.8.8", "172.32.0.1", "192.169.0.1", "2001:db8::1", "::ffff:1.2.3.4"})
        QVERIFY2(!lan.admits(QHostAddress(QString::fromLatin1(out))), out);

    const QHostAddress at(QStringLiteral("127.0.0.188"));
    ChatServer server;
    SourceFilter::Subnet tenNet;
    QVERIFY(SourceFilter::parse(QStringLiteral("10.0.0.0/8"), &tenNet));
    server.setAllowed({tenNet});
    QVERIFY(server.listen(at));
    TestClient outsider(at, Channel::Chat);
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("not on a network allowed in")));
    QTRY_VERIFY(!outsider.isConnected());
    QCOMPARE(server.connectionCount(), 0);
}

QTEST_GUILESS_MAIN(TestServerPresence)
#include "tst_server_presence.moc"
