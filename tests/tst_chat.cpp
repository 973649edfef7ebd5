// Chat lines going up and coming down, and the main window's own behaviour.
#include "common/connectedterminal.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QtTest>

class TestChat : public QObject
{
    Q_OBJECT

private slots:
    void sentLinesAreExact_data();
    void sentLinesAreExact();
    void emptyEntrySendsNothing();
    void failedSendIsShownAndTheLineKept();
    void arrivalsAppendWithLineEnds();
    void arrivalsShowLiterally();
    void arrivalRaisesWindowOnce();
    void nothingArrivesAfterDisconnect();
    void logCaretStaysAtEnd();
    void clearEmptiesOnlyTheLog();
    void connectButtonFollowsNickname();
    void nicknameUpperCasedOnFocusLoss();
    void enterPressesSend();
    void closingAndExit();
    void twoTerminalsTalk();
};

void TestChat::sentLinesAreExact_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain") << QStringLiteral("merhaba") << QByteArray("<ALI> merhaba");
    QTest::newRow("three blanks") << QStringLiteral("   ") << QByteArray("<ALI>    ");
    QTest::newRow("turkish") << QStringLiteral("Günaydın, İŞÇİ!")
                             << QByteArray("<ALI> G\xFCnayd\xFDn, \xDD\xDE\xC7\xDD!");
}

void TestChat::sentLinesAreExact()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, wire);
    ConnectedTerminal t(QStringLiteral("127.0.0.30"));
    t.entry()->setText(message);
    t.form.Command1_Click();
    QTRY_COMPARE(t.server.received(FakeServer::Chat), wire);
    QCOMPARE(t.entry()->text(), QString());
    // The sender's own line is not written into the log here; only arrivals are.
    QCOMPARE(t.log()->text(), QString());
}

void TestChat::emptyEntrySendsNothing()
{
    MessageBoxRecorder boxes;
    Form1 form; // not even connected: an empty entry never reaches the channel
    form.Command1_Click();
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestChat::failedSendIsShownAndTheLineKept()
{
    MessageBoxRecorder boxes;
    Form1 form;
    control<QLineEdit>(&form, "Text2")->setText(QStringLiteral("kayıp"));
    form.Command1_Click();
    QCOMPARE(boxes.texts(),
             QStringList(QStringLiteral("40006: İstenen işlem için bağlantı durumu uygun değil")));
    QCOMPARE(boxes.boxes[0].style, 0);
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Vornel"));
    QCOMPARE(control<QLineEdit>(&form, "Text2")->text(), QStringLiteral("kayıp"));
}

void TestChat::arrivalsAppendWithLineEnds()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.31"));
    t.server.send(FakeServer::Chat, "a");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("a\r\n"));
    t.server.send(FakeServer::Chat, "b");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("a\r\nb\r\n"));
    // Several lines in one arrival are one piece with a single line end behind it.
    t.server.send(FakeServer::Chat, "x\r\ny\nz");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("a\r\nb\r\nx\r\ny\nz\r\n"));
    // Code page 1254 arrivals show their Turkish letters.
    t.server.send(FakeServer::Chat, "<AY\xDE"
                                    "E> \xE7"
                                    "ay");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("a\r\nb\r\nx\r\ny\nz\r\n<AYŞE> çay\r\n"));
    QCOMPARE(t.log()->toPlainText(), QStringLiteral("a\nb\nx\ny\nz\n<AYŞE> çay\n"));
}

void TestChat::arrivalsShowLiterally()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.32"));
    t.server.send(FakeServer::Chat, "<b>x</b> <img src=x> &amp;");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("<b>x</b> <img src=x> &amp;\r\n"));
    QCOMPARE(t.log()->toPlainText(), QStringLiteral("<b>x</b> <img src=x> &amp;\n"));
    // Control characters are kept in the text and drawn as visible symbols.
    t.server.send(FakeServer::Chat, QByteArray("n\0l\x07", 4));
    QTRY_VERIFY(t.log()->text().endsWith(
        QString(QStringLiteral("n") + QChar(0) + QStringLiteral("l\a\r\n"))));
    QVERIFY(t.log()->toPlainText().endsWith(QStringLiteral("n\u2400l\u2407\n")));
}

void TestChat::arrivalRaisesWindowOnce()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.33"));
    QVERIFY(!(t.form.windowFlags() & Qt::WindowStaysOnTopHint));
    t.server.send(FakeServer::Chat, "1");
    QTRY_VERIFY(t.form.isVisible());
    QVERIFY(t.form.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(t.form.testAttribute(Qt::WA_ShowWithoutActivating));
    const WId native = t.form.winId();
    const QRect where = t.form.geometry();
    t.server.send(FakeServer::Chat, "2");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("1\r\n2\r\n"));
    // Later arrivals do not recreate the native window, nor move or resize it.
    QCOMPARE(t.form.winId(), native);
    QCOMPARE(t.form.geometry(), where);
}

void TestChat::nothingArrivesAfterDisconnect()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.34"));
    t.form.mnudisconnect_Click();
    t.server.send(FakeServer::Chat, "son");
    QVERIFY(!QTest::qWaitFor([&] { return !t.log()->text().isEmpty(); }, 300));
}

void TestChat::logCaretStaysAtEnd()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.35"));
    t.server.send(FakeServer::Chat, "birinci satir");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("birinci satir\r\n"));
    QCOMPARE(t.log()->selStart(), int(t.log()->text().size()));
    // The user puts the caret at the start; the next arrival takes it back to the end.
    t.log()->setSelStart(0);
    t.log()->moveCursor(QTextCursor::Start);
    t.server.send(FakeServer::Chat, "ikinci");
    QTRY_COMPARE(t.log()->text(), QStringLiteral("birinci satir\r\nikinci\r\n"));
    QCOMPARE(t.log()->selStart(), int(t.log()->text().size()));
    QVERIFY(t.log()->textCursor().atEnd());
}

