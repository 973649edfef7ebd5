// The servers found on the LAN as the terminal offers them: one entry per announced name from
// the sightings DNS-SD reports, a typed name matched against them, and what their TXT records
// say.
#include "channels/foundservers.h"
#include "protocol/channel.h"
#include "protocol/linkframes.h"

#include <QtTest>

class TestFoundServers : public QObject
{
    Q_OBJECT

private slots:
    void oneEntryPerNameIPv4First();
    void orderedByNameWhateverTheLetterCase();
    void typedNameFindsOneServerOrNone_data();
    void typedNameFindsOneServerOrNone();
    void newestTxtHolds();
    void txtRecordsRead_data();
    void txtRecordsRead();
};

namespace {

using Sighting = FoundServers::Sighting;

const QHostAddress v4(QStringLiteral("198.51.100.1"));
const QHostAddress v4Other(QStringLiteral("203.0.113.1"));
const QHostAddress v6(QStringLiteral("2001:db8:1::1"));
constexpr quint16 chat = portOf(Channel::Chat);

QStringList names(const FoundServers &found)
{
    QStringList out;
    for (const FoundServer &f : found.servers())
        out << f.name;
    return out;
}

} // namespace

void TestFoundServers::oneEntryPerNameIPv4First()
{
    FoundServers found;
    const Sighting overV6{2, 1, QStringLiteral("ofis")};
    const Sighting overV4{2, 0, QStringLiteral("ofis")};
    const Sighting otherLan{3, 0, QStringLiteral("ofis")};
    QVERIFY(found.resolved(overV6, QStringLiteral("a.local"), v6, chat));
    QCOMPARE(found.servers().constFirst().address, v6);
    // The same again changes nothing.
    QVERIFY(!found.resolved(overV6, QStringLiteral("a.local"), v6, chat));

    QVERIFY(found.resolved(overV4, QStringLiteral("b.local"), v4, chat + 1));
    QVERIFY(found.resolved(otherLan, QStringLiteral("c.local"), v4Other, chat + 2));
    QCOMPARE(found.servers().size(), 1);
    FoundServer f = found.servers().constFirst();
    QCOMPARE(f.name, QStringLiteral("ofis"));
    QCOMPARE(f.address, v4); // the first IPv4 sighting, with its machine and port
    QCOMPARE(f.hostName, QStringLiteral("b.local"));
    QCOMPARE(f.port, chat + 1);
    QCOMPARE(f.addresses, (QList<QHostAddress>{v4, v4Other, v6}));

    // Offered as long as any sighting is left, from what is left.
    QVERIFY(found.removed(overV4));
    QCOMPARE(found.servers().size(), 1);
    QCOMPARE(found.servers().constFirst().address, v4Other);
    QVERIFY(found.removed(otherLan));
    QCOMPARE(found.servers().constFirst().address, v6);
    QCOMPARE(found.servers().constFirst().port, chat);
    QVERIFY(!found.removed(otherLan));
    QVERIFY(found.removed(overV6));
    QVERIFY(found.servers().isEmpty());

    QVERIFY(!found.clear());
    QVERIFY(found.resolved(overV4, QString(), v4, 1));
    QVERIFY(found.clear());
    QVERIFY(found.servers().isEmpty());
}

void TestFoundServers::orderedByNameWhateverTheLetterCase()
{
    FoundServers found;
    int index = 0;
    for (const char *name : {"zeki", "ılık", "Bahçe", "ağ", "Ilgaz"})
        found.resolved({++index, 0, QString::fromUtf8(name)}, QString(), v4, chat);
    QCOMPARE(names(found),
             (QStringList{QStringLiteral("ağ"), QStringLiteral("Bahçe"), QStringLiteral("Ilgaz"),
                          QStringLiteral("ılık"), QStringLiteral("zeki")}));
}

void TestFoundServers::typedNameFindsOneServerOrNone_data()
{
    QTest::addColumn<QStringList>("announced");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("found"); // empty: none
    const QStringList lan{QStringLiteral("OFİS"), QStringLiteral("Depo"), QStringLiteral("ışık")};
    QTest::newRow("as announced") << lan << QStringLiteral("Depo") << QStringLiteral("Depo");
    QTest::newRow("other case") << lan << QStringLiteral("dEPO") << QStringLiteral("Depo");
    QTest::newRow("Turkish i") << lan << QStringLiteral("ofis") << QStringLiteral("OFİS");
    QTest::newRow("Turkish dotless i") << lan << QStringLiteral("IŞIK") << QStringLiteral("ışık");
    QTest::newRow("I is not İ") << lan << QStringLiteral("OFIS") << QString();
    QTest::newRow("trailing blanks")
        << lan << QStringLiteral("depo \t\r\n") << QStringLiteral("Depo");
    QTest::newRow("leading blank") << lan << QStringLiteral(" depo") << QString();
    QTest::newRow("beginning only") << lan << QStringLiteral("Dep") << QString();
    QTest::newRow("nothing typed") << lan << QStringLiteral("  ") << QString();
    const QStringList twins{QStringLiteral("ofis"), QStringLiteral("OFİS")};
    QTest::newRow("two alike, not guessed") << twins << QStringLiteral("Ofis") << QString();
    QTest::newRow("two alike, one exact")
        << twins << QStringLiteral("OFİS") << QStringLiteral("OFİS");
}

