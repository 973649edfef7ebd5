// The chat session without any window: connecting and announcing, leaving, what arrives,
// and departures taken off the user list.
#include "channels/chatsession.h"
#include "channels/socketerrors.h"
#include "common/fakeserver.h"
#include "protocol/chatline.h"
#include "protocol/cp1254.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void connectingAnnouncesOnUserListAndJoin();
    void leavingAnnouncesThenClosesEveryChannel();
    void refusedConnectionReportedOncePerChannel();
    void failedChatChannelEndsTheSession();
    void endOfASessionUpIsToldOnceAndTriedAgain_data();
    void endOfASessionUpIsToldOnceAndTriedAgain();
    void serverThatStopsReadingIsGivenUp();
    void attemptComesBackOnlyWithAllFourChannels();
    void waitsStartAfreshOnlyAfterTheStableTimeUp();
    void leavingStopsTheRetries_data();
    void leavingStopsTheRetries();
    void nameThatLeadsNowhereFindsTheServer_data();
    void nameThatLeadsNowhereFindsTheServer();
    void secondConnectRetargetsAllChannels();
    void arrivalsAsTheyCame_data();
    void arrivalsAsTheyCame();
    void departuresGoEachAfterItsDelay();
    void departureAfterTheListWasEmptied();
    void readsStayApartWhileTheOwnerIsBusy_data();
    void readsStayApartWhileTheOwnerIsBusy();
};

namespace {

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

// Every channel took its own connected event, which comes apart from the server's accepting.
bool channelsUp(const ChatSession &session)
{
    const QList<Winsock *> channels = session.findChildren<Winsock *>();
    return channels.size() == 4 && std::ranges::all_of(channels, &Winsock::isConnected);
}

// A session connected to its own fake server, announced on both channels. Its retries come at
// the shortest waits the schedule allows: 1 s, then 2 s.
struct Connected
{
    explicit Connected(const QString &address, const QString &nick = QStringLiteral("ALI"),
                       const LinkTimers &timers = {})
        : server(address)
    {
        if (!server.listen())
            qFatal("fake server cannot listen on %s", qPrintable(address));
        session.setNickname(nick);
        session.setLinkTimers(timers);
        if (!session.connectTo(address).ok())
            qFatal("cannot connect to %s", qPrintable(address));
        if (!QTest::qWaitFor([this] { return server.terminalConnected() && channelsUp(session); }))
            qFatal("session did not connect to %s", qPrintable(address));
    }

    // Sends entries one arrival each, waiting for each to be listed.
    void list(std::initializer_list<const char *> names)
    {
        for (const char *name : names) {
            const int before = session.userList().count();
            server.send(FakeServer::UserList, name);
            QVERIFY(QTest::qWaitFor([&] { return session.userList().count() > before; }));
        }
    }

    void leave(const QByteArray &nickname)
    {
        QSignalSpy left(&session, &ChatSession::leaveArrived);
        server.send(FakeServer::Leave, nickname);
        QVERIFY(left.wait());
    }

    FakeServer server;
    ChatSession session{nullptr, ChatSession::Reading::OwnThread, &monotonicMs, [] { return 0.0; }};
};

} // namespace

void TestSession::connectingAnnouncesOnUserListAndJoin()
{
    FakeServer server(QStringLiteral("127.0.0.70"));
    QVERIFY(server.listen());
    ChatSession session;
    QSignalSpy state(&session, &ChatSession::connectedChanged);
    session.setNickname(QStringLiteral("ALİ Ş"));
    QVERIFY(session.connectTo(server.address()).ok());
    // Connected at once, before any channel could complete.
    QCOMPARE(state.size(), 1);
    QCOMPARE(state.at(0).at(0).toBool(), true);
    QVERIFY(session.isConnected());
    QCOMPARE(server.acceptedCount(FakeServer::Chat), 0);

    QTRY_COMPARE(server.received(FakeServer::UserList), QByteArray("AL\xDD \xDE"));
    QTRY_COMPARE(server.received(FakeServer::Join), QByteArray("AL\xDD \xDE"));
    QTRY_COMPARE(server.connectionCount(FakeServer::Leave), 1);
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 1);
    QTRY_VERIFY(channelsUp(session));
    // The chat and leave channels say nothing on connecting.
    QCOMPARE(server.received(FakeServer::Chat), QByteArray());
    QCOMPARE(server.received(FakeServer::Leave), QByteArray());

    QVERIFY(session.say(QStringLiteral("çay?")).ok());
    QTRY_COMPARE(server.received(FakeServer::Chat), QByteArray("<AL\xDD \xDE> \xE7"
                                                               "ay?"));
}

