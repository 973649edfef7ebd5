// Real terminals with the real server: joining, talking and leaving, end to end.
#include "chatserver.h"
#include "common/formaccess.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QtTest>

#include <memory>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void joinTalkAndLeave();
    void crashedTerminalLeavesTheList();
    void linesSentQuicklyArriveOneByOne();
};

namespace {

struct Terminal
{
    Terminal(const QString &nick, const QString &server) : form(std::make_unique<Form1>())
    {
        control<QLineEdit>(form.get(), "TxtNick")->setText(nick);
        control<QLineEdit>(form.get(), "Text3")->setText(server);
        form->CmdConnect_Click();
    }
    QString log() const { return control<ChatLog>(form.get(), "Text1")->text(); }
    QStringList entries() const
    {
        form->Timer1_Timer();
        QStringList e;
        const QAbstractItemModel *m = control<QListView>(form.get(), "List1")->model();
        for (int i = 0; i < m->rowCount(); ++i)
            e.append(m->index(i, 0).data().toString());
        return e;
    }
    void say(const QString &line) const
    {
        control<QLineEdit>(form.get(), "Text2")->setText(line);
        form->Command1_Click();
    }
    std::unique_ptr<Form1> form;
};

} // namespace

void TestEndToEnd::joinTalkAndLeave()
{
    MessageBoxRecorder boxes;
    ChatServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.90"))));
    const QString address = QStringLiteral("127.0.0.90");

    Terminal ali(QStringLiteral("ALİ"), address);
    QTRY_COMPARE(ali.entries(), QStringList(QStringLiteral("ALİ")));
    Terminal ayse(QStringLiteral("AYŞE"), address);
    QTRY_COMPARE(ayse.entries().size(), 2);
    Terminal can(QStringLiteral("CAN"), address);
    const QStringList everyone = {QStringLiteral("ALİ"), QStringLiteral("AYŞE"),
                                  QStringLiteral("CAN")};
    for (const Terminal *t : {&ali, &ayse, &can})
        QTRY_COMPARE(t->entries(), everyone);
    QTRY_VERIFY(ali.log().contains(QStringLiteral("CAN sohbete katıldı.\r\n")));
    QTRY_VERIFY(ayse.log().contains(QStringLiteral("CAN sohbete katıldı.\r\n")));
    QVERIFY(ali.log().contains(QStringLiteral("AYŞE sohbete katıldı.\r\n")));

    ali.say(QStringLiteral("Herkese merhaba, çay hazır!"));
    const QString line = QStringLiteral("<ALİ> Herkese merhaba, çay hazır!\r\n");
    for (const Terminal *t : {&ali, &ayse, &can})
        QTRY_VERIFY(t->log().contains(line));
    ayse.say(QStringLiteral("geliyorum"));
    for (const Terminal *t : {&ali, &ayse, &can})
        QTRY_VERIFY(t->log().contains(QStringLiteral("<AYŞE> geliyorum\r\n")));
    for (const Terminal *t : {&ali, &ayse, &can})
        QCOMPARE(t->log().count(line), 1);

    ayse.form->mnudisconnect_Click();
    for (const Terminal *t : {&ali, &can})
        QTRY_VERIFY(t->log().endsWith(QStringLiteral("AYŞE sohbetten ayrıldı.\r\n")));
    for (const Terminal *t : {&ali, &can}) {
        t->form->Timer2_Timer();
        QCOMPARE(t->entries(), QStringList({QStringLiteral("ALİ"), QStringLiteral("CAN")}));
    }
    QTRY_COMPARE(server.nicknames().size(), 2);
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestEndToEnd::crashedTerminalLeavesTheList()
{
    ChatServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.91"))));
    Terminal ali(QStringLiteral("ALİ"), QStringLiteral("127.0.0.91"));
    auto veli = std::make_unique<Terminal>(QStringLiteral("VELİ"), QStringLiteral("127.0.0.91"));
    QTRY_COMPARE(ali.entries().size(), 2);
    veli.reset(); // gone without a word
    QTRY_VERIFY(ali.log().endsWith(QStringLiteral("VELİ sohbetten ayrıldı.\r\n")));
    ali.form->Timer2_Timer();
    QCOMPARE(ali.entries(), QStringList(QStringLiteral("ALİ")));
    QTRY_COMPARE(server.nicknames().size(), 1);
}

void TestEndToEnd::linesSentQuicklyArriveOneByOne()
{
    ChatServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.92"))));
    Terminal ali(QStringLiteral("ALİ"), QStringLiteral("127.0.0.92"));
    Terminal can(QStringLiteral("CAN"), QStringLiteral("127.0.0.92"));
    QTRY_COMPARE(can.entries().size(), 2);

    // A line every 5 ms, each sent while the one before is still on its way back.
    QString expected;
    int sent = 0;
    QTimer typist;
    connect(&typist, &QTimer::timeout, this, [&] {
        if (sent == 20)
            return;
        ali.say(QString::number(++sent));
        expected += QStringLiteral("<ALİ> %1\r\n").arg(sent);
    });
    typist.start(5);
    QTRY_VERIFY(sent == 20 && can.log().contains(QStringLiteral("<ALİ> 20")));
    QVERIFY2(can.log().endsWith(expected), qPrintable(can.log()));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
