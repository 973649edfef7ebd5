#include "chatserver.h"
#include "kernelqueues.h"
#include "testclient.h"

#include <QTest>

#include <algorithm>

using Reads = QList<QByteArray>;

// The two connections of a terminal that say who is online; sends its nickname at once.
struct Terminal
{
    Terminal(const QHostAddress &at, const QByteArray &nickname)
        : list(at, Channel::UserList), leave(at, Channel::Leave)
    {
        list.send(nickname);
    }
    TestClient list;
    TestClient leave;
};

class TestServerPresence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void listGoesToNewcomerAndNewcomerToOthers();
    void everyLeaveIsAnnouncedExactlyOnce();
};

void TestServerPresence::listGoesToNewcomerAndNewcomerToOthers()
{
    const QHostAddress at(QStringLiteral("127.0.0.180"));
    ChatServer server;
    QVERIFY(server.listen(at));
    TestClient ali(at, Channel::UserList);
    ali.send("AL\xDD");
    QTRY_COMPARE(ali.reads(), Reads{"AL\xDD"});

    // Connected but silent: it gets the whole list once it speaks, so nothing before that.
    TestClient late(at, Channel::UserList), dilek(at, Channel::UserList);
    QTRY_COMPARE(server.connectionCount(), 3);
    dilek.send("D\xDDLEK");
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
    Terminal ali(at, "ALI"), veli(at, "VELI"), ayse(at, "AYSE"), ayseToo(at, "AYSE"),
        zeki(at, "ZEKI");
    QTRY_COMPARE(server.nicknames().size(), 5);

    ali.leave.send("ALI");
    QTRY_COMPARE(ali.leave.reads(), Reads{"ALI"});
    QTRY_COMPARE(zeki.leave.reads(), Reads{"ALI"});
    QVERIFY(!server.nicknames().contains("ALI"));
    // Of two entries with one name, one leave takes off one.
    ayse.leave.send("AYSE");
    QTRY_COMPARE(zeki.leave.reads(), (Reads{"ALI", "AYSE"}));
    QCOMPARE(server.nicknames().count("AYSE"), 1);

    // Reconnecting after leaving closes the old connection: no second announcement. A
    // crashed terminal's connection is reset: announced, as it never left.
    ali.list.socket().disconnectFromHost();
    ayse.list.socket().disconnectFromHost();
    KernelQueues::resetOnClose(veli.list.socket().socketDescriptor());
    veli.list.socket().abort();
    ayseToo.list.socket().abort();
    QTRY_COMPARE(server.connectionCount(), 6);
    QCOMPARE(server.nicknames(), Reads{"ZEKI"});
    // Nor is anyone not listed.
    ali.leave.send("NOBODY");
    QTRY_VERIFY(TestClient::serverLogContains(QStringLiteral("\"NOBODY\" left but")));

    zeki.leave.send("ZEKI");
    QTRY_VERIFY(zeki.leave.reads().endsWith("ZEKI"));
    Reads announced = zeki.leave.reads();
    std::sort(announced.begin() + 2, announced.end() - 1);
    QCOMPARE(announced, (Reads{"ALI", "AYSE", "AYSE", "VELI", "ZEKI"}));
}

QTEST_GUILESS_MAIN(TestServerPresence)
#include "tst_server_presence.moc"
