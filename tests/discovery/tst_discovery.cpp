// Servers announced through Avahi and found by the terminal's browsing, on the lab of machines
// run-discovery makes: each machine its own network, system bus and Avahi daemon.
#include "../faults/labprocess.h"
#include "channels/serverbrowser.h"
#include "discoverylab.h"
#include "protocol/channel.h"
#include "protocol/fingerprint.h"
#include "protocol/linkframes.h"
#include "serviceannouncer.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpSocket>
#include <QtTest>

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void serverFoundWhereItListens_data();
    void serverFoundWhereItListens();
    void twoServersOnTwoMachines();
    void stoppedServerLeavesTheList();
    void withdrawnOnStopWhileItsProcessLives();
    void takenNameIsExchangedAndLogged();
    void linkAndLoggedFingerprintAnnouncedUnderASecondName();
    void notAnnounced_data();
    void notAnnounced();
    void serverWithoutDaemonServesAsBefore_data();
    void serverWithoutDaemonServesAsBefore();
    void serverAnnouncedOnceTheDaemonStartsAndAgainAfterARestart();
    void browserWithoutDaemonOffersNothingAndSaysNothing();
    void browserFollowsItsDaemon();

private:
    // The servers found by a browser on the terminal's machine, by name.
    static bool offers(const ServerBrowser &browser, const QString &name)
    {
        return browser.find(name).has_value();
    }

    DiscoveryLab *m_lab = nullptr;
};

namespace {

constexpr int Found = 15000; // probing and announcing take a few seconds on a busy machine
constexpr int Gone = 5000;

QStringList named(const QString &name, const QHostAddress &listen = {})
{
    QStringList options{QStringLiteral("--name"), name};
    if (!listen.isNull())
        options << QStringLiteral("--listen") << listen.toString();
    return options;
}

int linesWith(const QString &log, QStringView text)
{
    int n = 0;
    for (const QStringView line : QStringView(log).split(u'\n'))
        n += line.contains(text);
    return n;
}

} // namespace

void TestDiscovery::initTestCase()
{
    m_lab = new DiscoveryLab(this);
    if (!m_lab->isComplete())
        QSKIP("not in the discovery lab: run through tests/discovery/run-discovery");
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestDiscovery::cleanup()
{
    m_lab->stopPrograms();
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestDiscovery::serverFoundWhereItListens_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("expected"); // the one address offered
    QTest::addColumn<QStringList>("addresses");
    QTest::newRow("first LAN, IPv4")
        << QStringLiteral("198.51.100.1") << QStringLiteral("198.51.100.1")
        << QStringList{QStringLiteral("198.51.100.1")};
    QTest::newRow("second LAN") << QStringLiteral("203.0.113.1") << QStringLiteral("203.0.113.1")
                                << QStringList{QStringLiteral("203.0.113.1")};
    // IPv6 alone: no IPv4 address, but which of the two IPv6 ones the daemon gives is its own.
    QTest::newRow("first LAN, IPv6")
        << QStringLiteral("2001:db8:1::1") << QString() << QStringList();
    // Everywhere: every address of both LANs, over both protocols; IPv4 offered first.
    QTest::newRow("all interfaces")
        << QString() << QString()
        << QStringList{QStringLiteral("198.51.100.1"), QStringLiteral("203.0.113.1")};
}

void TestDiscovery::serverFoundWhereItListens()
{
    QFETCH(QString, listen);
    QFETCH(QString, expected);
    QFETCH(QStringList, addresses);
    // Named after its machine unless told otherwise.
    const QString name = listen.isEmpty() ? QSysInfo::machineHostName().section(u'.', 0, 0)
                                          : QStringLiteral("Yer %1").arg(listen);
    LabProcess *server = m_lab->startServer(
        m_lab->server1, listen.isEmpty() ? QStringList() : named(name, QHostAddress(listen)));
    QVERIFY(server);
    ServerBrowser browser;
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    QTRY_VERIFY2(
        server->errors().contains(QStringLiteral("announced on the network as \"%1\"").arg(name)),
        qPrintable(server->errors()));
    const FoundServer found = *browser.find(name);
    QCOMPARE(found.name, name);
    QCOMPARE(found.hostName, QStringLiteral("vornel-s1.local"));
    QCOMPARE(found.port, portOf(Channel::Chat));

    if (listen.isEmpty()) {
        // Both LANs, and IPv6 besides.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const FoundServer f = *browser.find(name);
                bool v6 = false;
                for (const QHostAddress &a : f.addresses)
                    v6 |= a.protocol() == QAbstractSocket::IPv6Protocol;
                return v6 && f.addresses.contains(QHostAddress(addresses.at(0))) &&
                       f.addresses.contains(QHostAddress(addresses.at(1)));
            }(),
            Found);
        const FoundServer f = *browser.find(name);
        QCOMPARE(f.address.protocol(), QAbstractSocket::IPv4Protocol);
        QCOMPARE(f.addresses.constFirst(), f.address);
        return;
    }
    // Announced on every interface and protocol, it would be seen on all of them at once: a
    // few seconds after the first sighting, no other has come.
    const auto elsewhere = [&] {
        const std::optional<FoundServer> f = browser.find(name);
        if (!f)
            return true;
        QStringList got;
        for (const QHostAddress &a : f->addresses) {
            if (expected.isEmpty() ? a.protocol() != QAbstractSocket::IPv6Protocol
                                   : !addresses.contains(a.toString()))
                return true;
            got << a.toString();
        }
        return !expected.isEmpty() && (got != addresses || f->address != QHostAddress(expected));
    };
    QVERIFY(!QTest::qWaitFor(elsewhere, 3000));
}

