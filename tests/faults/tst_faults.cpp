// Network faults on a lab of network namespaces (see run-faults): servers that restart, die
// or vanish, terminals that vanish, links that flap, and senders with Nagle's algorithm on.
// The terminal under test is a real main window in this process, on machine A.
#include "channels/retryschedule.h"
#include "channels/socketerrors.h"
#include "channels/winsock.h"
#include "common/connectedterminal.h"
#include "common/fakeserver.h"
#include "common/formaccess.h"
#include "lab.h"
#include "labprocess.h"
#include "protocol/chatline.h"
#include "protocol/linkframes.h"
#include "protocol/linktimers.h"
#include "ui/main/chatlog.h"
#include "ui/main/connectionnotices.h"
#include "ui/main/form1.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace {

// Short enough for the group to run in well under two minutes.
constexpr LinkTimers ShortTimers{1s, 1s, 2, 3000ms};
const QStringList ShortServerTimers = {QStringLiteral("--keepalive-idle"),     QStringLiteral("1"),
                                       QStringLiteral("--keepalive-interval"), QStringLiteral("1"),
                                       QStringLiteral("--keepalive-probes"),   QStringLiteral("2"),
                                       QStringLiteral("--send-timeout"),       QStringLiteral("3")};
// How soon a short-timed side must notice a vanished peer: its timers and some slack.
constexpr int ShortTimersNoticeMs = 10000;
// How soon an ended connection must be shown.
constexpr int CloseShownMs = 1000;
// Whether so many resets, sent by a machine with nothing listening, answer so many connects of
// so many connections each, or of twice as many where Qt tries a refused connection twice, as
// 6.4 does. A terminal that reached the server on the encrypted link tries that one connection
// alone; one that never did tries the link, then the four plain channels.
constexpr qint64 OnTheLink = 1;
constexpr qint64 LinkThenPlain = 1 + 4;
bool resetsAnswer(qint64 resets, qint64 connects, qint64 each)
{
    return connects > 0 && (resets == each * connects || resets == 2 * each * connects);
}

// A main window on machine A, told to connect.
struct LabTerminal
{
    LabTerminal(const QString &nick, const QString &server,
                std::optional<LinkTimers> timers = std::nullopt)
    {
        if (timers)
            form.session().setLinkTimers(*timers);
        control<QLineEdit>(&form, "TxtNick")->setText(nick);
        control<QLineEdit>(&form, "Text3")->setText(server);
        form.CmdConnect_Click();
    }

    QString log() const { return control<ChatLog>(&form, "Text1")->text(); }
    QLineEdit *entry() const { return control<QLineEdit>(&form, "Text2"); }

    QStringList entries() const
    {
        QStringList e;
        const QAbstractItemModel *m = control<QListView>(&form, "List1")->model();
        for (int i = 0; i < m->rowCount(); ++i)
            e.append(m->index(i, 0).data().toString());
        return e;
    }

    void say(const QString &line) const
    {
        entry()->setText(line);
        form.Command1_Click();
    }

    // What keeps the window from the unconnected state with every channel closed; empty
    // when nothing does.
    QString notUnconnected() const
    {
        QStringList wrong;
        if (form.isConnectedState())
            wrong.append(QStringLiteral("connected state"));
        if (!control<QPushButton>(&form, "CmdConnect")->isEnabled())
            wrong.append(QStringLiteral("Bağlan disabled"));
        if (!entries().isEmpty())
            wrong.append(QStringLiteral("listed: ") + entries().join(u','));
        if (const QString count = control<QLabel>(&form, "Label4")->text();
            count != QStringLiteral("0 Kullanıcı bağlı"))
            wrong.append(count);
        for (const char *name : {"Winsock1", "Winsock2", "Winleft", "Winjoin"})
            if (control<Winsock>(&form, name)->isConnected())
                wrong.append(QLatin1StringView(name) + QStringLiteral(" open"));
        return wrong.join(QStringLiteral("; "));
    }

    // What keeps the window from showing a connection being tried again: the connected
    // state's controls, an empty list, a title that says so, every channel closed between
    // attempts; empty when nothing does.
    QString notRetrying() const
    {
        QStringList wrong;
        if (!form.isConnectedState())
            wrong.append(QStringLiteral("not in the connected state"));
        if (!form.session().isRetrying())
            wrong.append(QStringLiteral("not retrying"));
        if (!entries().isEmpty())
            wrong.append(QStringLiteral("listed: ") + entries().join(u','));
        if (const QString count = control<QLabel>(&form, "Label4")->text();
            count != QStringLiteral("0 Kullanıcı bağlı"))
            wrong.append(count);
        if (!form.windowTitle().endsWith(ConnectionNotices::TitleRetrying))
            wrong.append(QStringLiteral("title ") + form.windowTitle());
        return wrong.join(QStringLiteral("; "));
    }

