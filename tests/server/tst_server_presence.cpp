#include "chatserver.h"
#include "hostlog.h"
#include "kernelqueues.h"
#include "sourcefilter.h"
#include "testclient.h"

#include <QFile>
#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

class TestServerPresence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestClient::captureServerLog(); }
    void connectionsCloseAsTheRulesSay();
    void logIsBudgetedPerAddress();
    void onlyAllowedNetworksGetIn();
    void aWholeLanAtOnceIsTakenWithoutRetry();
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

void TestServerPresence::aWholeLanAtOnceIsTakenWithoutRetry()
{
    // A restarted server has every terminal back at once. What it has not accepted yet waits
    // in the kernel up to the listen backlog; a SYN beyond it is dropped and its terminal
    // connects only on the retry a second later. Here the server accepts nothing until all
    // have connected.
    constexpr int burst = 500;
    QFile cap(QStringLiteral("/proc/sys/net/core/somaxconn"));
    if (cap.open(QIODevice::ReadOnly) && cap.readAll().trimmed().toInt() < burst)
        QSKIP("net.core.somaxconn is below the burst");
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 2 * burst + 64)
        QSKIP("too few file descriptors");

    const QHostAddress at(QStringLiteral("127.0.0.185"));
    ChatServer server;
    server.setLimits({.maxConnectionsPerHost = burst});
    QVERIFY(server.listen(at));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(portOf(Channel::Chat));
    to.sin_addr.s_addr = htonl(at.toIPv4Address());
    sockaddr_in from = to;
    from.sin_port = 0;
    std::vector<int> clients;
    for (int i = 0; i < burst; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        clients.push_back(fd);
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from), 0);
        QVERIFY(::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 ||
                errno == EINPROGRESS);
    }
    QTRY_COMPARE(server.connectionCount(), burst);
    int retried = 0;
    for (const int fd : clients) {
        tcp_info info{};
        socklen_t size = sizeof info;
        QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size), 0);
        retried += info.tcpi_total_retrans > 0 ? 1 : 0;
        ::close(fd);
    }
    QCOMPARE(retried, 0);
}

QTEST_GUILESS_MAIN(TestServerPresence)
#include "tst_server_presence.moc"
