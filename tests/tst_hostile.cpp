// A server that misbehaves in every way it can: the terminal must not crash, hang or lose
// text, and its window must stay in the state its own rules give.
#include "channels/userlistmodel.h"
#include "channels/winsock.h"
#include "common/connectedterminal.h"
#include "protocol/cp1254.h"

#include <QAction>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void hugeArrival();
    void manySmallArrivals();
    void everyByteValue();
    void resetMidStream_data();
    void resetMidStream();
    void serverClosesRightAfterAccept();
    void hostDoesNotResolve();
    void portNeverAnswers();
    void manyConnectCycles();
    void userListBeyondItsLimit();
    void leaveStorm();
};

namespace {

// Runs the event loop until pred holds, waking on every event rather than polling.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 20000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(50);
    while (!pred()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The log without the line ends the terminal put behind each arrival: for payloads that
// hold no CR LF themselves, exactly what came down the wire.
QString withoutLineEnds(const QString &log)
{
    QString s = log;
    s.remove(QStringLiteral("\r\n"));
    return s;
}

} // namespace

void TestHostile::hugeArrival()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.110"));
    QByteArray payload(10 * 1024 * 1024, 'x');
    for (qsizetype i = 0; i < payload.size(); i += 41)
        payload[i] = char(0xC7 + i % 3); // Ç, È, É
    const QString expected = Cp1254::decode(payload);
    t.server.send(FakeServer::Chat, payload);
    QVERIFY(waitUntil([&] { return t.log()->length() >= expected.size(); }, 60000));
    QCOMPARE(withoutLineEnds(t.log()->text()), expected);
    QVERIFY(t.form.isConnectedState());
}

void TestHostile::manySmallArrivals()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.111"));
    QByteArray all;
    for (int i = 0; i < 100000; ++i)
        all += "m" + QByteArray::number(i) + ';';
    // Written in many pieces, as fast as the socket takes them.
    for (qsizetype at = 0; at < all.size(); at += 700)
        t.server.send(FakeServer::Chat, all.mid(at, 700));
    QVERIFY(
        waitUntil([&] { return t.log()->text().endsWith(QStringLiteral("m99999;\r\n")); }, 60000));
    QCOMPARE(withoutLineEnds(t.log()->text()), QString::fromLatin1(all));
}

void TestHostile::everyByteValue()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.112"));
    QByteArray bytes;
    for (int b = 0; b < 256; ++b)
        bytes.append(char(b));
    const QString decoded = Cp1254::decode(bytes);

    t.arrive(FakeServer::Chat, bytes);
    QCOMPARE(t.log()->text(), decoded + QStringLiteral("\r\n"));
    t.arrive(FakeServer::UserList, bytes);
    QCOMPARE(t.entries(), QStringList(decoded));
    t.arrive(FakeServer::Join, bytes);
    t.arrive(FakeServer::Leave, bytes);
    QCOMPARE(t.log()->text(), decoded + QStringLiteral("\r\n") + decoded + QStringLiteral("\r\n") +
                                  leftLine(decoded));
    // The departing entry is the one with those very bytes.
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList());
    t.form.Timer1_Timer();
    QCOMPARE(control<QLabel>(&t.form, "Label4")->text(), QStringLiteral("0 Kullanıcı bağlı"));
}

void TestHostile::resetMidStream_data()
{
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QString>("address");
    QTest::newRow("chat") << FakeServer::Chat << QStringLiteral("127.0.0.113");
    QTest::newRow("user list") << FakeServer::UserList << QStringLiteral("127.0.0.114");
    QTest::newRow("leave") << FakeServer::Leave << QStringLiteral("127.0.0.115");
    QTest::newRow("join") << FakeServer::Join << QStringLiteral("127.0.0.116");
}