    // The number in the log line that told the connection's end, or -1 when there is none.
    int lostNumber() const
    {
        static const QRegularExpression line(
            QStringLiteral("\\*\\*\\* (\\d+): \\S[^\\r]*") +
            QRegularExpression::escape(ConnectionNotices::Retrying) + QStringLiteral("\\r\\n"));
        const QRegularExpressionMatch m = line.match(log());
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    }

    bool isBack() const
    {
        return log().contains(ConnectionNotices::Back + QStringLiteral("\r\n")) &&
               entries().contains(QStringLiteral("A")) && !form.session().isRetrying();
    }

    mutable Form1 form;
};

// The number of a box "Number: Description", or -1 when the text has another form.
int numberOf(const QString &box)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+): \\S.*$"));
    const QRegularExpressionMatch m = form.match(box);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

QString chatOutput(const QString &line)
{
    return QStringLiteral("chat ") + QString::fromLatin1(line.toUtf8().toPercentEncoding());
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void restartedServerIsRejoined();
    void endedConnectionIsTold_data();
    void endedConnectionIsTold();
    void serverAwayForMinutesIsTriedOnTheSchedule();
    void movedServerIsFoundByItsName();
    void disconnectWhileRetryingStopsTheAttempts();
    void refusedConnectReturnsToUnconnected();
    void lineThatCannotBeSentStaysInTheEntry();
    void leavingClosesEveryChannel();
    void vanishedServerIsTold_data();
    void vanishedServerIsTold();
    void terminalWhoseMachineWasAwayIsListedAgain();
    void vanishedTerminalIsAnnounced_data();
    void vanishedTerminalIsAnnounced();
    void flappingLinkKeepsLinesApart();
    void pasteWithNagleArrivesLineByLine();

private:
    // Machine A, connected to a fresh server and listed.
    std::unique_ptr<LabTerminal> connectedTerminal(std::optional<LinkTimers> timers = ShortTimers);
    // Terminal B, listed on A's list too.
    LabProcess *connectedPeer(const LabTerminal &a, const QString &nick);

    std::unique_ptr<Lab> m_lab;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    LabProcess *m_server = nullptr;
};

void TestFaults::init()
{
    m_lab = std::make_unique<Lab>();
    if (!m_lab->isComplete())
        QSKIP("not in the lab: run through run-faults (ctest -L faults)");
    m_boxes = std::make_unique<MessageBoxRecorder>();
}

void TestFaults::cleanup()
{
    m_server = nullptr;
    m_boxes.reset();
    m_lab.reset();
}

std::unique_ptr<LabTerminal> TestFaults::connectedTerminal(std::optional<LinkTimers> timers)
{
    if (!m_server)
        m_server = m_lab->startServer();
    if (!m_server)
        return nullptr;
    auto a = std::make_unique<LabTerminal>(QStringLiteral("A"), m_lab->server.address, timers);
    if (!QTest::qWaitFor([&a] {
            a->form.Timer1_Timer();
            return a->entries() == QStringList(QStringLiteral("A")) && channelsUp(a->form);
        }))
        return nullptr;
    return a;
}

LabProcess *TestFaults::connectedPeer(const LabTerminal &a, const QString &nick)
{
    LabProcess *peer =
        m_lab->startPeer(m_lab->b, {QStringLiteral("terminal"), nick, m_lab->server.address});
    const bool listed = QTest::qWaitFor([&] {
        a.form.Timer1_Timer();
        return a.entries().contains(nick) && a.log().contains(nick + JoinSuffix);
    });
    return listed ? peer : nullptr;
}

void TestFaults::restartedServerIsRejoined()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    a->say(QStringLiteral("merhaba"));
    QTRY_VERIFY(a->log().contains(QStringLiteral("<A> merhaba\r\n")));

    // As a package upgrade does: SIGTERM, then a new server.
    m_server->signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(a->lostNumber() >= 0, CloseShownMs);
    QCOMPARE(a->lostNumber(), int(SocketErrors::ConnectionAborted));
    QTRY_COMPARE(a->notRetrying(), QString());
    a->entry()->setText(QStringLiteral("yarım kalan satır"));

    QTRY_VERIFY(!m_server->isRunning());
    m_server = m_lab->startServer();
    QVERIFY(m_server);
    QElapsedTimer sinceStart;
    sinceStart.start();
    QTRY_VERIFY_WITH_TIMEOUT(a->isBack(), 5000);
    qInfo("back and listed %lld ms after the new server started", sinceStart.elapsed());
    QCOMPARE(a->entries(), QStringList(QStringLiteral("A")));
    QCOMPARE(a->form.windowTitle(), Form1::Caption.toString());
    QCOMPARE(a->entry()->text(), QStringLiteral("yarım kalan satır"));
    QVERIFY(a->log().contains(QStringLiteral("<A> merhaba\r\n")));
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::endedConnectionIsTold_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("number");
    QTest::newRow("server killed") << false << int(SocketErrors::ConnectionAborted);
    QTest::newRow("encrypted link reset") << true << int(SocketErrors::ConnectionReset);
}