void TestDiscovery::twoServersOnTwoMachines()
{
    QVERIFY(m_lab->startServer(m_lab->server1, named(QStringLiteral("Sol"))));
    QVERIFY(m_lab->startServer(m_lab->server2, named(QStringLiteral("Sağ"))));
    ServerBrowser browser;
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(
        offers(browser, QStringLiteral("Sol")) && offers(browser, QStringLiteral("Sağ")), Found);
    // Ordered by name; the list may still hold what an earlier case's daemon cached.
    QList<FoundServer> servers = browser.servers();
    servers.removeIf([](const FoundServer &f) {
        return f.name != QStringLiteral("Sol") && f.name != QStringLiteral("Sağ");
    });
    QCOMPARE(servers.size(), 2);
    QCOMPARE(servers.at(0).name, QStringLiteral("Sağ"));
    QCOMPARE(servers.at(0).address, m_lab->server2.address());
    QCOMPARE(servers.at(0).hostName, QStringLiteral("vornel-s2.local"));
    QCOMPARE(servers.at(1).name, QStringLiteral("Sol"));
    QCOMPARE(servers.at(1).address, m_lab->server1.address());
}

void TestDiscovery::stoppedServerLeavesTheList()
{
    const QString name = QStringLiteral("Giden");
    LabProcess *server = m_lab->startServer(m_lab->server1, named(name));
    QVERIFY(server);
    ServerBrowser browser;
    QSignalSpy changed(&browser, &ServerBrowser::serversChanged);
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    QVERIFY(DiscoveryLab::stop(server));
    QVERIFY2(server->errors().contains(
                 QStringLiteral("no longer announced on the network as \"%1\"").arg(name)),
             qPrintable(server->errors()));
    QTRY_VERIFY_WITH_TIMEOUT(!offers(browser, name), Gone);
    QVERIFY(changed.size() >= 2);
}

void TestDiscovery::withdrawnOnStopWhileItsProcessLives()
{
    // This process, on the terminal's machine, announces; a browser on s1's bus watches. The
    // connection to the daemon stays, so only the withdrawal itself takes the service away.
    const QString name = QStringLiteral("Yerinde");
    ServiceAnnouncer announcer(m_lab->bus(m_lab->terminal));
    QSignalSpy announced(&announcer, &ServiceAnnouncer::announced);
    announcer.start(name, m_lab->terminal.address());
    QVERIFY(announced.wait(15000));
    QCOMPARE(announcer.announcedName(), name);
    ServerBrowser browser(m_lab->bus(m_lab->server1));
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    QCOMPARE(browser.find(name)->address, m_lab->terminal.address());
    announcer.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!offers(browser, name), Gone);
}

