#include "chatserver.h"
#include "logcapture.h"
#include "testclient.h"

#include <QTest>

#include <optional>

using Reads = QList<QByteArray>;

// The two connections of a terminal that matter for who is online.
struct Terminal
{
    TestClient list;
    TestClient leave;

    bool connectTo(const QHostAddress &address)
    {
        return list.connectTo(address, Channel::UserList) &&
               leave.connectTo(address, Channel::Leave);
    }
};

class TestServerPresence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_log.emplace(); }
    void listGoesToNewcomerAndNewcomerToOthers();
    void leaveIsAnnouncedOnce();
    void droppedListConnectionCountsAsLeaving();
    void sameNicknameTwiceTakesOffOneEntry();

private:
    // QtTest installs its own message handler once it runs, so ours goes in after it.
    std::optional<LogCapture> m_log;
};

void TestServerPresence::listGoesToNewcomerAndNewcomerToOthers()
{
    const QHostAddress address(QStringLiteral("127.0.0.173"));
    ChatServer server;
    QVERIFY(server.listen(address));
    TestClient ali, ayse, late;
    QVERIFY(ali.connectTo(address, Channel::UserList));
    ali.send("AL\xDD");
    QTRY_COMPARE(ali.reads(), Reads{"AL\xDD"});

    // Connected but has not sent its nickname yet: it gets the whole list when it does,
    // so it must not be sent AYŞE on its own before that.
    QVERIFY(late.connectTo(address, Channel::UserList));
    QVERIFY(ayse.connectTo(address, Channel::UserList));
    QTRY_COMPARE(server.connectionCount(), 3);
    ayse.send("AY\xDE"
              "E");
    QTRY_COMPARE(ayse.reads(), (Reads{"AL\xDD", "AY\xDE"
                                                "E"}));
    QTRY_COMPARE(ali.reads(), (Reads{"AL\xDD", "AY\xDE"
                                               "E"}));

    late.send("VEL\xDD");
    const Reads all{"AL\xDD",
                    "AY\xDE"
                    "E",
                    "VEL\xDD"};
    QTRY_COMPARE(late.reads(), all);
    QTRY_COMPARE(ali.reads(), all);
    QTRY_COMPARE(ayse.reads(), all);
    QCOMPARE(server.nicknames(), all);
}

void TestServerPresence::leaveIsAnnouncedOnce()
{
    const QHostAddress address(QStringLiteral("127.0.0.174"));
    ChatServer server;
    QVERIFY(server.listen(address));
    Terminal ali, veli;
    QVERIFY(ali.connectTo(address));
    QVERIFY(veli.connectTo(address));
    ali.list.send("ALI");
    veli.list.send("VELI");
    QTRY_COMPARE(server.nicknames(), (Reads{"ALI", "VELI"}));

    // Nobody of that name is listed, so nobody's list may lose an entry.
    veli.leave.send("NOBODY");
    ali.leave.send("ALI");
    QTRY_COMPARE(ali.leave.reads(), Reads{"ALI"});
    QTRY_COMPARE(veli.leave.reads(), Reads{"ALI"});
    QCOMPARE(server.nicknames(), Reads{"VELI"});

    // Reconnecting closes the old connections, which must not announce ALI again.
    ali.list.socket().disconnectFromHost();
    QTRY_COMPARE(server.connectionCount(), 3);
    veli.leave.send("VELI");
    QTRY_COMPARE(veli.leave.reads(), (Reads{"ALI", "VELI"}));
    QVERIFY(server.nicknames().isEmpty());
    // Connections stay open after a leave.
    QCOMPARE(server.connectionCount(), 3);
}

void TestServerPresence::droppedListConnectionCountsAsLeaving()
{
    const QHostAddress address(QStringLiteral("127.0.0.175"));
    ChatServer server;
    QVERIFY(server.listen(address));
    Terminal ali, veli;
    QVERIFY(ali.connectTo(address));
    QVERIFY(veli.connectTo(address));
    ali.list.send("ALI");
    veli.list.send("VELI");
    QTRY_COMPARE(server.nicknames(), (Reads{"ALI", "VELI"}));

    ali.list.socket().abort();
    QTRY_COMPARE(veli.leave.reads(), Reads{"ALI"});
    QCOMPARE(server.nicknames(), Reads{"VELI"});

    // A leave sent after the crash finds nothing left to take off.
    ali.leave.send("ALI");
    QTRY_VERIFY(m_log->contains(QStringLiteral("not on the list")));
    veli.leave.send("VELI");
    QTRY_COMPARE(veli.leave.reads(), (Reads{"ALI", "VELI"}));
}

void TestServerPresence::sameNicknameTwiceTakesOffOneEntry()
{
    const QHostAddress address(QStringLiteral("127.0.0.176"));
    ChatServer server;
    QVERIFY(server.listen(address));
    Terminal first, second, watcher;
    QVERIFY(first.connectTo(address));
    QVERIFY(second.connectTo(address));
    QVERIFY(watcher.connectTo(address));
    first.list.send("AYSE");
    second.list.send("AYSE");
    watcher.list.send("ZEKI");
    QTRY_COMPARE(server.nicknames().size(), 3);

    first.leave.send("AYSE");
    QTRY_COMPARE(watcher.leave.reads(), Reads{"AYSE"});
    QCOMPARE(server.nicknames().count("AYSE"), 1);

    first.list.socket().disconnectFromHost();
    second.list.socket().abort();
    QTRY_COMPARE(server.connectionCount(), 4);
    QCOMPARE(server.nicknames(), Reads{"ZEKI"});
    watcher.leave.send("ZEKI");
    QTRY_COMPARE(watcher.leave.reads(), (Reads{"AYSE", "AYSE", "ZEKI"}));
}

QTEST_GUILESS_MAIN(TestServerPresence)
#include "tst_server_presence.moc"
