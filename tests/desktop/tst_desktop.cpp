// What only a desktop shows: native windows, activation, stacking and minimising, under a
// real window manager on a virtual X display (run by tests/desktop/run-desktop). Keys are
// typed through the X server, so they go where a user's keys would.
#include "common/connectedterminal.h"
#include "ui/about/frmabout.h"

#include <QGroupBox>
#include <QMenu>
#include <QProcess>
#include <QStyleOptionGroupBox>
#include <QWindow>
#include <QtTest>

namespace {

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished() || p.exitCode() != 0)
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
    return QString::fromLatin1(p.readAllStandardOutput());
}

// Keys through the X server's test extension, to whichever window has the X focus.
void type(const QString &text)
{
    run(QStringLiteral("xdotool"),
        {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

void key(const QString &name)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("key"), name});
}

WId xWindow(const QString &text)
{
    const qsizetype at = text.lastIndexOf(QStringLiteral("0x"));
    return at < 0 ? 0 : text.mid(at).trimmed().toULongLong(nullptr, 16);
}

// The window the window manager shows as active.
WId activeWindow()
{
    return xWindow(run(QStringLiteral("xprop"),
                       {QStringLiteral("-root"), QStringLiteral("_NET_ACTIVE_WINDOW")}));
}

// The managed windows, bottom to top.
QList<WId> stacking()
{
    const QString out = run(QStringLiteral("xprop"),
                            {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST_STACKING")});
    QList<WId> ids;
    for (const QString &id : out.mid(out.indexOf(u'=') + 1).split(u','))
        ids.append(id.trimmed().toULongLong(nullptr, 16));
    return ids;
}

bool isAbove(const QWidget *upper, const QWidget *lower)
{
    const QList<WId> order = stacking();
    return order.indexOf(upper->winId()) > order.indexOf(lower->winId());
}

bool hasState(const QWidget *window, const char *state)
{
    return run(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window->winId()),
                                         QStringLiteral("_NET_WM_STATE")})
        .contains(QLatin1StringView(state));
}

bool staysOnTop(const QWidget *window)
{
    return hasState(window, "_NET_WM_STATE_ABOVE");
}

bool demandsAttention(const QWidget *window)
{
    return hasState(window, "_NET_WM_STATE_DEMANDS_ATTENTION");
}

void activate(QWidget *window)
{
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTRY_COMPARE(activeWindow(), window->winId());
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void arrivalLeavesTheUserTyping();
    void arrivalRaisesAboveTheActiveWindowWithoutActivating();
    void arrivalAsksForAttentionWhileAnotherProgramIsActive();
    void framesShowTheirWholeCaption();
    void nicknameKeepsItsCaseUntilAnotherControlHasTheFocus();
    void aboutWindowScrollsThroughMinimiseAndRestore();
};

void TestDesktop::arrivalLeavesTheUserTyping()
{
    ConnectedTerminal t(QStringLiteral("127.0.5.10"));
    t.form.show();
    activate(&t.form);
    t.entry()->setFocus();
    type(QStringLiteral("abc"));
    QTRY_COMPARE(t.entry()->text(), QStringLiteral("abc"));

    const WId id = t.form.winId();
    for (const char *line : {"ilk", "sonraki"}) {
        t.arrive(FakeServer::Chat, line);
        QTRY_VERIFY(staysOnTop(&t.form));
        QCOMPARE(t.form.winId(), id);
        QVERIFY(t.form.isVisible());
        QCOMPARE(QApplication::activeWindow(), &t.form);
        QCOMPARE(activeWindow(), id);
        QCOMPARE(QApplication::focusWidget(), t.entry());
        QCOMPARE(t.entry()->text(), QStringLiteral("abc"));
    }
    type(QStringLiteral("def"));
    key(QStringLiteral("Return"));
    QTRY_COMPARE(t.server.received(FakeServer::Chat), QByteArray("<ALI> abcdef"));
}

void TestDesktop::arrivalRaisesAboveTheActiveWindowWithoutActivating()
{
    ConnectedTerminal t(QStringLiteral("127.0.5.11"));
    t.form.show();
    activate(&t.form);
    QWidget other;
    other.setWindowTitle(QStringLiteral("başka bir program"));
    other.setGeometry(t.form.geometry());
    other.show();
    activate(&other);
    QTRY_VERIFY(isAbove(&other, &t.form));

    const QRect where = t.form.geometry();
    t.arrive(FakeServer::Chat, "merhaba");
    QTRY_VERIFY(isAbove(&t.form, &other));
    QCOMPARE(activeWindow(), other.winId());
    QCOMPARE(QApplication::activeWindow(), &other);
    QCOMPARE(t.form.geometry(), where);

    // Clicking the other window does not bring it back over the terminal.
    activate(&other);
    t.arrive(FakeServer::Chat, "yine");
    QVERIFY(isAbove(&t.form, &other));
    QCOMPARE(activeWindow(), other.winId());
}