void TestSession::leavingAnnouncesThenClosesEveryChannel()
{
    Connected t(QStringLiteral("127.0.0.71"), QStringLiteral("VELİ"));
    t.list({"AYSE", "CAN"});
    QSignalSpy state(&t.session, &ChatSession::connectedChanged);
    QSignalSpy errors(&t.session, &ChatSession::socketError);
    QSignalSpy chat(&t.session, &ChatSession::chatArrived);
    t.session.leave();
    QCOMPARE(t.session.userList().count(), 0);
    QCOMPARE(state.size(), 1);
    QCOMPARE(state.at(0).at(0).toBool(), false);
    // Sent before the channel closed, and nothing reaches the one who left any more.
    QTRY_COMPARE(t.server.received(FakeServer::Leave), QByteArray("VEL\xDD"));
    t.server.send(FakeServer::Chat, "son");
    for (quint16 port : FakeServer::allPorts())
        QTRY_COMPARE(t.server.connectionCount(port), 0);
    QVERIFY(!chat.wait(300));
    QCOMPARE(errors.size(), 0);
}

void TestSession::refusedConnectionReportedOncePerChannel()
{
    // Nothing listens here: every channel is refused, only two of them say so.
    ChatSession session;
    QSignalSpy errors(&session, &ChatSession::socketError);
    QSignalSpy state(&session, &ChatSession::connectedChanged);
    session.setNickname(QStringLiteral("ALI"));
    QVERIFY(session.connectTo(QStringLiteral("127.0.0.72")).ok());
    QTRY_COMPARE(errors.size(), 2);
    QVERIFY(!errors.wait(300));
    for (const QList<QVariant> &error : std::as_const(errors)) {
        QCOMPARE(error.at(0).toInt(), int(SocketErrors::ConnectionRefused));
        QCOMPARE(error.at(1).toString(), QStringLiteral("Bağlantı reddedildi"));
    }
    // Connected at once, and no longer once both refusals are in; a connect the user made is
    // not tried again.
    QVERIFY(!session.isConnected());
    QCOMPARE(state.size(), 2);
    QCOMPARE(state.at(1).at(0).toBool(), false);
    QVERIFY(!session.isRetrying());
    QCOMPARE(session.nextAttemptInMs(), -1);
}

void TestSession::failedChatChannelEndsTheSession()
{
    // The server listens on every port but the chat's.
    FakeServer server(QStringLiteral("127.0.0.79"));
    QVERIFY(server.listen({FakeServer::UserList, FakeServer::Leave, FakeServer::Join}));
    ChatSession session;
    QSignalSpy errors(&session, &ChatSession::socketError);
    session.setNickname(QStringLiteral("ALI"));
    QVERIFY(session.connectTo(server.address()).ok());
    QTRY_VERIFY(!session.isConnected());
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(SocketErrors::ConnectionRefused));
    for (quint16 port : {FakeServer::UserList, FakeServer::Leave, FakeServer::Join})
        QTRY_COMPARE(server.connectionCount(port), 0);
    QVERIFY(!errors.wait(300));
}

void TestSession::endOfASessionUpIsToldOnceAndTriedAgain_data()
{
    QTest::addColumn<QList<quint16>>("ports");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("number"); // 0: the session goes on

    const QList<quint16> all = FakeServer::allPorts();
    QTest::newRow("server restarted") << all << false << QStringLiteral("127.0.0.80") << 10053;
    QTest::newRow("server killed") << all << true << QStringLiteral("127.0.0.81") << 10054;
    QTest::newRow("chat reset") << QList<quint16>{FakeServer::Chat} << true
                                << QStringLiteral("127.0.0.82") << 10054;
    QTest::newRow("user list closed")
        << QList<quint16>{FakeServer::UserList} << false << QStringLiteral("127.0.0.83") << 10053;
    QTest::newRow("notices closed") << QList<quint16>{FakeServer::Join, FakeServer::Leave} << false
                                    << QStringLiteral("127.0.0.84") << 0;
}

