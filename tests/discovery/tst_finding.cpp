// The main window on the terminal's machine of the discovery lab: the servers announced on the
// LAN offered in the server field, and what Bağlan does with a picked name and with the start
// text "SERVER", where the machine's resolver knows no name at all; and what crosses the wire
// when it reaches a server on the encrypted link.
#include "../faults/labprocess.h"
#include "common/formaccess.h"
#include "discoverylab.h"
#include "protocol/channel.h"
#include "protocol/cp1254.h"
#include "protocol/linkframes.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"
#include "ui/main/privacynotices.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr int Found = 15000; // probing and announcing take a few seconds on a busy machine

QStringList named(const QString &name)
{
    return {QStringLiteral("--name"), name};
}

// A main window shown and active, with a nickname typed.
struct Window
{
    Window()
    {
        form.show();
        form.activateWindow();
        if (!QTest::qWaitForWindowActive(&form))
            qFatal("the window did not become active");
        nick()->setFocus(Qt::OtherFocusReason);
        nick()->setText(QStringLiteral("ALİ"));
    }

    QLineEdit *nick() const { return control<QLineEdit>(&form, "TxtNick"); }
    QLineEdit *server() const { return control<QLineEdit>(&form, "Text3"); }
    QAbstractItemView *offered() const { return server()->completer()->popup(); }

    QStringList rows() const
    {
        QStringList r;
        if (!offered()->isVisible())
            return r;
        const QAbstractItemModel *m = offered()->model();
        for (int i = 0; i < m->rowCount(); ++i)
            r.append(m->index(i, 0).data().toString());
        return r;
    }

    bool listed(const QString &nick = QStringLiteral("ALİ")) const
    {
        form.Timer1_Timer();
        const QAbstractItemModel *m = control<QListView>(&form, "List1")->model();
        return m->rowCount() == 1 && m->index(0, 0).data().toString() == nick;
    }

    mutable Form1 form;
};

// A TCP segment seen on the wire: its ports, and how many bytes of data it carries.
struct Segment
{
    quint16 source = 0;
    quint16 destination = 0;
    qsizetype data = 0;
};

// The TCP segment in an Ethernet frame, over IPv4 or IPv6 without extension headers.
std::optional<Segment> segmentIn(QByteArrayView frame)
{
    const auto byte = [&](qsizetype i) { return quint8(frame[i]); };
    const auto word = [&](qsizetype i) { return quint16(byte(i) << 8 | byte(i + 1)); };
    constexpr qsizetype ip = 14;
    qsizetype tcp = 0;
    qsizetype end = 0;
    if (frame.size() >= ip + 20 && word(12) == ETH_P_IP && byte(ip + 9) == IPPROTO_TCP) {
        tcp = ip + (byte(ip) & 0x0f) * 4;
        end = ip + word(ip + 2);
    } else if (frame.size() >= ip + 40 && word(12) == ETH_P_IPV6 && byte(ip + 6) == IPPROTO_TCP) {
        tcp = ip + 40;
        end = tcp + word(ip + 4);
    } else {
        return std::nullopt;
    }
    if (frame.size() < tcp + 20 || frame.size() < end)
        return std::nullopt;
    return Segment{word(tcp), word(tcp + 2), end - tcp - (byte(tcp + 12) >> 4) * 4};
}

// Every frame that crosses one interface of this machine, either way, from its making on;
// taken whenever the event loop runs.
class WireCapture
{
public:
    explicit WireCapture(const char *interface)
    {
        // Bound to the interface before it may take anything, so nothing else comes in first.
        m_socket = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = int(if_nametoindex(interface));
        if (m_socket < 0 || at.sll_ifindex == 0 ||
            ::bind(m_socket, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
            qWarning("cannot capture on %s: %s", interface, std::strerror(errno));
            return;
        }
        m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { take(); });
    }
    ~WireCapture()
    {
        m_notifier.reset();
        if (m_socket >= 0)
            ::close(m_socket);
    }
    WireCapture(const WireCapture &) = delete;
    WireCapture &operator=(const WireCapture &) = delete;

    bool isCapturing() const { return m_notifier != nullptr; }

    // The frames so far, none of them cut short or lost; a warning and nothing otherwise.
    std::optional<QList<QByteArray>> frames()
    {
        take();
        tpacket_stats stats{};
        socklen_t size = sizeof stats;
        if (::getsockopt(m_socket, SOL_PACKET, PACKET_STATISTICS, &stats, &size) != 0 ||
            stats.tp_drops != 0 || m_cut) {
            qWarning("the capture lost frames");
            return std::nullopt;
        }
        return m_frames;
    }

private:
    void take()
    {
        // Large enough for what segmentation offload hands over as one frame.
        QByteArray frame(256 * 1024, Qt::Uninitialized);
        for (;;) {
            const ssize_t n = ::recv(m_socket, frame.data(), frame.size(), MSG_TRUNC);
            if (n < 0)
                return;
            m_cut |= n > frame.size();
            m_frames.append(frame.first(qMin<qsizetype>(n, frame.size())));
        }
    }

    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<QByteArray> m_frames;
    bool m_cut = false;
};

