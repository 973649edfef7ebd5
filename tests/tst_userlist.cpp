// Who is online: user-list entries, duplicate clean-up and count, join and leave notices,
// and taking a departed user's entry out.
#include "channels/removeduplicates.h"
#include "channels/userlistmodel.h"
#include "common/connectedterminal.h"
#include "protocol/namesearch.h"

#include <QLabel>
#include <QTimer>
#include <QtTest>

class TestUserList : public QObject
{
    Q_OBJECT

private slots:
    void duplicatesGoFirstOfEachStays_data();
    void duplicatesGoFirstOfEachStays();
    void duplicatesKeepTheSelectedEntry();
    void listStopsAtItsLimit();
    void search_data();
    void search();

    void arrivalsBecomeEntriesAndAreCounted();
    void joinAndLeaveLines();
    void departedUserGoesAfterTheDelay();
    void clickedEntryIsNotRemovedInstead();
    void longerNicknameListedFirstStays();
    void twoDeparturesBothGo();
    void unknownDepartureRemovesNothing();
};

void TestUserList::duplicatesGoFirstOfEachStays_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");
    auto l = [](std::initializer_list<const char16_t *> items) {
        QStringList out;
        for (const char16_t *i : items)
            out.append(QString::fromUtf16(i));
        return out;
    };
    QTest::newRow("ABAACB") << l({u"A", u"B", u"A", u"A", u"C", u"B"}) << l({u"A", u"B", u"C"});
    QTest::newRow("case and trailing blanks count")
        << l({u"ali", u"ALI", u"ALI ", u"ALI", u"ALİ"}) << l({u"ali", u"ALI", u"ALI ", u"ALİ"});
    QTest::newRow("two empty entries") << l({u"", u"X", u""}) << l({u"", u"X"});
    QTest::newRow("no duplicates") << l({u"X", u"Y"}) << l({u"X", u"Y"});
    QTest::newRow("all the same") << l({u"Z", u"Z", u"Z", u"Z"}) << l({u"Z"});
    QTest::newRow("empty list") << QStringList() << QStringList();
}

void TestUserList::duplicatesGoFirstOfEachStays()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    const qsizetype before = entries.size();
    QCOMPARE(RemoveDuplicates(entries), before - expected.size());
    QCOMPARE(entries, expected);
}

void TestUserList::duplicatesKeepTheSelectedEntry()
{
    // The selection follows its entry as earlier copies go, and is lost only with the entry.
    QStringList entries = {QStringLiteral("A"), QStringLiteral("A"), QStringLiteral("B"),
                           QStringLiteral("A"), QStringLiteral("C")};
    int tracked = 4;
    QStringList copy = entries;
    RemoveDuplicates(copy, &tracked);
    QCOMPARE(tracked, 2);
    tracked = 3;
    copy = entries;
    RemoveDuplicates(copy, &tracked);
    QCOMPARE(tracked, -1);

    // The model leaves an unchanged list alone.
    UserListModel model;
    model.addItem(QStringLiteral("X"));
    int none = -1;
    model.removeDuplicates(&none);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.addItem(QStringLiteral("Y"));
    model.removeDuplicates(&none);
    QCOMPARE(resets.size(), 0);
}

void TestUserList::listStopsAtItsLimit()
{
    UserListModel model;
    for (int i = 0; i < UserListModel::MaxEntries; ++i)
        QVERIFY(model.addItem(QString::number(i)));
    QVERIFY(!model.addItem(QStringLiteral("one too many")));
    QCOMPARE(model.count(), 32767);
    QCOMPARE(model.entries().last(), QStringLiteral("32766"));
    QVERIFY(model.removeItem(0));
    QVERIFY(model.addItem(QStringLiteral("room again")));
}

void TestUserList::search_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("found");
    const QStringList list = {QStringLiteral("ALİBABA"), QStringLiteral("ALİ"),
                              QStringLiteral("IŞIK\r\n"), QStringLiteral("Mehmet  ")};
    QTest::newRow("equal beats an earlier prefix") << list << QStringLiteral("ALİ") << 1;
    QTest::newRow("turkish lower case is equal") << list << QStringLiteral("ali") << 1;
    QTest::newRow("dotless i is another letter") << list << QStringLiteral("ALI") << -1;
    QTest::newRow("line break ignored") << list << QStringLiteral("ışık") << 2;
    QTest::newRow("trailing blanks of the text") << list << QStringLiteral("MEHMET\n") << 3;
    QTest::newRow("prefix when none is equal") << list << QStringLiteral("alib") << 0;
    QTest::newRow("prefix any case") << list << QStringLiteral("meh") << 3;
    QTest::newRow("nothing begins with it") << list << QStringLiteral("Zeynep") << -1;
    QTest::newRow("empty text selects nothing") << list << QString() << -1;
}

void TestUserList::search()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, text);
    QFETCH(int, found);
    QCOMPARE(NameSearch::find(entries, text), found);
}