void TestSession::endOfASessionUpIsToldOnceAndTriedAgain()
{
    QFETCH(QList<quint16>, ports);
    QFETCH(bool, reset);
    QFETCH(QString, address);
    QFETCH(int, number);
    Connected t(address);
    t.list({"AYSE"});
    QSignalSpy lost(&t.session, &ChatSession::connectionLost);
    QSignalSpy back(&t.session, &ChatSession::reconnected);
    QSignalSpy errors(&t.session, &ChatSession::socketError);
    QSignalSpy state(&t.session, &ChatSession::connectedChanged);
    // Told while channels were still open, the others' ends would be told behind it.
    bool closedWhenTold = false;
    connect(&t.session, &ChatSession::connectionLost, this, [&] {
        closedWhenTold = t.session.isRetrying() && t.session.userList().count() == 0 &&
                         !t.session.findChild<Winsock *>(QStringLiteral("Winsock2"))->isConnected();
    });
    for (quint16 port : std::as_const(ports)) {
        if (reset)
            t.server.resetConnections(port);
        else
            t.server.closeConnections(port);
    }
    if (number == 0) {
        QVERIFY(!lost.wait(500));
        QVERIFY(t.session.isConnected() && !t.session.isRetrying());
        QCOMPARE(t.server.connectionCount(FakeServer::Chat), 1);
        return;
    }
    QVERIFY(lost.wait(1000));
    QCOMPARE(lost.at(0).at(0).toInt(), number);
    QCOMPARE(lost.at(0).at(1).toString(), SocketErrors::description(number));
    QVERIFY(closedWhenTold);
    for (quint16 port : FakeServer::allPorts())
        QTRY_COMPARE(t.server.connectionCount(port), 0);
    // Still connected for the window, and back on the server without a word from anyone.
    QVERIFY(t.session.isConnected());
    t.server.clearReceived();
    QVERIFY(back.wait(3000));
    QVERIFY(!t.session.isRetrying());
    QTRY_VERIFY(t.server.terminalConnected());
    QCOMPARE(t.server.received(FakeServer::Join), QByteArray("ALI"));
    QCOMPARE(t.server.received(FakeServer::UserList), QByteArray("ALI"));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(back.size(), 1);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(state.size(), 0);
}

void TestSession::serverThatStopsReadingIsGivenUp()
{
    Connected t(
        QStringLiteral("127.0.0.85"), QStringLiteral("ALI"),
        {std::chrono::seconds(1), std::chrono::seconds(1), 1, std::chrono::milliseconds(1000)});
    QSignalSpy lost(&t.session, &ChatSession::connectionLost);
    t.server.holdReading(FakeServer::Chat);
    // More than the buffers of both ends hold: the rest waits on a server that takes nothing.
    QVERIFY(t.session.say(QString(16 * 1024 * 1024, QLatin1Char('x'))).ok());
    QVERIFY(lost.wait(15000));
    QCOMPARE(lost.at(0).at(0).toInt(), int(SocketErrors::TimedOut));
    QVERIFY(t.session.isRetrying());
}

void TestSession::attemptComesBackOnlyWithAllFourChannels()
{
    Connected t(QStringLiteral("127.0.0.86"));
    QSignalSpy attempts(&t.session, &ChatSession::attemptStarted);
    QSignalSpy back(&t.session, &ChatSession::reconnected);
    // The server is back without its join port: chat and user list alone are no session.
    t.server.stopListening(FakeServer::Join);
    for (quint16 port : FakeServer::allPorts())
        t.server.closeConnections(port);
    QVERIFY(attempts.wait(2000));
    QTRY_VERIFY(t.server.acceptedCount(FakeServer::Chat) > 1);
    // The failed attempt closed what it had opened, and the next one is due.
    QTRY_COMPARE(t.server.connectionCount(FakeServer::Chat), 0);
    QTRY_VERIFY(t.session.nextAttemptInMs() > 0);
    QVERIFY(t.session.isRetrying());
    QCOMPARE(back.size(), 0);
    QVERIFY(t.server.listen({FakeServer::Join}));
    QVERIFY(back.wait(4000));
    QCOMPARE(attempts.size(), 2);
    QTRY_VERIFY(t.server.terminalConnected());
}

