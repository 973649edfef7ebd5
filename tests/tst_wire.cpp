// Text on the wire and the socket channel itself.
#include "channels/iothread.h"
#include "channels/resetprobe.h"
#include "channels/socketerrors.h"
#include "channels/socketworker.h"
#include "channels/winsock.h"
#include "common/fakeserver.h"
#include "protocol/chatline.h"
#include "protocol/cp1254.h"

#include <QAbstractEventDispatcher>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStringDecoder>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    void decodeMatchesThePlatformCodePage();
    void everyByteSurvivesARoundTrip();
    void turkishLettersEncode();
    void unencodableCharactersBecomeQuestionMarks();
    void lineFormats();
    void sendRefusedUnlessConnected();
    void connectSendAndReceive();
    void eachSendLeavesAtOnce();
    void everyReadIsAcknowledgedAtOnce();
    void refusedConnectionRaisesError();
    void unresolvableHostRaisesError();
    void closeIsHarmlessAndReconnects();
    void serverEndsTheConnection_data();
    void serverEndsTheConnection();
    void probeTellsATimeOut();
    void closeSilencesTheAttempt();
    void arrivalHandledAfterCloseIsDropped();
    void failedWriteEndsTheConnectionWithItsError();
    void timeOutIsToldWhateverErrorQtReports();
    void untakenArrivalsHoldTheSenderBack();
    void theOwnerNeverWaitsForTheReadingThread();
};

namespace {

// Connects a channel to the stand-in server's chat port and waits until both ends are up.
bool connectToChat(Winsock &channel, const FakeServer &server)
{
    QSignalSpy connected(&channel, &Winsock::Connected);
    return channel.setRemoteHost(server.address()).ok() &&
           channel.setRemotePort(FakeServer::Chat).ok() && channel.Connect().ok() &&
           connected.wait() &&
           QTest::qWaitFor([&] { return server.connectionCount(FakeServer::Chat) == 1; });
}

// This process's socket with the given local port, or -1.
int descriptorOf(quint16 localPort)
{
    for (int candidate = 0; candidate < 4096; ++candidate) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        if (::getsockname(candidate, reinterpret_cast<sockaddr *>(&local), &size) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == localPort)
            return candidate;
    }
    return -1;
}

// A socket that fails on cue: its writes, or by reporting an error as Qt does for one the
// system found while writing, which Qt reports as the error it had before.
class ScriptedSocket : public QTcpSocket
{
public:
    std::atomic<bool> failWrites = false;
    void reportError(SocketError error)
    {
        setSocketError(error);
        emit errorOccurred(error);
    }

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        if (!failWrites)
            return QTcpSocket::writeData(data, size);
        setSocketError(SocketResourceError);
        return -1;
    }
};

} // namespace

void TestWire::decodeMatchesThePlatformCodePage()
{
    QStringDecoder icu("windows-1254");
    if (!icu.isValid())
        QSKIP("this Qt has no windows-1254 codec to compare with");
    for (int b = 0; b < 256; ++b) {
        const QByteArray byte(1, char(b));
        const QString ours = Cp1254::decode(byte);
        QCOMPARE(ours.size(), 1);
        QString theirs = icu.decode(byte);
        // Bytes the code page leaves undefined may come back as U+FFFD from ICU; ours keep
        // the byte's value so that nothing is lost.
        if (theirs == QStringLiteral("\uFFFD"))
            continue;
        QCOMPARE(ours.at(0).unicode(), theirs.at(0).unicode());
    }
}

void TestWire::everyByteSurvivesARoundTrip()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Cp1254::decode(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(Cp1254::encode(text), all);
}

void TestWire::turkishLettersEncode()
{
    QCOMPARE(Cp1254::encode(u"ĞÜŞİÖÇğüşıöç"),
             QByteArray("\xD0\xDC\xDE\xDD\xD6\xC7\xF0\xFC\xFE\xFD\xF6\xE7"));
    QCOMPARE(Cp1254::decode("\xD0\xDC\xDE\xDD\xD6\xC7\xF0\xFC\xFE\xFD\xF6\xE7"),
             QStringLiteral("ĞÜŞİÖÇğüşıöç"));
    QCOMPARE(Cp1254::encode(u"€ merhaba"), QByteArray("\x80 merhaba"));
}

void TestWire::unencodableCharactersBecomeQuestionMarks()
{
    // One '?' per character, including one for a character outside the BMP; never 0x1A.
    QCOMPARE(Cp1254::encode(u"a\u4E2Db\U0001F600c\u00D0"), QByteArray("a?b?c?"));
    // A lone surrogate is one character that cannot be held.
    QCOMPARE(Cp1254::encode(QString(QChar(0xD800))), QByteArray("?"));
}

