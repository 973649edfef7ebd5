// The server's rules, on the relay core alone: no sockets, and time passes only when a test
// says so.
#include "protocol/chatline.h"
#include "relaycore.h"

#include <QHash>
#include <QSet>
#include <QTest>

#include <algorithm>

using Reads = QList<QByteArray>;

namespace {

// The network played by hand: connections from made-up addresses, and what the core sends
// kept per connection. A connection the core closes ends as a reset before the next input,
// as the network carries out a close a moment later: what the core decided in the same
// step cannot lean on it.
class Relay
{
public:
    explicit Relay(const ServerLimits &limits = {}) : core(limits) {}

    ConnectionId open(Channel channel, const QString &host = QStringLiteral("10.0.0.1"))
    {
        carryOutCloses();
        const ConnectionId id = ++m_lastId;
        take(core.opened(id, channel, host, QStringLiteral("%1 #%2").arg(host).arg(id), now));
        return id;
    }
    // A user-list connection that has sent its nickname.
    ConnectionId listed(const QByteArray &nickname,
                        const QString &host = QStringLiteral("10.0.0.1"))
    {
        const ConnectionId id = open(Channel::UserList, host);
        send(id, nickname);
        return id;
    }
    void send(ConnectionId id, const QByteArray &bytes)
    {
        carryOutCloses();
        take(core.arrived(id, bytes, now));
    }
    void end(ConnectionId id, ConnectionEnd how)
    {
        carryOutCloses();
        take(core.ended(id, how, now));
    }
    // Lets time pass, ticking the core whenever it asks.
    void wait(qint64 ms)
    {
        carryOutCloses();
        const qint64 until = now + ms;
        while (core.nextTickMs() >= 0 && core.nextTickMs() <= until) {
            now = std::max(now, core.nextTickMs());
            take(core.tick(now));
            carryOutCloses();
        }
        now = until;
    }

    Reads reads(ConnectionId id) const { return m_reads.value(id); }
    QList<qint64> readTimes(ConnectionId id) const { return m_readTimes.value(id); }
    bool isClosed(ConnectionId id) const { return m_closed.contains(id); }
    int logCount(const QString &text) const
    {
        return int(std::count_if(m_log.cbegin(), m_log.cend(),
                                 [&](const QString &line) { return line.contains(text); }));
    }
    bool logged(const QString &text) const { return logCount(text) > 0; }

    RelayCore core;
    qint64 now = 0;

private:
    void take(const RelayOutput &output)
    {
        for (const RelayOutput::LogLine &line : output.log)
            m_log.append(line.text);
        for (const RelayOutput::Send &send : output.sends) {
            m_reads[send.to].append(send.message);
            m_readTimes[send.to].append(now);
        }
        for (const RelayOutput::Close &close : output.closes) {
            m_log.append(close.reason);
            m_closed.insert(close.id);
            m_closing.append(close.id);
        }
    }
    void carryOutCloses()
    {
        while (!m_closing.isEmpty())
            take(core.ended(m_closing.takeFirst(), ConnectionEnd::Reset, now));
    }

    ConnectionId m_lastId = 0;
    QHash<ConnectionId, Reads> m_reads;
    QHash<ConnectionId, QList<qint64>> m_readTimes;
    QSet<ConnectionId> m_closed;
    QList<ConnectionId> m_closing;
    QStringList m_log;
};

const QString otherHost = QStringLiteral("10.0.0.2");

} // namespace

class TestRelayCore : public QObject
{
    Q_OBJECT

private slots:
    void relayedToEveryoneUnchanged();
    void joinNoticeGoesToEveryJoinConnection();
    void longNicknameIsCutEverywhere();
    void pasteIsDelayedNotDropped();
    void floodCostsTheFlooderNotTheReaders();
    void waitingArrivalsKeepTheirOrder();
    void budgetOutlivesConnections();
    void listGoesToNewcomerAndNewcomerToOthers();
    void everyLeaveIsAnnouncedExactlyOnce();
    void equalNamesAreOneUser();
    void nobodySpeaksOrJoinsAsSomeoneElse();
    void badNicknamesAreRefused();
    void namesPerAddressAreCapped();
    void unreachableMachineTakesItsNamesAlong();
};