void TestSession::waitsStartAfreshOnlyAfterTheStableTimeUp()
{
    // The schedule runs on the test's clock, at the lowest spread: the first wait is 1 s, the
    // second 2 s, the third 4 s.
    const int firstWait = int(RetrySchedule::nominalWaitMs(1) * (1 - RetrySchedule::Spread));
    const int secondWait = int(RetrySchedule::nominalWaitMs(2) * (1 - RetrySchedule::Spread));
    qint64 now = 0;
    FakeServer server(QStringLiteral("127.0.0.86"));
    QVERIFY(server.listen());
    ChatSession session(
        nullptr, ChatSession::Reading::OwnThread, [&now] { return now; }, [] { return 0.0; });
    session.setNickname(QStringLiteral("ALI"));
    QSignalSpy lost(&session, &ChatSession::connectionLost);
    QSignalSpy back(&session, &ChatSession::reconnected);
    QVERIFY(session.connectTo(server.address()).ok());
    QTRY_VERIFY(server.terminalConnected() && session.isUp());

    // Ends the session and says how soon the next attempt is due; -1 when no end was told.
    // Every outage lasts the stable time on the schedule's clock: only the time up counts.
    const auto drop = [&] {
        server.clearReceived();
        for (quint16 port : FakeServer::allPorts())
            server.closeConnections(port);
        if (!lost.wait(1000))
            return -1;
        const int due = session.nextAttemptInMs();
        now += RetrySchedule::StableMs;
        return due;
    };
    int due = drop();
    QVERIFY2(due > 0 && due <= firstWait, qPrintable(QString::number(due)));
    QVERIFY(back.wait(firstWait + 2000));
    QTRY_VERIFY(server.terminalConnected());

    // Up for the stable time: back for good, and this end starts from the first wait again.
    now += RetrySchedule::StableMs;
    due = drop();
    QVERIFY2(due > 0 && due <= firstWait, qPrintable(QString::number(due)));
    QVERIFY(back.wait(firstWait + 2000));
    QTRY_VERIFY(server.terminalConnected());

    // Ended as soon as it came back: the second wait, whatever the outage before it lasted.
    due = drop();
    QVERIFY2(due > firstWait && due <= secondWait, qPrintable(QString::number(due)));
}

void TestSession::leavingStopsTheRetries_data()
{
    QTest::addColumn<bool>("duringAttempt");
    QTest::newRow("while waiting") << false;
    QTest::newRow("during an attempt") << true;
}

void TestSession::leavingStopsTheRetries()
{
    QFETCH(bool, duringAttempt);
    Connected t(QStringLiteral("127.0.0.87"));
    QSignalSpy lost(&t.session, &ChatSession::connectionLost);
    QSignalSpy attempts(&t.session, &ChatSession::attemptStarted);
    QSignalSpy state(&t.session, &ChatSession::connectedChanged);
    for (quint16 port : FakeServer::allPorts())
        t.server.closeConnections(port);
    QVERIFY(lost.wait(1000));
    if (duringAttempt)
        QVERIFY(attempts.wait(2000));
    const int accepted = t.server.acceptedCount(FakeServer::Chat);
    t.session.leave();
    QCOMPARE(state.size(), 1);
    QVERIFY(!t.session.isConnected() && !t.session.isRetrying());
    QCOMPARE(t.session.nextAttemptInMs(), -1);
    // Nothing more leaves for the server, however long it waits.
    QVERIFY(!attempts.wait(2500));
    QVERIFY(t.server.acceptedCount(FakeServer::Chat) <= accepted + (duringAttempt ? 1 : 0));
    for (quint16 port : FakeServer::allPorts())
        QTRY_COMPARE(t.server.connectionCount(port), 0);
}

void TestSession::nameThatLeadsNowhereFindsTheServer_data()
{
    using Kind = ChatSession::ServerChoice::Kind;
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("connects");
    const QString nowhere = QStringLiteral("vornel-yok.invalid");
    const QString server = QStringLiteral("127.0.0.88");
    const QString silent = QStringLiteral("127.0.0.89");
    QTest::newRow("resolved") << server << int(Kind::NotFound) << QString() << true;
    QTest::newRow("announced") << nowhere << int(Kind::Announced) << server << true;
    QTest::newRow("several announced") << nowhere << int(Kind::Pick) << QString() << false;
    QTest::newRow("on this machine") << nowhere << int(Kind::ThisMachine) << server << true;
    QTest::newRow("nothing on this machine")
        << nowhere << int(Kind::ThisMachine) << silent << false;
    QTest::newRow("nowhere") << nowhere << int(Kind::NotFound) << QString() << false;
}

