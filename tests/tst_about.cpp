// The about window: its text, the scrolling, focus and keys, and opening it over the main
// window without stopping the chat.
#include "common/connectedterminal.h"
#include "ui/about/frmabout.h"

#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

namespace {

// The offscreen platform does not always hand the focus to a newly shown dialog as a
// window manager would; ask for it.
void activate(QWidget *window)
{
    window->activateWindow();
    QTRY_VERIFY(window->isActiveWindow());
}

} // namespace

class TestAbout : public QObject
{
    Q_OBJECT

private slots:
    void informationTextIsTenLines();
    void windowLayout();
    void scrollPositions();
    void focusStaysOnTheButton();
    void enterClosesAndReopeningRestarts();
    void chatGoesOnWhileOpen();
};

void TestAbout::informationTextIsTenLines()
{
    const QString text = frmAbout::informationText();
    QVERIFY(text.endsWith(QStringLiteral("\r\n")));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines.last(), QString());
    QCOMPARE(lines[0], QStringLiteral("Bu haberleşme yazılımı"));
    QCOMPARE(lines[4], QStringLiteral("Yazılım genel olarak;"));
    QCOMPARE(lines[5], QStringLiteral("Yerel bir ağ içerisinde bulunan kullanıcıların"));
    QCOMPARE(lines[6], QStringLiteral("birbiri ile haberleşmelerini sağlamak amacı"));
    QCOMPARE(lines[7], QStringLiteral("ile yazılmıştır. Yapılan yazışmalar"));
    QCOMPARE(lines[8], QStringLiteral("sistem tarafından kayıt altına ALINMAZ!"));
    QVERIFY(lines[1].contains(QStringLiteral("Vornel geliştiricileri")));
    QVERIFY(!text.contains(u'\n' + QString(u'\n')));
}

void TestAbout::windowLayout()
{
    Form1 form;
    form.mnuabout_Click();
    frmAbout *about = form.aboutWindow();
    QVERIFY(about->isVisible());
    QCOMPARE(about->parentWidget(), &form);
    QVERIFY(about->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(about->windowModality(), Qt::WindowModal);
    if (about->logicalDpiX() == 96)
        QCOMPARE(about->size(), QSize(507, 329));
    QCOMPARE(about->palette().color(QPalette::Window), QColor(Qt::black));
    QCOMPARE(control<QLabel>(about, "Label1")->text(), QStringLiteral("Vornel"));
    QCOMPARE(control<QLabel>(about, "Label2")->text(), QStringLiteral(" v.1.00"));
    QCOMPARE(control<QPushButton>(about, "Command1")->text(), QStringLiteral("Tamam"));
    QCOMPARE(control<QTextEdit>(about, "Text1")->toPlainText(),
             frmAbout::informationText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    about->Command1_Click();
}

void TestAbout::scrollPositions()
{
    Form1 form;
    form.mnuabout_Click();
    frmAbout *about = form.aboutWindow();
    QCOMPARE(about->textTop(), 4050.0);
    about->Timer1_Timer();
    QCOMPARE(about->textTop(), 4040.0);
    for (int i = 1; i < 639; ++i)
        about->Timer1_Timer();
    QCOMPARE(about->textTop(), -2340.0);
    about->Timer1_Timer(); // the 640th tick reaches -2350 and puts the box back
    QCOMPARE(about->textTop(), 4900.0);
    for (int i = 0; i < 724; ++i)
        about->Timer1_Timer();
    QCOMPARE(about->textTop(), -2340.0);
    about->Timer1_Timer();
    QCOMPARE(about->textTop(), 4900.0);
    // The box moves on screen, clipped by the window.
    if (about->logicalDpiY() == 96)
        QCOMPARE(control<QTextEdit>(about, "Text1")->y(), 327);
    about->Command1_Click();
}

void TestAbout::focusStaysOnTheButton()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.mnuabout_Click();
    frmAbout *about = form.aboutWindow();
    activate(about);
    auto *button = control<QPushButton>(about, "Command1");
    auto *text = control<QTextEdit>(about, "Text1");
    QCOMPARE(QApplication::focusWidget(), button);
    text->setFocus(Qt::MouseFocusReason);
    QCOMPARE(QApplication::focusWidget(), button);
    QTest::keyClick(button, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), button);
    about->Command1_Click();
}

void TestAbout::enterClosesAndReopeningRestarts()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.mnuabout_Click();
    frmAbout *about = form.aboutWindow();
    activate(about);
    for (int i = 0; i < 10; ++i)
        about->Timer1_Timer();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(!about->isVisible());
    QVERIFY(!control<QTimer>(about, "Timer1")->isActive());
    QVERIFY(form.isVisible());
    activate(&form);

    form.mnuabout_Click();
    QCOMPARE(form.aboutWindow(), about); // one instance, kept by the main window
    QCOMPARE(about->textTop(), 4050.0);
    QVERIFY(control<QTimer>(about, "Timer1")->isActive());
    QCOMPARE(control<QTimer>(about, "Timer1")->interval(), 20);
    activate(about);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(!about->isVisible());

    // Escape unloads it too: the scrolling stops.
    activate(&form);
    form.mnuabout_Click();
    activate(about);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!about->isVisible());
    QVERIFY(!control<QTimer>(about, "Timer1")->isActive());
}

void TestAbout::chatGoesOnWhileOpen()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.160"));
    t.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&t.form));
    t.form.mnuabout_Click();
    frmAbout *about = t.form.aboutWindow();
    activate(about);
    QCOMPARE(QApplication::activeModalWidget(), about);
    t.arrive(FakeServer::Chat, "hala buradayim");
    QCOMPARE(t.log()->text(), QStringLiteral("hala buradayim\r\n"));
    // The main window's own timers go on too.
    QVERIFY(control<QTimer>(&t.form, "Timer1")->isActive());
    about->Command1_Click();
    QVERIFY(!QApplication::activeModalWidget());
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