void TestWire::lineFormats()
{
    // The texts both ends rely on, byte for byte.
    QCOMPARE(Cp1254::encode(chatLine(u"ALİ", u" selam ")), QByteArray("<AL\xDD>  selam "));
    QCOMPARE(joinNotice("AL\xDD"), QByteArray("AL\xDD sohbete kat\xFDld\xFD."));
    QCOMPARE(logLine("x\r\ny"), QByteArray("x\r\ny\r\n"));
    QCOMPARE(leaveLine(QByteArray(1, '\0')), QByteArray(1, '\0') + " sohbetten ayr\xFDld\xFD.\r\n");
}

void TestWire::sendRefusedUnlessConnected()
{
    Winsock channel;
    const WinsockResult r = channel.SendData(QStringLiteral("x"));
    QVERIFY(!r.ok());
    QCOMPARE(r.number(), int(SocketErrors::WrongProtocolOrState));
    QVERIFY(r.message().startsWith(QStringLiteral("40006: ")));
    QVERIFY(!channel.setRemotePort(70000).ok());
}

void TestWire::connectSendAndReceive()
{
    FakeServer server(QStringLiteral("127.0.0.150"));
    QVERIFY(server.listen({FakeServer::Chat}));
    Winsock channel;
    QVERIFY(connectToChat(channel, server));

    QVERIFY(channel.SendData(QStringLiteral("Işık")).ok());
    QTRY_COMPARE(server.received(FakeServer::Chat), QByteArray("I\xFE\xFDk"));

    QSignalSpy arrived(&channel, &Winsock::DataArrival);
    server.send(FakeServer::Chat, QByteArray("\xC7"
                                             "ay\0!",
                                             5));
    QVERIFY(arrived.wait());
    QString data;
    QVERIFY(channel.GetData(data).ok());
    QCOMPARE(data, QString(QStringLiteral("Çay") + QChar(0) + QStringLiteral("!")));
    QVERIFY(channel.GetData(data).ok());
    QCOMPARE(data, QString());
}

void TestWire::eachSendLeavesAtOnce()
{
    // Read on this thread, which takes no events here: only what SendData itself wrote can
    // reach the server. Nothing is left for a later write that would carry the next line too.
    FakeServer server(QStringLiteral("127.0.0.157"));
    QVERIFY(server.listen({FakeServer::Chat}));
    Winsock channel;
    QVERIFY(connectToChat(channel, server));
    QTcpSocket *peer = server.connections(FakeServer::Chat).constFirst();
    QVERIFY(channel.SendData(QStringLiteral("bir")).ok());
    QVERIFY(peer->waitForReadyRead(2000));
    QCOMPARE(server.received(FakeServer::Chat), QByteArray("bir"));
    QVERIFY(channel.SendData(QStringLiteral("iki")).ok());
    QVERIFY(peer->waitForReadyRead(2000));
    QCOMPARE(server.received(FakeServer::Chat), QByteArray("biriki"));
}

void TestWire::everyReadIsAcknowledgedAtOnce()
{
    // A server that answers each line from the terminal puts the terminal's kernel into
    // delaying its acknowledgements, and the server waits for them before its next message:
    // every read must take the kernel out of that again.
    FakeServer server(QStringLiteral("127.0.0.159"));
    QVERIFY(server.listen({FakeServer::Chat}));
    Winsock channel;
    QVERIFY(connectToChat(channel, server));
    const int fd = descriptorOf(channel.localPort());
    QVERIFY(fd >= 0);
    QList<int> quick;
    connect(&channel, &Winsock::DataArrival, this, [&] {
        QByteArray bytes;
        (void)channel.GetData(bytes);
        int on = 0;
        socklen_t size = sizeof on;
        ::getsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, &size);
        quick.append(on);
        (void)channel.SendData(QStringLiteral("y"));
    });
    connect(&server, &FakeServer::dataReceived, this, [&] {
        if (quick.size() < 8)
            server.send(FakeServer::Chat, "x");
    });
    server.send(FakeServer::Chat, "x");
    QTRY_COMPARE(quick.size(), 8);
    QCOMPARE(quick, QList<int>(8, 1));
}