void TestDiscovery::takenNameIsExchangedAndLogged()
{
    const QString name = QStringLiteral("Ortak");
    const QString second = QStringLiteral("Ortak #2");
    LabProcess *first = m_lab->startServer(m_lab->server1, named(name));
    QVERIFY(first);
    ServerBrowser browser;
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    LabProcess *later = m_lab->startServer(m_lab->server2, named(name));
    QVERIFY(later);
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, second), Found);
    QCOMPARE(browser.find(name)->address, m_lab->server1.address());
    QCOMPARE(browser.find(second)->address, m_lab->server2.address());
    QTRY_VERIFY2(
        later->errors().contains(QStringLiteral("announced on the network as \"%1\"").arg(second)),
        qPrintable(later->errors()));
    QVERIFY(later->errors().contains(
        QStringLiteral("the name \"%1\" is taken on the network").arg(name)));
    QVERIFY(!first->errors().contains(u"taken"));
}

void TestDiscovery::linkAndLoggedFingerprintAnnouncedUnderASecondName()
{
    // Its name held on its own daemon already, the server registers a second time, under
    // another name.
    const QString name = QStringLiteral("Kilitli");
    ServiceAnnouncer holder(m_lab->bus(m_lab->server1));
    QSignalSpy held(&holder, &ServiceAnnouncer::announced);
    holder.start(name, QHostAddress::AnyIPv4);
    QVERIFY(held.wait(Found));
    QTemporaryDir state;
    QVERIFY(state.isValid());
    qputenv("STATE_DIRECTORY", QFile::encodeName(state.path()));
    LabProcess *server = m_lab->startServer(m_lab->server1, named(name));
    qunsetenv("STATE_DIRECTORY");
    QVERIFY(server);
    ServerBrowser browser;
    browser.start();
    const QString second = name + QStringLiteral(" #2");
    QTRY_VERIFY2_WITH_TIMEOUT(offers(browser, second), qPrintable(server->errors()), Found);
    const ServiceTxt txt = browser.find(second)->txt;
    QCOMPARE(txt.linkPort, LinkPort);
    QCOMPARE(txt.fingerprint.size(), Fingerprint::DigestBytes);
    const QString log = server->errors();
    QCOMPARE(linesWith(log, u"certificate fingerprint"), 1);
    const QRegularExpressionMatch logged =
        QRegularExpression(QStringLiteral("certificate fingerprint \\(SHA-256\\): ([0-9A-F:]+)"))
            .match(log);
    QVERIFY2(logged.hasMatch(), qPrintable(log));
    QCOMPARE(Fingerprint::toText(txt.fingerprint), logged.captured(1));
}

void TestDiscovery::notAnnounced_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("logged");
    QTest::newRow("--no-announce")
        << QStringList{QStringLiteral("--no-announce")}
        << QStringLiteral("not announced on the network (--no-announce)");
    QTest::newRow("loopback alone")
        << QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1")}
        << QStringLiteral("not announced on the network: it listens on loopback only");
}

void TestDiscovery::notAnnounced()
{
    QFETCH(QStringList, options);
    QFETCH(QString, logged);
    // A name of its own for each row: a daemon may still hold what the row before announced.
    const QString hidden = QStringLiteral("Gizli ") + QLatin1StringView(QTest::currentDataTag());
    LabProcess *server = m_lab->startServer(m_lab->server1, named(hidden) + options);
    QVERIFY(server);
    // Announced after it, another server is found: by then the first would have been too.
    QVERIFY(m_lab->startServer(m_lab->server2, named(QStringLiteral("Açık"))));
    ServerBrowser browser;
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, QStringLiteral("Açık")), Found);
    QVERIFY(!QTest::qWaitFor([&] { return offers(browser, hidden); }, 2000));
    QVERIFY2(server->errors().contains(logged), qPrintable(server->errors()));
    QVERIFY(!server->errors().contains(u"Avahi"));
}

void TestDiscovery::serverWithoutDaemonServesAsBefore_data()
{
    QTest::addColumn<bool>("withBus");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no daemon") << true
                               << QStringLiteral("not announced on the network: no Avahi daemon on "
                                                 "the system bus; announced once it starts");
    QTest::newRow("no bus") << false
                            << QStringLiteral("not announced on the network: no system bus");
}