void TestRelayCore::relayedToEveryoneUnchanged()
{
    Relay relay;
    relay.listed("AL\xDD");
    const ConnectionId sender = relay.open(Channel::Chat);
    const ConnectionId other = relay.open(Channel::Chat, otherHost);

    // "<ALİ> merhaba çğış", a NUL and a byte cp1254 leaves undefined.
    static const char bytes[] = "<AL\xDD> merhaba \xE7\xF0\xFD\xFE\x00\x81";
    const QByteArray line(bytes, sizeof bytes - 1);
    relay.send(sender, line);
    QCOMPARE(relay.reads(sender), Reads{line});
    QCOMPARE(relay.reads(other), Reads{line});
    QVERIFY(!relay.logged(QStringLiteral("merhaba")));
}

void TestRelayCore::joinNoticeGoesToEveryJoinConnection()
{
    Relay relay;
    const ConnectionId earlier = relay.open(Channel::Join);
    const ConnectionId joining = relay.open(Channel::Join);
    // The join comes before the nickname is listed, as it may from a terminal; it waits.
    relay.send(joining, "AL\xDD");
    relay.wait(500);
    QVERIFY(relay.reads(joining).isEmpty());
    relay.listed("AL\xDD");
    const Reads notice{joinNotice("AL\xDD")};
    QCOMPARE(relay.reads(joining), notice);
    QCOMPARE(relay.reads(earlier), notice);
    // Once for each listing.
    relay.send(joining, "AL\xDD");
    relay.wait(2000);
    QCOMPARE(relay.reads(joining), notice);
    QVERIFY(relay.logged(QStringLiteral("dropped a join")));
}

void TestRelayCore::longNicknameIsCutEverywhere()
{
    Relay relay({.maxNicknameBytes = 8});
    const ConnectionId list = relay.listed("ABCDEFGHIJKL");
    const ConnectionId join = relay.open(Channel::Join);
    const ConnectionId leave = relay.open(Channel::Leave);
    const ConnectionId chat = relay.open(Channel::Chat);
    relay.send(join, "ABCDEFGHIJKL");
    QCOMPARE(relay.reads(list), Reads{"ABCDEFGH"});
    QCOMPARE(relay.reads(join), Reads{joinNotice("ABCDEFGH")});
    // Chat lines and the leave carry the whole name again and must still find the entry.
    relay.send(chat, "<ABCDEFGHIJKL> hi");
    QCOMPARE(relay.reads(chat), Reads{"<ABCDEFGHIJKL> hi"});
    relay.send(leave, "ABCDEFGHIJKL");
    QCOMPARE(relay.reads(leave), Reads{"ABCDEFGH"});
    QVERIFY(relay.core.nicknames().isEmpty());
}

void TestRelayCore::pasteIsDelayedNotDropped()
{
    // Thirty lines at a script's pace, as shipped: twenty at once, then ten a second.
    Relay relay;
    relay.listed("AL\xDD");
    const ConnectionId sender = relay.open(Channel::Chat);
    const ConnectionId reader = relay.open(Channel::Chat, otherHost);
    Reads lines;
    for (int i = 0; i < 30; ++i) {
        lines.append("<AL\xDD> line " + QByteArray::number(i));
        relay.send(sender, lines.last());
        relay.wait(10);
    }
    relay.wait(5000);
    QCOMPARE(relay.reads(reader), lines);
    // As typed while the burst lasts, then one every 100 ms.
    const QList<qint64> t = relay.readTimes(reader);
    QCOMPARE(t.at(19), 190);
    for (qsizetype i = 21; i < t.size(); ++i)
        QCOMPARE(t.at(i) - t.at(i - 1), 100);
}