void TestWire::refusedConnectionRaisesError()
{
    Winsock channel;
    QVERIFY(channel.setRemoteHost(QStringLiteral("127.0.0.151")).ok());
    QVERIFY(channel.setRemotePort(FakeServer::Chat).ok());
    QSignalSpy errors(&channel, &Winsock::Error);
    QVERIFY(channel.Connect().ok());
    QVERIFY(errors.wait());
    QCOMPARE(errors.at(0).at(0).toInt(), 10061);
    QCOMPARE(errors.at(0).at(1).toString(), SocketErrors::description(10061));
    // One error per attempt; closed, the channel tries again and fails again.
    QVERIFY(!errors.wait(300));
    channel.Close();
    QVERIFY(channel.Connect().ok());
    QVERIFY(errors.wait());
    QCOMPARE(errors.size(), 2);
}

void TestWire::unresolvableHostRaisesError()
{
    Winsock channel;
    QVERIFY(channel.setRemoteHost(QStringLiteral("no-such-host.invalid")).ok());
    QVERIFY(channel.setRemotePort(FakeServer::Chat).ok());
    QSignalSpy errors(&channel, &Winsock::Error);
    QVERIFY(channel.Connect().ok());
    QVERIFY(errors.wait(15000));
    QCOMPARE(errors.at(0).at(0).toInt(), 11001);
}

void TestWire::closeIsHarmlessAndReconnects()
{
    FakeServer server(QStringLiteral("127.0.0.152"));
    QVERIFY(server.listen({FakeServer::Join}));
    Winsock channel;
    channel.Close();
    channel.Close();
    QVERIFY(channel.setRemoteHost(server.address()).ok());
    QVERIFY(channel.setRemotePort(FakeServer::Join).ok());
    QSignalSpy connected(&channel, &Winsock::Connected);
    QVERIFY(channel.Connect().ok());
    QVERIFY(connected.wait());
    // Reconfiguring a live channel is refused until it is closed.
    QVERIFY(!channel.setRemoteHost(server.address()).ok());
    channel.Close();
    QVERIFY(!channel.isConnected());
    QVERIFY(channel.setRemoteHost(server.address()).ok());
    QVERIFY(channel.Connect().ok());
    QVERIFY(connected.wait());
    QTRY_COMPARE(server.acceptedCount(FakeServer::Join), 2);
}

void TestWire::serverEndsTheConnection_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::newRow("orderly close is 10053") << false << QStringLiteral("127.0.0.153") << 10053
                                            << QStringLiteral("Bağlantı karşı tarafça kapatıldı");
    QTest::newRow("reset is 10054") << true << QStringLiteral("127.0.0.154") << 10054
                                    << QStringLiteral("Bağlantı karşı tarafça sıfırlandı");
}

void TestWire::serverEndsTheConnection()
{
    QFETCH(bool, reset);
    QFETCH(QString, address);
    QFETCH(int, number);
    QFETCH(QString, description);
    FakeServer server(address);
    QVERIFY(server.listen({FakeServer::Chat}));
    // Read on a thread of its own, as the terminal does.
    IoThread io;
    io.start();
    Winsock channel(&io, nullptr);
    QSignalSpy errors(&channel, &Winsock::Error);
    QVERIFY(connectToChat(channel, server));
    if (reset)
        server.resetConnections(FakeServer::Chat);
    else
        server.closeConnections(FakeServer::Chat);
    QVERIFY(errors.wait(1000));
    QVERIFY(!channel.isConnected());
    QCOMPARE(errors[0][0].toInt(), number);
    QCOMPARE(errors[0][1].toString(), description);
    QCOMPARE(channel.SendData(QStringLiteral("x")).number(),
             int(SocketErrors::WrongProtocolOrState));
    QVERIFY(!errors.wait(300));
}