void TestSession::nameThatLeadsNowhereFindsTheServer()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(bool, connects);
    FakeServer server(QStringLiteral("127.0.0.88"));
    QVERIFY(server.listen());
    ChatSession session;
    session.setNickname(QStringLiteral("ALI"));
    QSignalSpy errors(&session, &ChatSession::socketError);
    QSignalSpy pick(&session, &ChatSession::serverToPick);
    int asked = 0;
    session.connectFinding(name, [&] {
        ++asked;
        return ChatSession::ServerChoice{ChatSession::ServerChoice::Kind(kind),
                                         Destination::typed(host)};
    });
    QVERIFY(session.isConnected());
    if (connects) {
        QTRY_VERIFY(server.terminalConnected());
        QCOMPARE(errors.size(), 0);
        QCOMPARE(asked, host.isEmpty() ? 0 : 1);
        return;
    }
    QTRY_VERIFY(!session.isConnected());
    QCOMPARE(asked, 1);
    if (kind == int(ChatSession::ServerChoice::Kind::Pick)) {
        QCOMPARE(pick.size(), 1);
        QCOMPARE(errors.size(), 0);
        return;
    }
    // Told as connecting to the name itself would have told it.
    QTRY_COMPARE(errors.size(), 2);
    for (const QList<QVariant> &error : std::as_const(errors))
        QCOMPARE(error.at(0).toInt(), int(SocketErrors::HostNotFound));
    QVERIFY(!errors.wait(300));
    QCOMPARE(server.acceptedCount(FakeServer::Chat), 0);
}

void TestSession::secondConnectRetargetsAllChannels()
{
    FakeServer first(QStringLiteral("127.0.0.73"));
    FakeServer second(QStringLiteral("127.0.0.74"));
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    ChatSession session;
    session.setNickname(QStringLiteral("ALI"));
    QVERIFY(session.connectTo(first.address()).ok());
    for (quint16 port : FakeServer::allPorts())
        QTRY_COMPARE(first.connectionCount(port), 1);
    session.leave();
    QVERIFY(session.connectTo(second.address()).ok());
    for (quint16 port : FakeServer::allPorts()) {
        QTRY_COMPARE(second.connectionCount(port), 1);
        QTRY_COMPARE(first.connectionCount(port), 0);
    }
    QTRY_COMPARE(second.received(FakeServer::UserList), QByteArray("ALI"));
}

void TestSession::arrivalsAsTheyCame_data()
{
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("bytes");
    QByteArray all(256, '\0');
    for (int b = 0; b < 256; ++b)
        all[b] = char(b);
    QTest::newRow("chat") << FakeServer::Chat << all;
    QTest::newRow("join") << FakeServer::Join
                          << joinNotice("AY\xDE"
                                        "E");
    QTest::newRow("leave") << FakeServer::Leave << all;
    QTest::newRow("two names in one") << FakeServer::UserList << QByteArray("DEN\xDDZ\r\nEMRE");
}

void TestSession::arrivalsAsTheyCame()
{
    QFETCH(quint16, port);
    QFETCH(QByteArray, bytes);
    Connected t(QStringLiteral("127.0.0.75"));
    QSignalSpy chat(&t.session, &ChatSession::chatArrived);
    QSignalSpy join(&t.session, &ChatSession::joinArrived);
    QSignalSpy leave(&t.session, &ChatSession::leaveArrived);
    t.server.send(port, bytes);
    if (port == FakeServer::UserList) {
        QTRY_COMPARE(t.session.userList().count(), 1);
        QCOMPARE(t.session.userList().entries().first(), Cp1254::decode(bytes));
    } else {
        QSignalSpy &spy = port == FakeServer::Chat ? chat : port == FakeServer::Join ? join : leave;
        QVERIFY(spy.wait());
        QCOMPARE(spy.at(0).at(0).toByteArray(), bytes);
        if (port == FakeServer::Leave)
            QCOMPARE(spy.at(0).at(1).toString(), Cp1254::decode(bytes));
    }
    QCOMPARE(chat.size() + join.size() + leave.size(), port == FakeServer::UserList ? 0 : 1);
}