void TestHostile::resetMidStream()
{
    QFETCH(quint16, port);
    QFETCH(QString, address);
    MessageBoxRecorder boxes;
    ConnectedTerminal t(address);
    t.arrive(port, "ONCE");
    t.server.send(port, "YARIM");
    t.server.resetConnections(port);
    QVERIFY(waitUntil([&] { return t.server.connectionCount(port) == 0; }));
    // Whatever came before the reset is shown (the list, emptied as the session ends, took
    // its entry above).
    QTest::qWait(100);
    if (port != FakeServer::UserList)
        QVERIFY(t.log()->text().startsWith(QStringLiteral("ONCE")));
    // A reset of the chat or user-list channel is told once in the log, without a box, and
    // the session is tried again; one of the notice channels says nothing, and the others
    // still work.
    if (port == FakeServer::Chat || port == FakeServer::UserList) {
        QCOMPARE(boxes.texts(), {});
        QCOMPARE(
            t.log()->text().count(QStringLiteral("*** 10054: Bağlantı karşı tarafça sıfırlandı.")),
            1);
        QVERIFY(t.form.isConnectedState() && t.form.session().isRetrying());
        // Back by itself.
        QVERIFY(waitUntil([&] { return !t.form.session().isRetrying(); }, 5000));
    } else {
        QCOMPARE(boxes.texts(), {});
        QVERIFY(t.form.isConnectedState());
        t.arrive(FakeServer::Chat, "hala");
        QVERIFY(t.log()->text().endsWith(QStringLiteral("hala\r\n")));
        t.form.mnudisconnect_Click();
        // And the user can connect again.
        t.form.CmdConnect_Click();
    }
    QVERIFY(waitUntil([&] { return t.server.connectionCount(port) == 1; }));
}

void TestHostile::serverClosesRightAfterAccept()
{
    MessageBoxRecorder boxes;
    FakeServer server(QStringLiteral("127.0.0.117"));
    QVERIFY(server.listen());
    connect(&server, &FakeServer::accepted, &server,
            [&server](quint16 port) { server.closeConnections(port); });
    Form1 form;
    control<QLineEdit>(&form, "TxtNick")->setText(QStringLiteral("ALI"));
    control<QLineEdit>(&form, "Text3")->setText(server.address());
    form.CmdConnect_Click();
    QVERIFY(waitUntil([&] {
        for (quint16 port : FakeServer::allPorts()) {
            if (server.acceptedCount(port) < 1 || server.connectionCount(port) != 0)
                return false;
        }
        return true;
    }));
    QTest::qWait(100);
    // One end told, however many channels ended: in a box when the session never came up,
    // in the log when it had, and it is tried again.
    const QString closed = QStringLiteral("10053: Bağlantı karşı tarafça kapatıldı");
    const int logged = control<ChatLog>(&form, "Text1")->text().count(closed);
    QCOMPARE(boxes.texts().size() + logged, 1);
    QCOMPARE(form.isConnectedState(), logged == 1);
    QCOMPARE(form.session().isRetrying(), logged == 1);
    // Sending on a closed channel is refused with a message, not a crash.
    control<QLineEdit>(&form, "Text2")->setText(QStringLiteral("kimse yok"));
    form.Command1_Click();
    QCOMPARE(control<QLineEdit>(&form, "Text2")->text(), QStringLiteral("kimse yok"));
}

void TestHostile::hostDoesNotResolve()
{
    MessageBoxRecorder boxes;
    Form1 form;
    control<QLineEdit>(&form, "TxtNick")->setText(QStringLiteral("ALI"));
    control<QLineEdit>(&form, "Text3")->setText(QStringLiteral("yok-boyle-bir-sunucu.invalid"));
    form.CmdConnect_Click();
    QVERIFY(form.isConnectedState());
    QVERIFY(waitUntil([&] { return boxes.boxes.size() >= 2; }, 30000));
    QTest::qWait(200);
    QCOMPARE(boxes.texts(), QStringList({QStringLiteral("11001: Anamakina bulunamadı"),
                                         QStringLiteral("11001: Anamakina bulunamadı")}));
}