void TestWire::probeTellsATimeOut()
{
    // Qt may report this one with a stale error: only the probe says what happened.
    FakeServer server(QStringLiteral("127.0.0.158"));
    server.holdReading(FakeServer::Chat);
    QVERIFY(server.listen({FakeServer::Chat}));
    QTcpSocket client;
    client.connectToHost(server.address(), FakeServer::Chat);
    QVERIFY(client.waitForConnected());
    const LinkTimers quick{std::chrono::seconds(1), std::chrono::seconds(1), 1,
                           std::chrono::milliseconds(1000)};
    QVERIFY(quick.applyTo(client.socketDescriptor()));
    ResetProbe probe;
    probe.watch(client.socketDescriptor());
    QVERIFY(!probe.timedOut());
    // More than both ends' buffers hold, for a server that takes nothing.
    client.write(QByteArray(16 * 1024 * 1024, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(probe.timedOut(), 15000);
}

void TestWire::closeSilencesTheAttempt()
{
    // Nothing listens here; the refusal may already be on its way when the channel closes.
    IoThread io;
    io.start();
    Winsock channel(&io, nullptr);
    QVERIFY(channel.setRemoteHost(QStringLiteral("127.0.0.156")).ok());
    QVERIFY(channel.setRemotePort(FakeServer::Chat).ok());
    QSignalSpy errors(&channel, &Winsock::Error);
    QVERIFY(channel.Connect().ok());
    channel.Close();
    QVERIFY(!errors.wait(300));

    // An end reported but not yet taken when the channel closes and connects again is not
    // the new attempt's either.
    FakeServer server(QStringLiteral("127.0.0.156"));
    QVERIFY(server.listen({FakeServer::Chat}));
    QVERIFY(connectToChat(channel, server));
    const quint16 port = channel.localPort();
    server.closeConnections(FakeServer::Chat);
    // This thread takes no events until the reading thread has let the socket go.
    for (int i = 0; i < 10000 && descriptorOf(port) >= 0; ++i)
        QMetaObject::invokeMethod(
            io.eventDispatcher(), [] {}, Qt::BlockingQueuedConnection);
    QCOMPARE(descriptorOf(port), -1);
    channel.Close();
    QSignalSpy connected(&channel, &Winsock::Connected);
    QVERIFY(channel.Connect().ok());
    QVERIFY(connected.wait());
    QVERIFY(errors.isEmpty());
    QVERIFY(channel.isConnected());
}

void TestWire::arrivalHandledAfterCloseIsDropped()
{
    FakeServer server(QStringLiteral("127.0.0.202"));
    QVERIFY(server.listen({FakeServer::Chat}));
    IoThread io;
    io.start();
    Winsock channel(&io, nullptr);
    QVERIFY(connectToChat(channel, server));
    // The reading thread handed the read over; before this thread comes to it, something else
    // it handles closes the channel.
    struct CloseFirst : QObject
    {
        Winsock *channel;
        bool closed = false;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::MetaCall && !closed) {
                closed = true;
                channel->Close();
            }
            return false;
        }
    } closeFirst;
    closeFirst.channel = &channel;
    channel.installEventFilter(&closeFirst);
    QSignalSpy arrived(&channel, &Winsock::DataArrival);
    server.send(FakeServer::Chat, "eski");
    QTRY_VERIFY(closeFirst.closed);
    QVERIFY(!arrived.wait(300));
    QByteArray data;
    QVERIFY(channel.GetData(data).ok());
    QCOMPARE(data, QByteArray());
}

void TestWire::failedWriteEndsTheConnectionWithItsError()
{
    FakeServer server(QStringLiteral("127.0.0.203"));
    QVERIFY(server.listen({FakeServer::Chat}));
    IoThread io;
    io.start();
    auto *socket = new ScriptedSocket;
    Winsock channel(&io, nullptr, socket);
    QSignalSpy errors(&channel, &Winsock::Error);
    QVERIFY(connectToChat(channel, server));
    socket->failWrites = true;
    QVERIFY(channel.SendData(QStringLiteral("x")).ok());
    QVERIFY(errors.wait());
    QCOMPARE(errors[0][0].toInt(), int(SocketErrors::NoBufferSpace));
    QVERIFY(!channel.isConnected());
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 0);
    // Told once, however often the socket says so again.
    QMetaObject::invokeMethod(
        socket, [socket] { socket->reportError(QAbstractSocket::NetworkError); },
        Qt::QueuedConnection);
    QVERIFY(!errors.wait(300));
}

void TestWire::timeOutIsToldWhateverErrorQtReports()
{
    FakeServer server(QStringLiteral("127.0.0.204"));
    server.holdReading(FakeServer::Chat);
    QVERIFY(server.listen({FakeServer::Chat}));
    IoThread io;
    io.start();
    auto *socket = new ScriptedSocket;
    Winsock channel(&io, nullptr, socket);
    channel.setLinkTimers(
        {std::chrono::seconds(1), std::chrono::seconds(1), 1, std::chrono::milliseconds(1000)});
    QSignalSpy errors(&channel, &Winsock::Error);
    const auto onReadingThread = [socket](const std::function<void()> &call) {
        QMetaObject::invokeMethod(socket, call, Qt::QueuedConnection);
    };

    // On a connection that is fine, an error is told as itself.
    QVERIFY(connectToChat(channel, server));
    onReadingThread([socket] { socket->reportError(QAbstractSocket::NetworkError); });
    QVERIFY(errors.wait());
    QCOMPARE(errors[0][0].toInt(), int(SocketErrors::NetworkUnreachable));

    // One the system gave up on is a time-out, whatever Qt says. The reading thread stays
    // busy until then, so that Qt cannot find out by itself first.
    channel.Close();
    QVERIFY(connectToChat(channel, server));
    ResetProbe probe;
    probe.watch(descriptorOf(channel.localPort()));
    QVERIFY(channel.SendData(QString(16 * 1024 * 1024, u'x')).ok());
    QSemaphore givenUp;
    onReadingThread([socket, &givenUp] {
        givenUp.acquire();
        socket->reportError(QAbstractSocket::UnknownSocketError);
    });
    {
        const auto resume = qScopeGuard([&] { givenUp.release(); });
        QTRY_VERIFY_WITH_TIMEOUT(probe.timedOut(), 15000);
    }
    QVERIFY(errors.wait());
    QCOMPARE(errors[1][0].toInt(), int(SocketErrors::TimedOut));
}