void TestSession::departuresGoEachAfterItsDelay()
{
    Connected t(QStringLiteral("127.0.0.76"));
    t.list({"AL\xDD"
            "BABA",
            "AL\xDD", "VELI", "AYSE", "CAN"});
    auto *timer = t.session.findChild<QTimer *>(QStringLiteral("Timer2"));
    QVERIFY(timer);
    QSignalSpy done(&t.session, &ChatSession::departuresDone);
    t.leave("VELI");
    t.leave("can");    // letter case of the notice does not matter
    t.leave("AL\xDD"); // the very entry, not the longer one listed first
    t.leave("ZEYNEP"); // not listed: nothing goes
    QCOMPARE(t.session.pendingRemovals(), 4);
    QVERIFY(timer->isActive());
    QVERIFY(timer->remainingTime() > 1500);
    QCOMPARE(t.session.userList().count(), 5);

    t.session.Timer2_Timer();
    QCOMPARE(t.session.userList().entries(),
             QStringList({QStringLiteral("ALİBABA"), QStringLiteral("ALİ"), QStringLiteral("AYSE"),
                          QStringLiteral("CAN")}));
    // The next waits out its own delay, counted from its own notice.
    QVERIFY(timer->isActive());
    QVERIFY(timer->remainingTime() <= ChatSession::RemovalDelayMs);
    QCOMPARE(done.size(), 0);
    t.session.Timer2_Timer();
    t.session.Timer2_Timer();
    QCOMPARE(t.session.userList().entries(),
             QStringList({QStringLiteral("ALİBABA"), QStringLiteral("AYSE")}));
    // The last one is left to the timer itself.
    QVERIFY(done.wait(ChatSession::RemovalDelayMs + 2000));
    QCOMPARE(t.session.userList().count(), 2);
    QCOMPARE(t.session.pendingRemovals(), 0);
    QVERIFY(!timer->isActive());
}

void TestSession::departureAfterTheListWasEmptied()
{
    Connected t(QStringLiteral("127.0.0.77"));
    t.list({"VELI"});
    t.leave("VELI");
    t.session.leave();
    // Entries that come after the list was emptied are not the departed user's old entry.
    QVERIFY(t.session.connectTo(t.server.address()).ok());
    QTRY_COMPARE(t.server.acceptedCount(FakeServer::UserList), 2);
    t.list({"VELI"});
    t.session.Timer2_Timer();
    QCOMPARE(t.session.userList().entries(), QStringList(QStringLiteral("VELI")));
}

void TestSession::readsStayApartWhileTheOwnerIsBusy_data()
{
    QTest::addColumn<ChatSession::Reading>("reading");
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::newRow("own thread") << ChatSession::Reading::OwnThread
                                << QList<QByteArray>{"bir", "iki"};
    // What a terminal reading on its window's thread gets: the two run together.
    QTest::newRow("caller's thread")
        << ChatSession::Reading::CallerThread << QList<QByteArray>{"biriki"};
}

void TestSession::readsStayApartWhileTheOwnerIsBusy()
{
    QFETCH(ChatSession::Reading, reading);
    QFETCH(QList<QByteArray>, arrivals);
    FakeServer server(QStringLiteral("127.0.0.78"));
    QVERIFY(server.listen());
    ChatSession session(nullptr, reading);
    QVERIFY(session.connectTo(server.address()).ok());
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 1);
    auto *chat = session.findChild<Winsock *>(QStringLiteral("Winsock1"));
    QTRY_VERIFY(chat->isConnected());

    // This thread takes no events between the two sends. Each round trip through the reading
    // thread's event loop lets it read the socket on its way.
    auto *io = session.findChild<IoThread *>();
    QVERIFY(io);
    QSignalSpy chatArrived(&session, &ChatSession::chatArrived);
    for (const char *piece : {"bir", "iki"}) {
        server.send(FakeServer::Chat, piece);
        for (int i = 0; i < 3 && io->isRunning(); ++i)
            QMetaObject::invokeMethod(
                io->eventDispatcher(), [] {}, Qt::BlockingQueuedConnection);
    }
    QTRY_COMPARE(chatArrived.size(), arrivals.size());
    for (qsizetype i = 0; i < arrivals.size(); ++i)
        QCOMPARE(chatArrived.at(i).at(0).toByteArray(), arrivals.at(i));
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