void TestFoundServers::typedNameFindsOneServerOrNone()
{
    QFETCH(QStringList, announced);
    QFETCH(QString, typed);
    QFETCH(QString, found);
    FoundServers servers;
    int index = 0;
    for (const QString &name : announced)
        servers.resolved({++index, 0, name}, name + QStringLiteral(".local"), v4, chat);
    const std::optional<FoundServer> match = servers.find(typed);
    QCOMPARE(match ? match->name : QString(), found);
    if (match)
        QCOMPARE(match->hostName, found + QStringLiteral(".local"));
}

void TestFoundServers::newestTxtHolds()
{
    const ServiceTxt before{LinkPort, QByteArray(32, '\x11')};
    const ServiceTxt after{LinkPort, QByteArray(32, '\x22')};
    const Sighting overV4{2, 0, QStringLiteral("ofis")};
    const Sighting overV6{2, 1, QStringLiteral("ofis")};
    const auto txt = [](const FoundServers &found) {
        return found.servers().constFirst().txt.toRecords();
    };
    FoundServers found;
    QVERIFY(found.resolved(overV4, QString(), v4, chat, before));
    QCOMPARE(txt(found), before.toRecords());
    // A restarted server's new certificate, read on another sighting: the address stays the
    // IPv4 one, the TXT is the newer.
    QVERIFY(found.resolved(overV6, QString(), v6, chat, after));
    QCOMPARE(found.servers().constFirst().address, v4);
    QCOMPARE(txt(found), after.toRecords());
    QVERIFY(!found.resolved(overV6, QString(), v6, chat, after));
    QVERIFY(found.resolved(overV4, QString(), v4, chat, ServiceTxt()));
    QCOMPARE(txt(found), ServiceTxt().toRecords());
    QVERIFY(found.removed(overV4));
    QCOMPARE(txt(found), after.toRecords());
}

void TestFoundServers::txtRecordsRead_data()
{
    QTest::addColumn<QByteArrayList>("records");
    QTest::addColumn<int>("linkPort");
    QTest::addColumn<QByteArray>("fingerprint");
    QTest::addColumn<bool>("asWritten"); // what toRecords gives for what was read
    const QByteArray hex = QByteArray("0123456789abcdef").repeated(4);
    const QByteArray digest = QByteArray::fromHex(hex);
    const QByteArray link = "tls=" + QByteArray::number(LinkPort);
    const QByteArray fp = "fp=" + hex;
    QTest::newRow("link and fingerprint")
        << QByteArrayList{"txtvers=1", link, fp} << int(LinkPort) << digest << true;
    QTest::newRow("neither") << QByteArrayList{"txtvers=1"} << 0 << QByteArray() << true;
    QTest::newRow("upper-case keys and digits")
        << QByteArrayList{"TXTVERS=1", link.toUpper(), fp.toUpper()} << int(LinkPort) << digest
        << false;
    const QByteArray otherFp = "FP=" + QByteArray("fedcba9876543210").repeated(4);
    QTest::newRow("first of a key counts")
        << QByteArrayList{"txtvers=1", link, "TLS=4", "tls=", fp, otherFp} << int(LinkPort)
        << digest << false;
    QTest::newRow("first version counts")
        << QByteArrayList{"txtvers=2", "txtvers=1", link, fp} << 0 << QByteArray() << false;
    QTest::newRow("another version")
        << QByteArrayList{"txtvers=2", link, fp} << 0 << QByteArray() << false;
    QTest::newRow("no version") << QByteArrayList{link, fp} << 0 << QByteArray() << false;
    QTest::newRow("lowest port") << QByteArrayList{"txtvers=1", "tls=1"} << 1 << QByteArray()
                                 << true;
    QTest::newRow("highest port") << QByteArrayList{"txtvers=1", "tls=65535"} << 65535
                                  << QByteArray() << true;
    for (const char *port : {"0", "65536", "70000", "x", "-1"})
        QTest::addRow("port %s", port)
            << QByteArrayList{"txtvers=1", QByteArray("tls=") + port, fp} << 0 << digest << false;
    QTest::newRow("fingerprint short") << QByteArrayList{"txtvers=1", link, fp.chopped(2)}
                                       << int(LinkPort) << QByteArray() << false;
    QTest::newRow("fingerprint long")
        << QByteArrayList{"txtvers=1", link, fp + "00"} << int(LinkPort) << QByteArray() << false;
    QTest::newRow("fingerprint not hex") << QByteArrayList{"txtvers=1", link, fp.chopped(1) + 'g'}
                                         << int(LinkPort) << QByteArray() << false;
    QTest::newRow("fingerprint as shown to people")
        << QByteArrayList{"txtvers=1", link, "fp=" + digest.toHex(':')} << int(LinkPort)
        << QByteArray() << false;
}

void TestFoundServers::txtRecordsRead()
{
    QFETCH(QByteArrayList, records);
    QFETCH(int, linkPort);
    QFETCH(QByteArray, fingerprint);
    QFETCH(bool, asWritten);
    const ServiceTxt txt = ServiceTxt::fromRecords(records);
    QCOMPARE(txt.linkPort, linkPort);
    QCOMPARE(txt.fingerprint, fingerprint);
    if (asWritten)
        QCOMPARE(txt.toRecords(), records);
}

QTEST_GUILESS_MAIN(TestFoundServers)
#include "tst_foundservers.moc"