void TestChat::clearEmptiesOnlyTheLog()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.36"));
    t.server.send(FakeServer::Chat, "silinecek");
    t.server.send(FakeServer::UserList, "AYSE");
    auto *list = control<QListView>(&t.form, "List1");
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QTRY_VERIFY(!t.log()->text().isEmpty());
    t.entry()->setText(QStringLiteral("yazılıyor"));
    t.form.mnucleartxt_Click();
    QCOMPARE(t.log()->text(), QString());
    QCOMPARE(t.log()->toPlainText(), QString());
    QCOMPARE(t.log()->selStart(), 0);
    QCOMPARE(t.entry()->text(), QStringLiteral("yazılıyor"));
    QCOMPARE(control<QLineEdit>(&t.form, "TxtNick")->text(), QStringLiteral("ALI"));
    QCOMPARE(control<QLineEdit>(&t.form, "Text3")->text(), t.server.address());
    QCOMPARE(list->model()->rowCount(), 1);
}

void TestChat::connectButtonFollowsNickname()
{
    Form1 form;
    auto *nick = control<QLineEdit>(&form, "TxtNick");
    auto *button = control<QPushButton>(&form, "CmdConnect");
    QVERIFY(!button->isEnabled());
    QTest::keyClick(nick, Qt::Key_A);
    QVERIFY(button->isEnabled());
    QTest::keyClick(nick, Qt::Key_Backspace);
    QVERIFY(!button->isEnabled());
    nick->setText(QStringLiteral("  "));
    QVERIFY(button->isEnabled());
}

void TestChat::nicknameUpperCasedOnFocusLoss()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto *nick = control<QLineEdit>(&form, "TxtNick");
    nick->setFocus();
    QTest::keyClicks(nick, QStringLiteral("ali "));
    nick->insert(QStringLiteral("ışık")); // typed as if by an input method
    // Still as typed while the field has the focus.
    QCOMPARE(nick->text(), QStringLiteral("ali ışık"));
    control<QLineEdit>(&form, "Text3")->setFocus();
    QCOMPARE(nick->text(), QStringLiteral("ALİ IŞIK"));
    QVERIFY(control<QPushButton>(&form, "CmdConnect")->isEnabled());

    // An empty field stays empty, the button disabled.
    nick->clear();
    nick->setFocus();
    control<QLineEdit>(&form, "Text3")->setFocus();
    QCOMPARE(nick->text(), QString());
    QVERIFY(!control<QPushButton>(&form, "CmdConnect")->isEnabled());
}

void TestChat::enterPressesSend()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.37"));
    t.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&t.form));
    t.entry()->setFocus();
    QTest::keyClicks(t.entry(), QStringLiteral("enter"));
    QTest::keyClick(t.entry(), Qt::Key_Return);
    QTRY_COMPARE(t.server.received(FakeServer::Chat), QByteArray("<ALI> enter"));
    QCOMPARE(t.entry()->text(), QString());
}

void TestChat::closingAndExit()
{
    Form1 form;
    int closeEvents = 0;
    int ends = 0;
    form.setEndProgram([&] { ++ends; });
    // Every close request is accepted.
    QCloseEvent request;
    QApplication::sendEvent(&form, &request);
    QVERIFY(request.isAccepted());

    struct CloseCounter : QObject
    {
        int *count;
        explicit CloseCounter(int *c) : count(c) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Close)
                ++*count;
            return false;
        }
    } counter(&closeEvents);
    form.installEventFilter(&counter);
    control<QAction>(&form, "mnuexit")->trigger();
    QCOMPARE(ends, 1);
    QCOMPARE(closeEvents, 0);
}

void TestChat::twoTerminalsTalk()
{
    FakeServer relay(QStringLiteral("127.0.0.38"));
    QVERIFY(relay.listen());
    relay.setRelay(FakeServer::Chat, true);
    Form1 ali;
    Form1 ayse;
    for (auto [form, nick] :
         {std::pair{&ali, QStringLiteral("ALI")}, {&ayse, QStringLiteral("AYŞE")}}) {
        control<QLineEdit>(form, "TxtNick")->setText(nick);
        control<QLineEdit>(form, "Text3")->setText(relay.address());
        form->CmdConnect_Click();
    }
    // Both ends of both chat connections are up: the relay reaches each, and neither
    // terminal refuses to send.
    QTRY_COMPARE(relay.connectionCount(FakeServer::Chat), 2);
    QTRY_VERIFY(channelsUp(ali) && channelsUp(ayse));

    control<QLineEdit>(&ali, "Text2")->setText(QStringLiteral("selam"));
    ali.Command1_Click();
    QTRY_COMPARE(control<ChatLog>(&ayse, "Text1")->text(), QStringLiteral("<ALI> selam\r\n"));
    QTRY_COMPARE(control<ChatLog>(&ali, "Text1")->text(), QStringLiteral("<ALI> selam\r\n"));

    control<QLineEdit>(&ayse, "Text2")->setText(QStringLiteral("merhaba, nasılsın?"));
    ayse.Command1_Click();
    const QString both = QStringLiteral("<ALI> selam\r\n<AYŞE> merhaba, nasılsın?\r\n");
    QTRY_COMPARE(control<ChatLog>(&ali, "Text1")->text(), both);
    QTRY_COMPARE(control<ChatLog>(&ayse, "Text1")->text(), both);
}

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