void TestRelayCore::floodCostsTheFlooderNotTheReaders()
{
    // As shipped: 20 arrivals at once, then at most 200 waiting for an address.
    Relay relay;
    relay.listed("AL\xDD");
    const ConnectionId honest = relay.open(Channel::Chat);
    const ConnectionId reader = relay.open(Channel::Chat);
    relay.listed("EVE", otherHost);
    const ConnectionId flooder = relay.open(Channel::Chat, otherHost);
    const ConnectionId patient = relay.open(Channel::Chat, otherHost);
    // Listing took one of the twenty.
    for (int i = 0; i < 169; ++i)
        relay.send(flooder, "<EVE> a");
    for (int i = 0; i < 50; ++i)
        relay.send(patient, "<EVE> b");
    QCOMPARE(relay.reads(reader).size(), 19);
    QVERIFY(!relay.isClosed(flooder));
    // The arrival past 200 waiting costs its connection what it had waiting, and no more.
    relay.send(flooder, "<EVE> a");
    QVERIFY(relay.isClosed(flooder));
    QCOMPARE(relay.logCount(QStringLiteral("far beyond its budget")), 1);
    relay.send(honest, "<AL\xDD> hala buradayim");
    QCOMPARE(relay.reads(reader).last(), QByteArray("<AL\xDD> hala buradayim"));
    relay.wait(6000);
    QCOMPARE(relay.reads(reader).count("<EVE> b"), 50);
    QCOMPARE(relay.reads(reader).size(), 70);
    QVERIFY(!relay.isClosed(patient) && !relay.isClosed(reader) && !relay.isClosed(honest));
}

void TestRelayCore::waitingArrivalsKeepTheirOrder()
{
    // A short line that the budget would take must not pass a long one that waits.
    Relay relay({.burstArrivalBytes = 100, .arrivalBytesPerSecond = 100});
    relay.listed("A");
    const ConnectionId chat = relay.open(Channel::Chat);
    const Reads lines{"<A> " + QByteArray(95, 'x'), "<A> " + QByteArray(50, 'y'), "<A> z"};
    relay.send(chat, lines.at(0));
    relay.send(chat, lines.at(1));
    relay.wait(100);
    relay.send(chat, lines.at(2));
    relay.wait(1000);
    QCOMPARE(relay.reads(chat), lines);
}

void TestRelayCore::budgetOutlivesConnections()
{
    // Closing and connecting again must not refill an address's budget.
    Relay relay({.burstArrivals = 2});
    const ConnectionId leave = relay.open(Channel::Leave);
    relay.send(leave, "NOBODY");
    relay.send(leave, "NOBODY");
    relay.end(leave, ConnectionEnd::Closed);
    const ConnectionId ali = relay.listed("ALI");
    QVERIFY(relay.reads(ali).isEmpty());
    relay.wait(100);
    QCOMPARE(relay.reads(ali), Reads{"ALI"});
}

void TestRelayCore::listGoesToNewcomerAndNewcomerToOthers()
{
    Relay relay;
    const ConnectionId ali = relay.listed("AL\xDD");
    QCOMPARE(relay.reads(ali), Reads{"AL\xDD"});
    // Connected but silent: it gets the whole list once it speaks, so nothing before that.
    const ConnectionId late = relay.open(Channel::UserList);
    const ConnectionId dilek = relay.listed("D\xDDLEK");
    QCOMPARE(relay.reads(ali).size(), 2);
    relay.send(late, "VEL\xDD");
    const Reads all{"AL\xDD", "D\xDDLEK", "VEL\xDD"};
    QCOMPARE(relay.reads(late), all);
    QCOMPARE(relay.reads(ali), all);
    QCOMPARE(relay.reads(dilek), all);
    QCOMPARE(relay.core.nicknames(), all);
    // Only the nickname counts.
    relay.send(late, "ANOTHER");
    QVERIFY(relay.logged(QStringLiteral("ignored an arrival after the nickname")));
    QCOMPARE(relay.core.nicknames(), all);
}

void TestRelayCore::everyLeaveIsAnnouncedExactlyOnce()
{
    Relay relay;
    const ConnectionId leave = relay.open(Channel::Leave);
    const ConnectionId ali = relay.listed("ALI");
    const ConnectionId veli = relay.listed("VELI");
    const ConnectionId ayse = relay.listed("AYSE");
    relay.listed("ZEKI");

    relay.send(leave, "ALI");
    QCOMPARE(relay.reads(leave), Reads{"ALI"});
    // Reconnecting after leaving closes the old connection: no second announcement. A
    // crashed terminal's connection is reset or closed: announced, as it never left.
    relay.end(ali, ConnectionEnd::Closed);
    relay.end(veli, ConnectionEnd::Reset);
    relay.end(ayse, ConnectionEnd::Closed);
    QCOMPARE(relay.core.nicknames(), Reads{"ZEKI"});
    // Nor is anyone not listed.
    relay.send(leave, "NOBODY");
    QVERIFY(relay.logged(QStringLiteral("\"NOBODY\" left but")));
    relay.send(leave, "ZEKI");
    QCOMPARE(relay.reads(leave), (Reads{"ALI", "VELI", "AYSE", "ZEKI"}));
}