void TestHostile::portNeverAnswers()
{
    // A listening socket whose queue is full and which never accepts: the kernel drops
    // further connection attempts, so they hang until the terminal gives up.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(FakeServer::Chat);
    addr.sin_addr.s_addr = htonl(0x7F000076); // 127.0.0.118
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    QVERIFY(::listen(fd, 0) == 0);
    QList<QTcpSocket *> fillers;
    for (int i = 0; i < 3; ++i) {
        auto *s = new QTcpSocket(this);
        s->connectToHost(QStringLiteral("127.0.0.118"), FakeServer::Chat);
        fillers.append(s);
    }
    QTest::qWait(200);

    MessageBoxRecorder boxes;
    Form1 form;
    auto *chat = control<Winsock>(&form, "Winsock1");
    chat->setConnectTimeout(1500);
    control<QLineEdit>(&form, "TxtNick")->setText(QStringLiteral("ALI"));
    control<QLineEdit>(&form, "Text3")->setText(QStringLiteral("127.0.0.118"));
    QElapsedTimer clock;
    clock.start();
    form.CmdConnect_Click();
    QVERIFY(clock.elapsed() < 500); // connecting never blocks the window
    QVERIFY(waitUntil(
        [&] {
            return boxes.texts().contains(QStringLiteral("10060: Bağlantı zaman aşımına uğradı"));
        },
        20000));
    QVERIFY(!form.isConnectedState());
    qDeleteAll(fillers);
    ::close(fd);
}

void TestHostile::manyConnectCycles()
{
    MessageBoxRecorder boxes;
    ConnectedTerminal t(QStringLiteral("127.0.0.119"));
    for (int i = 0; i < 100; ++i) {
        t.form.mnudisconnect_Click();
        QVERIFY(!t.form.isConnectedState());
        t.form.CmdConnect_Click();
        QVERIFY(t.form.isConnectedState());
    }
    // The server may still hold some of the dropped connections for a moment; wait for the
    // one the chat channel has now.
    auto *chat = control<Winsock>(&t.form, "Winsock1");
    QVERIFY(waitUntil([&] {
        if (!chat->isConnected())
            return false;
        for (QTcpSocket *s : t.server.connections(FakeServer::Chat)) {
            if (s->peerPort() == chat->localPort())
                return true;
        }
        return false;
    }));
    for (quint16 port : FakeServer::allPorts())
        QVERIFY(waitUntil([&] { return t.server.connectionCount(port) == 1; }));
    // The last connection of each channel is alive and announced.
    QVERIFY(waitUntil([&] { return t.server.received(FakeServer::Join).endsWith("ALI"); }));
    t.arrive(FakeServer::Chat, "son tur");
    QVERIFY(t.log()->text().endsWith(QStringLiteral("son tur\r\n")));
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestHostile::userListBeyondItsLimit()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.120"));
    QTcpSocket *conn = t.server.connections(FakeServer::UserList).first();
    const QAbstractItemModel *model = t.list()->model();
    // Each name its own arrival: wait for each to be taken before sending the next.
    for (int i = 0; i < UserListModel::MaxEntries + 5; ++i) {
        const int before = model->rowCount();
        conn->write("U" + QByteArray::number(i));
        conn->flush();
        if (before == UserListModel::MaxEntries) {
            QTest::qWait(5);
            continue;
        }
        QVERIFY2(waitUntil([&] { return model->rowCount() > before; }),
                 qPrintable(QString::number(i)));
    }
    QTest::qWait(100);
    QCOMPARE(model->rowCount(), UserListModel::MaxEntries);
    t.form.Timer1_Timer();
    QCOMPARE(control<QLabel>(&t.form, "Label4")->text(), QStringLiteral("32767 Kullanıcı bağlı"));
    t.form.mnudisconnect_Click();
    QCOMPARE(model->rowCount(), 0);
}

void TestHostile::leaveStorm()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.121"));
    for (int i = 0; i < 300; ++i)
        t.arrive(FakeServer::UserList, "K" + QByteArray::number(i));
    for (int i = 0; i < 300; ++i)
        t.arrive(FakeServer::Leave, "K" + QByteArray::number(i));
    // Each departure is pending or, its delay over, already done.
    QCOMPARE(t.form.session().pendingRemovals() + 300 - t.entries().size(), 300);
    QCOMPARE(t.log()->text().count(leftLine(u"")), 300);
    while (t.form.session().pendingRemovals() > 0)
        t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList());
    QVERIFY(!control<QTimer>(&t.form, "Timer2")->isActive());
    // Unpaced, notices run together into fewer arrivals; nothing crashes and every name
    // is in the log.
    for (int i = 0; i < 2000; ++i)
        t.server.send(FakeServer::Leave, "X" + QByteArray::number(i));
    QVERIFY(waitUntil([&] { return t.log()->text().contains(QStringLiteral("X1999")); }));
    for (int i = 0; i < 2000; i += 97)
        QVERIFY(t.log()->text().contains(QStringLiteral("X%1").arg(i)));
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