void TestUserList::arrivalsBecomeEntriesAndAreCounted()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.50"));
    auto *count = control<QLabel>(&t.form, "Label4");
    t.form.Timer1_Timer();
    QCOMPARE(count->text(), QStringLiteral("0 Kullanıcı bağlı"));
    for (const char *name : {"A", "B", "A", "A", "C", "B"})
        t.arrive(FakeServer::UserList, name);
    QCOMPARE(t.entries().size(), 6);
    t.form.Timer1_Timer();
    QCOMPARE(t.entries(),
             QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}));
    QCOMPARE(count->text(), QStringLiteral("3 Kullanıcı bağlı"));

    // Two names in one arrival make one entry.
    t.arrive(FakeServer::UserList, "DENIZ\r\nEMRE");
    t.form.Timer1_Timer();
    QCOMPARE(t.entries().last(), QStringLiteral("DENIZ\r\nEMRE"));
    QCOMPARE(count->text(), QStringLiteral("4 Kullanıcı bağlı"));
    // The timer runs on its own every 500 ms.
    QCOMPARE(control<QTimer>(&t.form, "Timer1")->interval(), 500);
    QVERIFY(control<QTimer>(&t.form, "Timer1")->isActive());
}

void TestUserList::joinAndLeaveLines()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.51"));
    t.arrive(FakeServer::Join, joinNotice("AY\xDE"
                                          "E"));
    QCOMPARE(t.log()->text(), joinedLine(u"AYŞE"));
    QCOMPARE(t.entries(), QStringList()); // joins never touch the list
    t.arrive(FakeServer::Leave, "AY\xDE"
                                "E");
    QCOMPARE(t.log()->text(), joinedLine(u"AYŞE") + leftLine(u"AYŞE"));
}

void TestUserList::departedUserGoesAfterTheDelay()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.52"));
    for (const char *name : {"ALI", "VELI", "AYSE"})
        t.arrive(FakeServer::UserList, name);
    t.arrive(FakeServer::Leave, "VELI");
    // Highlighted at once, gone only at the tick.
    QCOMPARE(t.selected(), 1);
    QCOMPARE(control<QLineEdit>(&t.form, "Text4")->text(), QStringLiteral("VELI"));
    auto *timer2 = control<QTimer>(&t.form, "Timer2");
    QVERIFY(timer2->isActive());
    QVERIFY(timer2->remainingTime() > 1500);
    QCOMPARE(t.entries().size(), 3);
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList({QStringLiteral("ALI"), QStringLiteral("AYSE")}));
    QCOMPARE(control<QLineEdit>(&t.form, "Text4")->text(), QString());
    QCOMPARE(t.selected(), -1);
    QVERIFY(!timer2->isActive());
}

void TestUserList::clickedEntryIsNotRemovedInstead()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.53"));
    for (const char *name : {"ALI", "VELI", "AYSE"})
        t.arrive(FakeServer::UserList, name);
    t.arrive(FakeServer::Leave, "VELI");
    // The user clicks AYSE before the tick.
    QTest::mouseClick(t.list()->viewport(), Qt::LeftButton, {},
                      t.list()->visualRect(t.list()->model()->index(2, 0)).center());
    QCOMPARE(t.selected(), 2);
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList({QStringLiteral("ALI"), QStringLiteral("AYSE")}));
}

void TestUserList::longerNicknameListedFirstStays()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.54"));
    t.arrive(FakeServer::UserList, "AL\xDD"
                                   "BABA");
    t.arrive(FakeServer::UserList, "AL\xDD");
    t.arrive(FakeServer::Leave, "AL\xDD");
    QCOMPARE(t.selected(), 1);
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList(QStringLiteral("ALİBABA")));
}

void TestUserList::twoDeparturesBothGo()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.55"));
    for (const char *name : {"ALI", "VELI", "AYSE", "CAN"})
        t.arrive(FakeServer::UserList, name);
    t.arrive(FakeServer::Leave, "VELI");
    t.arrive(FakeServer::Leave, "can"); // letter case of the notice does not matter
    QCOMPARE(t.form.session().pendingRemovals(), 2);
    QCOMPARE(t.selected(), 3); // the latest departure is the one highlighted

    auto *timer2 = control<QTimer>(&t.form, "Timer2");
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(),
             QStringList({QStringLiteral("ALI"), QStringLiteral("AYSE"), QStringLiteral("CAN")}));
    // The second waits out its own delay, counted from its own notice.
    QVERIFY(timer2->isActive());
    QVERIFY(timer2->remainingTime() <= ChatSession::RemovalDelayMs);
    QCOMPARE(control<QLineEdit>(&t.form, "Text4")->text(), QStringLiteral("can"));
    QCOMPARE(t.selected(), 2);
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList({QStringLiteral("ALI"), QStringLiteral("AYSE")}));
    QVERIFY(!timer2->isActive());
    QCOMPARE(t.form.session().pendingRemovals(), 0);
}

void TestUserList::unknownDepartureRemovesNothing()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.57"));
    t.arrive(FakeServer::UserList, "ALI");
    t.arrive(FakeServer::Leave, "ZEYNEP");
    QCOMPARE(t.log()->text(), leftLine(u"ZEYNEP"));
    QCOMPARE(t.selected(), -1);
    t.form.session().Timer2_Timer();
    QCOMPARE(t.entries(), QStringList(QStringLiteral("ALI")));
    QCOMPARE(control<QLineEdit>(&t.form, "Text4")->text(), QString());
}

QTEST_MAIN(TestUserList)
#include "tst_userlist.moc"