void TestRelayCore::equalNamesAreOneUser()
{
    // Terminals take names equal by Turkish letter case and trailing blanks for one user.
    Relay relay;
    const ConnectionId watcher = relay.listed("ZEKI");
    const ConnectionId leave = relay.open(Channel::Leave);
    const ConnectionId impostor = relay.open(Channel::Leave, otherHost);
    relay.listed("AY\xDE\x45");
    relay.listed("AY\xDE\x45");
    relay.listed("ALICE");
    relay.listed("al\xFD\x63\x65 ", otherHost);
    const ConnectionId newcomer = relay.listed("NEW");
    QCOMPARE(relay.reads(newcomer), (Reads{"ZEKI", "AY\xDE\x45", "ALICE", "NEW"}));
    QCOMPARE(relay.reads(watcher), (Reads{"ZEKI", "AY\xDE\x45", "ALICE", "NEW"}));

    // One of two AYŞE leaves: the other stays on every list. The host that listed "alıce "
    // leaves it, and tries to take the real one off: neither is announced.
    relay.send(leave, "AY\xDE\x45");
    relay.send(impostor, "al\xFD\x63\x65 ");
    QCOMPARE(relay.core.nicknames().size(), 4);
    relay.send(impostor, "ALICE");
    QVERIFY(relay.logged(QStringLiteral("\"ALICE\" left but")));
    QCOMPARE(relay.core.nicknames().count("ALICE"), 1);
    QVERIFY(relay.reads(leave).isEmpty());
    // The last AYŞE to go is announced, in the listed spelling.
    relay.send(leave, "ay\xFE\x65\r\n");
    relay.send(leave, "ALICE");
    QCOMPARE(relay.reads(leave), (Reads{"AY\xDE\x45", "ALICE"}));
}

void TestRelayCore::nobodySpeaksOrJoinsAsSomeoneElse()
{
    Relay relay;
    relay.listed("AL\xDD");
    const ConnectionId aliChat = relay.open(Channel::Chat);
    const ConnectionId reader = relay.open(Channel::Chat);
    const ConnectionId joins = relay.open(Channel::Join);
    relay.listed("EVE", otherHost);
    const ConnectionId eveChat = relay.open(Channel::Chat, otherHost);
    const ConnectionId eveJoin = relay.open(Channel::Join, otherHost);

    relay.send(eveChat, "<AL\xDD> ben Ali'yim");
    relay.send(eveJoin, "AL\xDD");
    // A line before its nickname is listed waits for it, and so do the lines behind it,
    // up to 2 s.
    const ConnectionId velChat = relay.open(Channel::Chat);
    relay.send(velChat, "<VEL\xDD> ilk");
    relay.send(aliChat, "<al\xDD> selam");
    QCOMPARE(relay.reads(reader), Reads{"<al\xDD> selam"});
    relay.send(velChat, "<VEL\xDD> ikinci");
    relay.wait(1999);
    QCOMPARE(relay.reads(reader).size(), 1);
    relay.listed("VEL\xDD");
    QCOMPARE(relay.reads(reader), (Reads{"<al\xDD> selam", "<VEL\xDD> ilk", "<VEL\xDD> ikinci"}));
    // Eve's line and join that named Ali stay held until their time is up, then are dropped;
    // her own name still speaks behind them.
    relay.send(eveChat, "<EVE> ben Eve'im");
    QCOMPARE(relay.reads(reader).size(), 3);
    relay.wait(1);
    QCOMPARE(relay.reads(reader).size(), 4);
    QCOMPARE(relay.reads(reader).last(), QByteArray("<EVE> ben Eve'im"));
    QVERIFY(relay.logged(QStringLiteral("dropped a join")));
    QVERIFY(relay.logged(QStringLiteral("dropped a chat line")));
    QVERIFY(relay.reads(joins).isEmpty());
    // One whose name never comes is dropped after 2 s, not before.
    relay.send(eveChat, "<NOBODY> x");
    relay.wait(1999);
    QCOMPARE(relay.logCount(QStringLiteral("dropped a chat line")), 1);
    relay.wait(1);
    QCOMPARE(relay.logCount(QStringLiteral("dropped a chat line")), 2);
    QCOMPARE(relay.core.nextTickMs(), -1);
}