void TestDiscovery::serverWithoutDaemonServesAsBefore()
{
    QFETCH(bool, withBus);
    QFETCH(QString, logged);
    m_lab->stopAvahi(m_lab->server2);
    LabProcess *server =
        m_lab->startServer(m_lab->server2, named(QStringLiteral("Yalnız")), withBus);
    QVERIFY(server);
    QTcpSocket terminal;
    terminal.connectToHost(m_lab->server2.address(), portOf(Channel::UserList));
    QVERIFY(terminal.waitForConnected(5000));
    terminal.write("YALNIZ");
    QTRY_VERIFY(server->errors().contains(u"is on the list"));
    QTRY_COMPARE(linesWith(server->errors(), u"announced"), 1);
    QVERIFY2(server->errors().contains(logged), qPrintable(server->errors()));
    QCOMPARE(linesWith(server->errors(), u"warning"), 0);
}

void TestDiscovery::serverAnnouncedOnceTheDaemonStartsAndAgainAfterARestart()
{
    const QString name = QStringLiteral("Sabırlı");
    m_lab->stopAvahi(m_lab->server2);
    LabProcess *server = m_lab->startServer(m_lab->server2, named(name));
    QVERIFY(server);
    QTRY_VERIFY(server->errors().contains(u"no Avahi daemon"));
    ServerBrowser browser;
    browser.start();
    QVERIFY(m_lab->startAvahi(m_lab->server2));
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);

    m_lab->stopAvahi(m_lab->server2);
    QTRY_VERIFY_WITH_TIMEOUT(!offers(browser, name), Gone);
    QTRY_VERIFY(server->errors().contains(u"the Avahi daemon stopped"));
    QVERIFY(m_lab->startAvahi(m_lab->server2));
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    QCOMPARE(browser.find(name)->address, m_lab->server2.address());
    QCOMPARE(browser.find(name)->txt.linkPort, LinkPort);
    QCOMPARE(
        linesWith(server->errors(), QStringLiteral("announced on the network as \"%1\"").arg(name)),
        2);
}

void TestDiscovery::browserWithoutDaemonOffersNothingAndSaysNothing()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    const QString name = QStringLiteral("Uzakta");
    QVERIFY(m_lab->startServer(m_lab->server1, named(name)));
    ServerBrowser onTerminal;
    onTerminal.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(onTerminal, name), Found);

    // No bus at all, and a bus without a daemon; the latter browses once the daemon runs.
    m_lab->stopAvahi(m_lab->server2);
    ServerBrowser noBus(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                      QStringLiteral("nowhere")));
    ServerBrowser noDaemon(m_lab->bus(m_lab->server2));
    noBus.start();
    noDaemon.start();
    QVERIFY(!QTest::qWaitFor(
        [&] { return !noBus.servers().isEmpty() || !noDaemon.servers().isEmpty(); }, 2000));
    QVERIFY(m_lab->startAvahi(m_lab->server2));
    QTRY_VERIFY_WITH_TIMEOUT(offers(noDaemon, name), Found);
    QCOMPARE(noDaemon.find(name)->address, m_lab->server1.address());
    QVERIFY(noBus.servers().isEmpty());
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

void TestDiscovery::browserFollowsItsDaemon()
{
    const QString name = QStringLiteral("Sadık");
    QVERIFY(m_lab->startServer(m_lab->server1, named(name)));
    ServerBrowser browser(m_lab->bus(m_lab->server2));
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    // Stopped while browsing, it takes the list with it; back, it is browsed again.
    m_lab->stopAvahi(m_lab->server2);
    QTRY_VERIFY_WITH_TIMEOUT(browser.servers().isEmpty(), Gone);
    QVERIFY(m_lab->startAvahi(m_lab->server2));
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
    // Stopped by its owner, it forgets, and comes back when started again.
    browser.stop();
    QVERIFY(browser.servers().isEmpty());
    browser.start();
    QTRY_VERIFY_WITH_TIMEOUT(offers(browser, name), Found);
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