// Which of these byte strings some frame holds.
QList<QByteArray> foundIn(const QList<QByteArray> &frames, const QList<QByteArray> &wanted)
{
    QList<QByteArray> found;
    for (const QByteArray &w : wanted) {
        if (std::any_of(frames.cbegin(), frames.cend(),
                        [&](const QByteArray &f) { return f.contains(w); }))
            found.append(w);
    }
    return found;
}

} // namespace

class TestFinding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void foundServersOfferedAndPickedByKeyboard();
    void startTextFindsTheOneServer();
    void startTextReachesTheOneServerOnItsLinkAlone();
    void startTextDoesNotGuessBetweenTwo();
    void startTextReachesThisMachineWithoutADaemon();

private:
    DiscoveryLab *m_lab = nullptr;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
};

void TestFinding::initTestCase()
{
    m_lab = new DiscoveryLab(this);
    if (!m_lab->isComplete())
        QSKIP("not in the discovery lab: run through tests/discovery/run-discovery");
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestFinding::cleanup()
{
    m_boxes.reset();
    m_lab->stopPrograms();
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestFinding::foundServersOfferedAndPickedByKeyboard()
{
    QVERIFY(m_lab->startServer(m_lab->server1, named(QStringLiteral("Ofis Sunucusu"))));
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().find(u"ofis sunucusu"), Found);
    // Offered, name and address, as the field takes the focus; the keyboard picks one.
    QTest::keyClick(w.nick(), Qt::Key_Tab);
    QTRY_COMPARE(w.rows(), QStringList(QStringLiteral("Ofis Sunucusu (198.51.100.1)")));
    QCOMPARE(w.offered()->accessibleName(), QStringLiteral("Bulunan sunucular"));
    QTest::keyClick(w.offered(), Qt::Key_Down);
    QTest::keyClick(w.offered(), Qt::Key_Return);
    QTRY_VERIFY(!w.offered()->isVisible());
    QCOMPARE(w.server()->text(), QStringLiteral("Ofis Sunucusu"));
    // Closed, the arrow key opens it again, and typing narrows it down.
    QTest::keyClick(w.server(), Qt::Key_Down);
    QTRY_COMPARE(w.rows().size(), 1);
    QTest::keyClick(w.offered(), Qt::Key_Escape);
    w.server()->clear();
    QTest::keyClicks(w.server(), QStringLiteral("x"));
    QCOMPARE(w.rows(), QStringList());

    // The picked name reaches its server, though nothing here resolves it.
    w.server()->setText(QStringLiteral("Ofis Sunucusu"));
    w.form.CmdConnect_Click();
    QTRY_VERIFY(w.listed());
    // No browsing while connected; again once disconnected.
    QVERIFY(!w.form.servers().isStarted());
    w.form.mnudisconnect_Click();
    QVERIFY(w.form.servers().isStarted());
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().find(u"Ofis Sunucusu"), Found);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextFindsTheOneServer()
{
    QVERIFY(m_lab->startServer(m_lab->server2, named(QStringLiteral("Tek"))));
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    // The one left: the servers of the cases before are gone from the daemon's cache.
    QTRY_VERIFY_WITH_TIMEOUT(
        w.form.servers().servers().size() == 1 && w.form.servers().find(u"Tek"), Found);
    QCOMPARE(w.server()->text(), QStringLiteral("SERVER"));
    w.form.CmdConnect_Click();
    QTRY_VERIFY(w.listed());
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextReachesTheOneServerOnItsLinkAlone()
{
    QTemporaryDir state;
    QVERIFY(state.isValid());
    qputenv("STATE_DIRECTORY", QFile::encodeName(state.path()));
    LabProcess *server = m_lab->startServer(m_lab->server2, named(QStringLiteral("Kapalı")));
    qunsetenv("STATE_DIRECTORY");
    QVERIFY(server);
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    QTRY_VERIFY_WITH_TIMEOUT(
        w.form.servers().servers().size() == 1 && w.form.servers().find(u"Kapalı"), Found);
    const QRegularExpression fingerprintLine(
        QStringLiteral("certificate fingerprint \\(SHA-256\\): ([0-9A-F:]+)"));
    QTRY_VERIFY2(fingerprintLine.match(server->errors()).hasMatch(), qPrintable(server->errors()));
    const QString logged = fingerprintLine.match(server->errors()).captured(1);

    // What must not be read on the wire: in its code page, in UTF-8, and the ASCII both share.
    const QString nick = QStringLiteral("GİZLİADAM");
    const QString line = QStringLiteral("Şifre: KIRMIZIELMA");
    const QList<QByteArray> secrets{
        Cp1254::encode(nick), nick.toUtf8(), QByteArrayLiteral("ADAM"),
        Cp1254::encode(line), line.toUtf8(), QByteArrayLiteral("KIRMIZIELMA")};
    // s2 is on the first LAN alone: all that reaches it crosses this machine's eth0.
    WireCapture wire("eth0");
    QVERIFY(wire.isCapturing());
    w.nick()->setText(nick);
    w.form.CmdConnect_Click();
    QTRY_VERIFY(w.listed(nick));
    const QLabel *privacy = control<QLabel>(&w.form, "privacy");
    QTRY_COMPARE(privacy->text(), PrivacyNotices::Encrypted.toString());
    QCOMPARE(privacy->toolTip(), PrivacyNotices::Fingerprint + logged);
    control<QLineEdit>(&w.form, "Text2")->setText(line);
    w.form.Command1_Click();
    QTRY_VERIFY(control<ChatLog>(&w.form, "Text1")->text().contains(line));
    QCOMPARE(m_boxes->texts(), QStringList());

    const std::optional<QList<QByteArray>> frames = wire.frames();
    QVERIFY(frames);
    QCOMPARE(foundIn(*frames, secrets), QList<QByteArray>());
    // All of it went over the link, both ways, and nothing to a plain channel's port.
    bool sent = false;
    bool received = false;
    for (const QByteArray &frame : *frames) {
        const std::optional<Segment> s = segmentIn(frame);
        if (!s)
            continue;
        sent |= s->destination == LinkPort && s->data > 0;
        received |= s->source == LinkPort && s->data > 0;
        for (const Channel channel : allChannels)
            QVERIFY(s->source != portOf(channel) && s->destination != portOf(channel));
    }
    QVERIFY(sent && received);

    // The same search finds the nickname once it does cross in clear.
    QTcpSocket plain;
    plain.connectToHost(m_lab->server2.address(), portOf(Channel::UserList));
    QVERIFY(plain.waitForConnected(5000));
    plain.write(Cp1254::encode(nick));
    QTRY_COMPARE(foundIn(wire.frames().value_or(QList<QByteArray>()), secrets),
                 QList<QByteArray>({Cp1254::encode(nick), QByteArrayLiteral("ADAM")}));
}

void TestFinding::startTextDoesNotGuessBetweenTwo()
{
    LabProcess *first = m_lab->startServer(m_lab->server1, named(QStringLiteral("Birinci")));
    LabProcess *second = m_lab->startServer(m_lab->server2, named(QStringLiteral("İkinci")));
    QVERIFY(first && second);
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().servers().size() == 2 &&
                                 w.form.servers().find(u"Birinci") &&
                                 w.form.servers().find(u"İkinci"),
                             Found);
    w.form.CmdConnect_Click();
    // Back to the field, the two offered for the user to pick, nobody connected to.
    QTRY_VERIFY(!w.form.isConnectedState());
    QTRY_COMPARE(w.rows(), QStringList({QStringLiteral("Birinci (198.51.100.1)"),
                                        QStringLiteral("İkinci (198.51.100.2)")}));
    QVERIFY(w.server()->hasFocus());
    for (const LabProcess *server : {first, second})
        QVERIFY2(!server->errors().contains(QStringLiteral("ALİ")), qPrintable(server->errors()));
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextReachesThisMachineWithoutADaemon()
{
    // No daemon here; a server on this machine's loopback, as `make run` starts one.
    m_lab->stopAvahi(m_lab->terminal);
    m_boxes = std::make_unique<MessageBoxRecorder>();
    {
        LabProcess *local = m_lab->startServer(
            m_lab->terminal, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1")});
        QVERIFY(local);
        Window w;
        // Nothing to offer, nothing in the way.
        QTest::keyClick(w.nick(), Qt::Key_Tab);
        QVERIFY(w.server()->hasFocus());
        QCOMPARE(w.rows(), QStringList());
        w.form.CmdConnect_Click();
        QTRY_VERIFY(w.listed());
        QCOMPARE(m_boxes->texts(), QStringList());
        QVERIFY(DiscoveryLab::stop(local));
    }
    // Nothing there either: the boxes a name that leads nowhere has always brought.
    Window w;
    w.form.CmdConnect_Click();
    QTRY_COMPARE(m_boxes->texts(), QStringList(2, QStringLiteral("11001: Anamakina bulunamadı")));
    QTRY_VERIFY(!w.form.isConnectedState());
}

QTEST_MAIN(TestFinding)
#include "tst_finding.moc"
