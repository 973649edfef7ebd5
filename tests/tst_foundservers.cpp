// The servers found on the LAN as the terminal offers them: one entry per announced name from
// the sightings DNS-SD reports, and a typed name matched against them.
#include "channels/foundservers.h"

#include <QtTest>

class TestFoundServers : public QObject
{
    Q_OBJECT

private slots:
    void oneEntryPerNameIPv4First();
    void orderedByNameWhateverTheLetterCase();
    void typedNameFindsOneServerOrNone_data();
    void typedNameFindsOneServerOrNone();
};

namespace {

using Sighting = FoundServers::Sighting;

const QHostAddress v4(QStringLiteral("198.51.100.1"));
const QHostAddress v4Other(QStringLiteral("203.0.113.1"));
const QHostAddress v6(QStringLiteral("2001:db8:1::1"));

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
    QVERIFY(found.resolved(overV6, QStringLiteral("a.local"), v6, 10420));
    QCOMPARE(found.servers().constFirst().address, v6);
    // The same again changes nothing.
    QVERIFY(!found.resolved(overV6, QStringLiteral("a.local"), v6, 10420));

    QVERIFY(found.resolved(overV4, QStringLiteral("b.local"), v4, 10421));
    QVERIFY(found.resolved(otherLan, QStringLiteral("c.local"), v4Other, 10422));
    QCOMPARE(found.servers().size(), 1);
    FoundServer f = found.servers().constFirst();
    QCOMPARE(f.name, QStringLiteral("ofis"));
    QCOMPARE(f.address, v4); // the first IPv4 sighting, with its machine and port
    QCOMPARE(f.hostName, QStringLiteral("b.local"));
    QCOMPARE(f.port, 10421);
    QCOMPARE(f.addresses, (QList<QHostAddress>{v4, v4Other, v6}));

    // Offered as long as any sighting is left, from what is left.
    QVERIFY(found.removed(overV4));
    QCOMPARE(found.servers().size(), 1);
    QCOMPARE(found.servers().constFirst().address, v4Other);
    QVERIFY(found.removed(otherLan));
    QCOMPARE(found.servers().constFirst().address, v6);
    QCOMPARE(found.servers().constFirst().port, 10420);
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
        found.resolved({++index, 0, QString::fromUtf8(name)}, QString(), v4, 10420);
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
        servers.resolved({++index, 0, name}, name + QStringLiteral(".local"), v4, 10420);
    const std::optional<FoundServer> match = servers.find(typed);
    QCOMPARE(match ? match->name : QString(), found);
    if (match)
        QCOMPARE(match->hostName, found + QStringLiteral(".local"));
}

QTEST_GUILESS_MAIN(TestFoundServers)
#include "tst_foundservers.moc"