void TestFaults::endedConnectionIsTold()
{
    QFETCH(bool, reset);
    QFETCH(int, number);
    const auto a = connectedTerminal();
    QVERIFY(a);
    if (reset)
        m_lab->resetConnections(m_lab->server, LinkPort);
    else
        m_server->signal(SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(a->lostNumber() >= 0, CloseShownMs);
    QCOMPARE(a->lostNumber(), number);
    QTRY_COMPARE(a->notRetrying(), QString());
    // The server that only lost a connection takes the terminal back.
    if (reset)
        QTRY_VERIFY_WITH_TIMEOUT(a->isBack(), 5000);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::serverAwayForMinutesIsTriedOnTheSchedule()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    QElapsedTimer clock;
    QList<qint64> attempts;
    connect(&a->form.session(), &ChatSession::attemptStarted, this,
            [&] { attempts.append(clock.elapsed()); });
    const qint64 resetsBefore = m_lab->resetsSent(m_lab->server);
    m_server->signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(a->lostNumber() >= 0, CloseShownMs);
    clock.start();
    QTRY_VERIFY(!m_server->isRunning());
    constexpr qint64 AwayMs = 120000;
    QVERIFY(
        QTest::qWaitFor([&] { return clock.elapsed() >= AwayMs || a->isBack(); }, AwayMs + 1000));
    QVERIFY(!a->isBack());

    // Each attempt came after its wait (the attempt before it took a moment of its own), and
    // the server's machine saw them all and no others.
    qint64 previous = 0;
    for (qsizetype n = 0; n < attempts.size(); ++n) {
        const qint64 nominal = RetrySchedule::nominalWaitMs(int(n + 1));
        const qint64 waited = attempts[n] - previous;
        QVERIFY2(waited >= nominal / 2 - 50 && waited <= nominal * 3 / 2 + 500,
                 qPrintable(QStringLiteral("attempt %1 after %2 ms, for a wait of %3 ms")
                                .arg(n + 1)
                                .arg(waited)
                                .arg(nominal)));
        previous = attempts[n];
    }
    QVERIFY2(attempts.size() >= 5 && attempts.size() <= 7,
             qPrintable(QString::number(attempts.size())));
    const qint64 resets = m_lab->resetsSent(m_lab->server) - resetsBefore;
    QVERIFY2(resetsAnswer(resets, attempts.size(), OnTheLink), qPrintable(QString::number(resets)));
    QStringList at;
    for (const qint64 ms : std::as_const(attempts))
        at.append(QString::number(double(ms) / 1000, 'f', 1));
    qInfo("attempts at %s s after the end; the server's machine sent %lld resets",
          qPrintable(at.join(u", ")), resets);
    QTRY_COMPARE(a->notRetrying(), QString());

    // Back within the wait under way when the server returned.
    const qint64 due = a->form.session().nextAttemptInMs();
    QVERIFY(due >= 0);
    m_server = m_lab->startServer();
    QVERIFY(m_server);
    QTRY_VERIFY_WITH_TIMEOUT(a->isBack(), int(due) + 3000);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::movedServerIsFoundByItsName()
{
    // Connected by the name the terminal's machine resolves: a lookup made a moment ago.
    m_server = m_lab->startServer();
    QVERIFY(m_server);
    LabTerminal a(QStringLiteral("A"), m_lab->serverName(), ShortTimers);
    QVERIFY(QTest::qWaitFor([&a] {
        a.form.Timer1_Timer();
        return a.entries() == QStringList(QStringLiteral("A"));
    }));
    // The server comes back on another address, and the name leads there now.
    const QString moved = QStringLiteral("192.0.2.2");
    m_lab->addAddress(m_lab->server, moved);
    m_server->signal(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(a.lostNumber() >= 0, CloseShownMs);
    QTRY_VERIFY(!m_server->isRunning());
    m_lab->setServerNameAddress(moved);
    m_server = m_lab->startServer({}, moved);
    QVERIFY(m_server);
    QTRY_VERIFY_WITH_TIMEOUT(a.isBack(), 8000);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::disconnectWhileRetryingStopsTheAttempts()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    m_server->signal(SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(a->lostNumber() >= 0, CloseShownMs);
    QTRY_VERIFY(!m_server->isRunning());
    a->form.mnudisconnect_Click();
    QTRY_COMPARE(a->notUnconnected(), QString());
    QCOMPARE(a->form.windowTitle(), Form1::Caption.toString());
    // Longer than the first wait can be: nothing reaches the server's machine any more.
    const qint64 resets = m_lab->resetsSent(m_lab->server);
    QSignalSpy attempts(&a->form.session(), &ChatSession::attemptStarted);
    QVERIFY(!attempts.wait(int(RetrySchedule::FirstWaitMs * 3 / 2) + 500));
    QCOMPARE(m_lab->resetsSent(m_lab->server), resets);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::refusedConnectReturnsToUnconnected()
{
    // The server's machine is up, with nothing listening.
    const qint64 resets = m_lab->resetsSent(m_lab->server);
    LabTerminal a(QStringLiteral("A"), m_lab->server.address, ShortTimers);
    QTRY_COMPARE(m_boxes->texts().size(), 2);
    for (const QString &box : m_boxes->texts())
        QCOMPARE(numberOf(box), SocketErrors::ConnectionRefused);
    QTRY_COMPARE(a.notUnconnected(), QString());
    // A connect the user made is not tried again: the four refusals were all.
    const qint64 refused = m_lab->resetsSent(m_lab->server) - resets;
    QVERIFY2(resetsAnswer(refused, 1, LinkThenPlain), qPrintable(QString::number(refused)));
    QSignalSpy attempts(&a.form.session(), &ChatSession::attemptStarted);
    QVERIFY(!attempts.wait(int(RetrySchedule::FirstWaitMs * 3 / 2) + 500));
    QCOMPARE(m_lab->resetsSent(m_lab->server) - resets, refused);
    QCOMPARE(m_boxes->texts().size(), 2);
}

void TestFaults::lineThatCannotBeSentStaysInTheEntry()
{
    // Nothing answers the server's address: the channels go on connecting meanwhile.
    m_lab->setLink(m_lab->server, false);
    LabTerminal a(QStringLiteral("A"), m_lab->server.address, ShortTimers);
    a.say(QStringLiteral("gidemeyen satır"));
    QCOMPARE(m_boxes->texts().size(), 1);
    QCOMPARE(numberOf(m_boxes->texts().first()), SocketErrors::WrongProtocolOrState);
    QCOMPARE(a.entry()->text(), QStringLiteral("gidemeyen satır"));
}

void TestFaults::leavingClosesEveryChannel()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    LabProcess *b = connectedPeer(*a, QStringLiteral("B"));
    QVERIFY(b);
    a->form.mnudisconnect_Click();
    QTRY_COMPARE(a->notUnconnected(), QString());
    // Closing the channels did not keep the departure from going out.
    QTRY_VERIFY(b->output().contains(QStringLiteral("left A\n")));

    const QSignalSpy reads(&a->form.session(), &ChatSession::chatArrived);
    b->writeLine(QStringLiteral("sonra"));
    QTRY_VERIFY(b->output().contains(chatOutput(QStringLiteral("<B> sonra"))));
    QCOMPARE(reads.count(), 0);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::vanishedServerIsTold_data()
{
    QTest::addColumn<bool>("defaultTimers");
    QTest::addColumn<bool>("sending");
    QTest::addColumn<int>("withinMs");
    // Keepalive alone never notices a line that cannot be delivered: the send timeout does.
    QTest::newRow("after a send") << false << true << ShortTimersNoticeMs;
    QTest::newRow("idle, default timers") << true << false << 30000;
}

void TestFaults::vanishedServerIsTold()
{
    QFETCH(bool, defaultTimers);
    QFETCH(bool, sending);
    QFETCH(int, withinMs);
    const auto a = connectedTerminal(defaultTimers ? std::nullopt : std::optional(ShortTimers));
    QVERIFY(a);
    m_lab->vanish(m_lab->server, m_server);
    if (sending)
        a->say(QStringLiteral("kimse yok mu?"));
    QTRY_VERIFY_WITH_TIMEOUT(a->lostNumber() >= 0, withinMs);
    QCOMPARE(a->lostNumber(), int(SocketErrors::TimedOut));
    QTRY_COMPARE(a->notRetrying(), QString());
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::vanishedTerminalIsAnnounced_data()
{
    QTest::addColumn<bool>("chatting");
    QTest::newRow("idle") << false;
    QTest::newRow("during chat") << true;
}

void TestFaults::vanishedTerminalIsAnnounced()
{
    QFETCH(bool, chatting);
    m_server = m_lab->startServer(ShortServerTimers);
    QVERIFY(m_server);
    const auto a = connectedTerminal();
    QVERIFY(a);
    LabProcess *b = connectedPeer(*a, QStringLiteral("B"));
    QVERIFY(b);

    // During chat the server has lines for B it cannot get rid of.
    QTimer talk;
    int said = 0;
    connect(&talk, &QTimer::timeout, this, [&] { a->say(QString::number(++said)); });
    if (chatting)
        talk.start(200);
    m_lab->vanish(m_lab->b, b);
    QTRY_VERIFY_WITH_TIMEOUT(a->log().contains(QStringLiteral("B") + LeaveSuffix),
                             ShortTimersNoticeMs);
    QTRY_VERIFY(a->form.session().pendingRemovals() == 0);
    a->form.Timer1_Timer();
    QCOMPARE(a->entries(), QStringList(QStringLiteral("A")));
    // Everyone else's chat went on meanwhile.
    if (chatting) {
        const QString line = QStringLiteral("<A> %1\r\n").arg(said);
        QTRY_VERIFY(a->log().contains(line));
    }
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::terminalWhoseMachineWasAwayIsListedAgain()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    LabProcess *b = connectedPeer(*a, QStringLiteral("B"));
    QVERIFY(b);
    // A laptop shut for a while: its program frozen, its link down; the server gives it up.
    m_lab->vanish(m_lab->b, b);
    QElapsedTimer away;
    away.start();
    QTRY_VERIFY_WITH_TIMEOUT(a->log().contains(QStringLiteral("B") + LeaveSuffix), 60000);
    QVERIFY(QTest::qWaitFor([&] { return away.elapsed() >= 90000; }, 91000));
    m_lab->setLink(m_lab->b, true);
    b->signal(SIGCONT);
    // Listed again, and announced, without anyone touching it.
    QVERIFY(QTest::qWaitFor(
        [&] {
            a->form.Timer1_Timer();
            return a->entries().contains(QStringLiteral("B")) &&
                   a->log().count(QStringLiteral("B") + JoinSuffix) == 2;
        },
        15000));
    QVERIFY2(b->output().contains(u"\nback\n"), qPrintable(b->output()));
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFaults::flappingLinkKeepsLinesApart()
{
    // Timers at their defaults: the link is down for less than they allow.
    const auto a = connectedTerminal(std::nullopt);
    QVERIFY(a);
    LabProcess *b = connectedPeer(*a, QStringLiteral("B"));
    QVERIFY(b);
    QSignalSpy reads(&a->form.session(), &ChatSession::chatArrived);

    // The server relays each line to A while A's link is down; they must still come one
    // read each once it is up again.
    m_lab->setLink(m_lab->a, false);
    QStringList lines;
    for (int i = 1; i <= 3; ++i) {
        lines.append(QStringLiteral("<B> kopuk %1").arg(i));
        b->writeLine(QStringLiteral("kopuk %1").arg(i));
        QTRY_VERIFY(b->output().contains(chatOutput(lines.last())));
    }
    m_lab->setLink(m_lab->a, true);
    QTRY_VERIFY_WITH_TIMEOUT(a->log().contains(lines.last()), ShortTimersNoticeMs);
    QStringList arrived;
    for (const QList<QVariant> &read : reads)
        arrived.append(QString::fromUtf8(read.first().toByteArray()));
    QCOMPARE(arrived, lines);
}

void TestFaults::pasteWithNagleArrivesLineByLine()
{
    const auto a = connectedTerminal();
    QVERIFY(a);
    QSignalSpy reads(&a->form.session(), &ChatSession::chatArrived);
    constexpr int Lines = 30;
    LabProcess *paster = m_lab->startPeer(m_lab->b, {QStringLiteral("paste"), QStringLiteral("P"),
                                                     m_lab->server.address, QString::number(Lines),
                                                     QStringLiteral("10")});
    QTRY_VERIFY(paster->output().contains(u"pasted"));
    const QString last = QStringLiteral("<P> line %1").arg(Lines);
    QTRY_VERIFY_WITH_TIMEOUT(a->log().contains(last), ShortTimersNoticeMs);
    QStringList expected;
    for (int i = 1; i <= Lines; ++i)
        expected.append(QStringLiteral("<P> line %1").arg(i));
    QStringList arrived;
    for (const QList<QVariant> &read : reads)
        arrived.append(QString::fromUtf8(read.first().toByteArray()));
    QCOMPARE(arrived, expected);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