void TestDesktop::arrivalAsksForAttentionWhileAnotherProgramIsActive()
{
    ConnectedTerminal t(QStringLiteral("127.0.5.12"));
    t.form.show();
    activate(&t.form);
    t.arrive(FakeServer::Chat, "kendisi etkin");
    QWidget other;
    other.setWindowTitle(QStringLiteral("başka bir program"));
    other.show();
    activate(&other);
    QVERIFY(!demandsAttention(&t.form));

    t.arrive(FakeServer::Chat, "merhaba");
    QTRY_VERIFY(demandsAttention(&t.form));
    QCOMPARE(activeWindow(), other.winId());
    QCOMPARE(QApplication::activeWindow(), &other);

    // The user comes back: the mark goes.
    activate(&t.form);
    QTRY_VERIFY(!demandsAttention(&t.form));

    // Minimised, it is marked where it is, not restored.
    activate(&other);
    t.form.showMinimized();
    QTRY_VERIFY(hasState(&t.form, "_NET_WM_STATE_HIDDEN"));
    t.arrive(FakeServer::Chat, "simge durumunda");
    QTRY_VERIFY(demandsAttention(&t.form));
    QVERIFY(t.form.isMinimized());
    QVERIFY(hasState(&t.form, "_NET_WM_STATE_HIDDEN"));
    QCOMPARE(activeWindow(), other.winId());
}

// The frames stand 2 px past the window's left edge; their captions are drawn whole.
void TestDesktop::framesShowTheirWholeCaption()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QList<QGroupBox *> frames = form.findChildren<QGroupBox *>();
    QCOMPARE(frames.size(), 2);
    for (const QGroupBox *frame : frames) {
        QCOMPARE(frame->x(), -qRound(30 * frame->logicalDpiX() / 1440.0));
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.textAlignment = frame->alignment();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect caption = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxLabel, frame);
        if (frame->title().isEmpty())
            continue;
        QVERIFY2(frame->mapTo(&form, caption.topLeft()).x() >= 0, qPrintable(frame->title()));
        QVERIFY(caption.width() >= frame->fontMetrics().horizontalAdvance(frame->title()));
    }
}

void TestDesktop::nicknameKeepsItsCaseUntilAnotherControlHasTheFocus()
{
    Form1 form;
    form.show();
    activate(&form);
    auto *nick = control<QLineEdit>(&form, "TxtNick");
    QTRY_COMPARE(QApplication::focusWidget(), nick);
    type(QStringLiteral("ali"));
    QTRY_COMPARE(nick->text(), QStringLiteral("ali"));

    QWidget other;
    other.show();
    activate(&other);
    activate(&form);
    QCOMPARE(QApplication::focusWidget(), nick);
    QCOMPARE(nick->text(), QStringLiteral("ali"));

    // Alt+Y opens the text style menu; Escape closes it and leaves the menu bar.
    auto *menu = control<QMenu>(&form, "mnuformat");
    key(QStringLiteral("alt+y"));
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(nick->text(), QStringLiteral("ali"));
    key(QStringLiteral("Escape"));
    QTRY_VERIFY(!menu->isVisible());
    key(QStringLiteral("Escape"));
    QTRY_COMPARE(QApplication::focusWidget(), nick);
    QCOMPARE(nick->text(), QStringLiteral("ali"));

    key(QStringLiteral("Tab"));
    QTRY_COMPARE(nick->text(), QStringLiteral("ALİ"));

    // Closing the window takes the focus from the field too.
    nick->setFocus();
    type(QStringLiteral("x"));
    QTRY_COMPARE(nick->text(), QStringLiteral("ALİx"));
    form.close();
    QCOMPARE(nick->text(), QStringLiteral("ALİX"));
}

void TestDesktop::aboutWindowScrollsThroughMinimiseAndRestore()
{
    Form1 form;
    form.show();
    activate(&form);
    form.mnuabout_Click();
    frmAbout *about = form.aboutWindow();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    QTRY_VERIFY(about->textTop() < frmAbout::StartTop - 100);

    // The about window goes down with its owner.
    form.showMinimized();
    QTRY_VERIFY(!about->windowHandle()->isExposed());
    double top = about->textTop();
    QTRY_VERIFY(about->textTop() < top - 100);

    form.showNormal();
    QTRY_VERIFY(about->windowHandle()->isExposed());
    top = about->textTop();
    QVERIFY(top < frmAbout::StartTop - 200);
    QTRY_VERIFY(about->textTop() < top - 100);
    about->Command1_Click();
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