void TestWire::untakenArrivalsHoldTheSenderBack()
{
    FakeServer server(QStringLiteral("127.0.0.155"));
    QVERIFY(server.listen({FakeServer::Chat}));
    IoThread io;
    io.start();
    Winsock channel(&io, nullptr);
    QVERIFY(connectToChat(channel, server));

    QByteArray payload(SocketWorker::MaxUntaken + 8 * 1024 * 1024, 'x');
    for (qsizetype i = 0; i < payload.size(); i += 4093)
        payload[i] = char(i % 251);
    qint64 arrived = 0;
    connect(&channel, &Winsock::DataArrival, &channel, [&](qint32 bytes) { arrived += bytes; });
    server.send(FakeServer::Chat, payload);
    // Nobody takes anything: reading stops, and the rest waits with the sender.
    QTRY_VERIFY(arrived >= SocketWorker::MaxUntaken);
    QVERIFY(!QTest::qWaitFor([&] { return arrived == payload.size(); }, 500));

    // Taken, everything comes, exactly once and in order.
    QByteArray all;
    const auto takeAll = [&] {
        for (QByteArray data; channel.GetData(data).ok() && !data.isEmpty();)
            all += data;
    };
    connect(&channel, &Winsock::DataArrival, &channel, takeAll);
    takeAll();
    QTRY_COMPARE(all.size(), payload.size());
    QVERIFY(all == payload);
}

void TestWire::theOwnerNeverWaitsForTheReadingThread()
{
    FakeServer server(QStringLiteral("127.0.0.201"));
    QVERIFY(server.listen({FakeServer::Chat}));
    auto io = std::make_unique<IoThread>();
    io->start();
    Winsock channel(io.get(), nullptr);
    QVERIFY(connectToChat(channel, server));
    QSignalSpy connected(&channel, &Winsock::Connected);
    QSignalSpy errors(&channel, &Winsock::Error);

    // While the reading thread is stuck, everything asked of the channel returns, and counts
    // from the moment it is asked.
    QSemaphore stuck;
    std::atomic<int> freed{-1};
    QMetaObject::invokeMethod(
        io->eventDispatcher(), [&] { freed = stuck.tryAcquire(1, 10000); }, Qt::QueuedConnection);
    QVERIFY(channel.SendData(QStringLiteral("bir")).ok());
    channel.Close();
    QVERIFY(!channel.isConnected());
    QCOMPARE(channel.localPort(), quint16(0));
    QVERIFY(channel.setRemotePort(FakeServer::Chat).ok());
    QVERIFY(channel.Connect().ok());
    QCOMPARE(channel.Connect().number(), int(SocketErrors::InvalidOperation));
    QCOMPARE(channel.SendData(QStringLiteral("iki")).number(),
             int(SocketErrors::WrongProtocolOrState));
    stuck.release();
    QTRY_COMPARE(freed.load(), 1);
    // Done in the order asked: the line left on the old connection, then a new one came up.
    QTRY_COMPARE(connected.size(), 1);
    QVERIFY(channel.isConnected());
    QVERIFY(channel.localPort() != 0);
    QCOMPARE(server.received(FakeServer::Chat), QByteArray("bir"));
    QCOMPARE(server.acceptedCount(FakeServer::Chat), 2);
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 1);
    QVERIFY(errors.isEmpty());

    // The reading thread may even end first: it takes the socket with it, and the channel
    // left behind still goes quietly.
    io.reset();
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 0);
    channel.Close();
    QCOMPARE(channel.SendData(QStringLiteral("x")).number(),
             int(SocketErrors::WrongProtocolOrState));
}

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