void TestRelayCore::badNicknamesAreRefused()
{
    Relay relay;
    const ConnectionId tab = relay.listed("AL\tI");
    const ConnectionId blanks = relay.listed("   ");
    const ConnectionId del = relay.listed("AL\x7F");
    const ConnectionId fine = relay.listed(" A ");
    QVERIFY(relay.isClosed(tab) && relay.isClosed(blanks) && relay.isClosed(del));
    QVERIFY(!relay.isClosed(fine));
    QCOMPARE(relay.core.nicknames(), Reads{" A "});
    QCOMPARE(relay.logCount(QStringLiteral("control character")), 2);
    QVERIFY(relay.logged(QStringLiteral("blank nickname")));
}

void TestRelayCore::namesPerAddressAreCapped()
{
    // As shipped: eight names from one address.
    Relay relay;
    QList<ConnectionId> names;
    for (int i = 0; i < 9; ++i)
        names.append(relay.listed("N" + QByteArray::number(i)));
    QCOMPARE(relay.core.nicknames().size(), 8);
    QVERIFY(relay.logged(QStringLiteral("names from this address already")));
    QVERIFY(relay.isClosed(names.last()));
    QVERIFY(!relay.isClosed(names.at(7)));
    relay.listed("N8", otherHost);
    QCOMPARE(relay.core.nicknames().size(), 9);
}

void TestRelayCore::unreachableMachineTakesItsNamesAlong()
{
    Relay relay;
    const QString lost = QStringLiteral("10.0.0.9");
    const ConnectionId watcher = relay.listed("ZEKI", otherHost);
    const ConnectionId watcherLeave = relay.open(Channel::Leave, otherHost);
    const ConnectionId watcherChat = relay.open(Channel::Chat, otherHost);
    relay.listed("AL\xDD", otherHost);
    relay.listed("ali", lost);
    relay.listed("VEL\xDD", lost);
    const ConnectionId lostChat = relay.open(Channel::Chat, lost);
    const ConnectionId lostLeave = relay.open(Channel::Leave, lost);
    // Held until its nickname is listed from there.
    relay.send(lostChat, "<DILEK> x");

    // A reset or an orderly close ends that connection alone.
    relay.end(watcherChat, ConnectionEnd::Reset);
    relay.end(lostLeave, ConnectionEnd::Closed);
    QCOMPARE(relay.core.nicknames().size(), 4);

    const ConnectionId lostJoin = relay.open(Channel::Join, lost);
    relay.end(lostChat, ConnectionEnd::TimedOut);
    // Its names go at once, before any of its other connections has ended.
    QCOMPARE(relay.core.nicknames(), (Reads{"ZEKI", "AL\xDD"}));
    // "ali" leaves silently, as an equal name stays listed from elsewhere.
    QCOMPARE(relay.reads(watcherLeave), Reads{"VEL\xDD"});
    QVERIFY(relay.isClosed(lostJoin));
    QVERIFY(!relay.isClosed(watcher) && !relay.isClosed(watcherLeave));
    relay.wait(0);
    QCOMPARE(relay.core.connectionCount(), 3);
    // What it had waiting went with it: not even the nickname, listed once it is back, lets
    // the line through.
    const ConnectionId reader = relay.open(Channel::Chat, otherHost);
    relay.listed("DILEK", lost);
    relay.wait(3000);
    QCOMPARE(relay.reads(reader), Reads{});
    QCOMPARE(relay.reads(watcherLeave), Reads{"VEL\xDD"});
}

QTEST_GUILESS_MAIN(TestRelayCore)
#include "tst_relaycore.moc"
