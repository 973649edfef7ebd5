#include "chatserver.h"
#include "hostlog.h"
#include "kernelqueues.h"
#include "sourcefilter.h"
#include "testclient.h"

#include <QTest>

class TestServerPresence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void connectionsCloseAsTheRulesSay();
    void logIsBudgetedPerAddress();
    void onlyAllowedNetworksGetIn();
};

void TestServerPresence::connectionsCloseAsTheRulesSay()
{
    const QHostAddress at(QStringLiteral("127.0.0.184"));
    ChatServer server;
    server.setLimits({.nicknameDeadline = std::chrono::milliseconds(200)});
    QVERIFY(server.listen(at));
    Listed tab(at, "AL\tI"), gone(at, "GONE");
    TestClient silentList(at, Channel::UserList), silentJoin(at, Channel::Join),
        chat(at, Channel::Chat), leave(at, Channel::Leave);
    QTRY_COMPARE(server.nicknames(), QList<QByteArray>{"GONE"});
    // What the rules close is closed on the wire, and a connection closed there leaves them.
    KernelQueues::resetOnClose(gone.socket().socketDescriptor());
    gone.socket().abort();
    QTRY_COMPARE(server.connectionCount(), 2);
    QVERIFY(server.nicknames().isEmpty());
    QVERIFY(!tab.isConnected());
    QVERIFY(TestClient::serverLogContains(QStringLiteral("control character")));
    QVERIFY(TestClient::serverLogContains(QStringLiteral("no nickname within")));
    QVERIFY(chat.isConnected() && leave.isConnected());
}

void TestServerPresence::logIsBudgetedPerAddress()
{
    // Twenty lines at once, then the rest summed up a second later; warnings do not use up
    // what comings and goings may say.
    HostLog log;
    const QString host = QStringLiteral("10.9.9.9");
    for (int i = 0; i < 60; ++i)
        log.warning(host, host % QStringLiteral(": warning %1").arg(i));
    log.info(host, host % QStringLiteral(": connected"));
    QCOMPARE(TestClient::serverLogCount(host), 21);
    QVERIFY(TestClient::serverLogContains(QStringLiteral("connected")));
    QTRY_VERIFY(TestClient::serverLogContains(
        QStringLiteral("40 more warnings about this address left out, the last: 10.9.9.9: "
                       "warning 59")));
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
