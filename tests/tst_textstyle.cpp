// The text style menu: each style entry flips its own check mark and attribute of the chat
// log's font; Normal clears them all.
#include "common/connectedterminal.h"

#include <QAction>
#include <QtTest>

class TestTextStyle : public QObject
{
    Q_OBJECT

private slots:
    void boldFromTheStart();
    void allThreeThenNormal();
    void menuEntriesBehaveAsHandlers();
    void styleSurvivesArrivalsAndClearing();
};

namespace {

struct Style
{
    bool bold, italic, underline;
    bool operator==(const Style &) const = default;
};

Style fontOf(const Form1 &form)
{
    const QFont f = control<ChatLog>(&form, "Text1")->font();
    return {f.bold(), f.italic(), f.underline()};
}

Style checksOf(const Form1 &form)
{
    return {control<QAction>(&form, "mnubold")->isChecked(),
            control<QAction>(&form, "mnuitallic")->isChecked(),
            control<QAction>(&form, "mnuunderlined")->isChecked()};
}

bool noneChecked(const Form1 &form)
{
    return control<QAction>(&form, "mnunone")->isChecked();
}

char *toString(const Style &s)
{
    return qstrdup(QStringLiteral("bold=%1 italic=%2 underline=%3")
                       .arg(s.bold)
                       .arg(s.italic)
                       .arg(s.underline)
                       .toLatin1()
                       .constData());
}

} // namespace

void TestTextStyle::boldFromTheStart()
{
    Form1 form;
    // The check marks mirror the font from the start: regular, "Normal" checked.
    QCOMPARE(fontOf(form), (Style{false, false, false}));
    QVERIFY(noneChecked(form));

    form.mnubold_Click();
    QCOMPARE(fontOf(form), (Style{true, false, false}));
    QCOMPARE(checksOf(form), (Style{true, false, false}));
    QVERIFY(!noneChecked(form));

    form.mnubold_Click();
    QCOMPARE(fontOf(form), (Style{false, false, false}));
    QCOMPARE(checksOf(form), (Style{false, false, false}));
    QVERIFY(!noneChecked(form)); // a style entry never checks Normal again
}

void TestTextStyle::allThreeThenNormal()
{
    Form1 form;
    form.mnunone_Click();
    form.mnubold_Click();
    form.mnuitallic_Click();
    form.mnuunderlined_Click();
    QCOMPARE(fontOf(form), (Style{true, true, true}));
    QCOMPARE(checksOf(form), (Style{true, true, true}));
    QVERIFY(!noneChecked(form));

    form.mnunone_Click();
    QCOMPARE(fontOf(form), (Style{false, false, false}));
    QCOMPARE(checksOf(form), (Style{false, false, false}));
    QVERIFY(noneChecked(form));
    form.mnunone_Click();
    QCOMPARE(fontOf(form), (Style{false, false, false}));
    QVERIFY(noneChecked(form));

    // Name and size never change.
    const QFont f = control<ChatLog>(&form, "Text1")->font();
    QCOMPARE(f.family(), QStringLiteral("Tahoma"));
    QCOMPARE(f.pointSizeF(), 9.0);
}

void TestTextStyle::menuEntriesBehaveAsHandlers()
{
    // Choosing from the menu must not flip a check mark twice.
    Form1 form;
    control<QAction>(&form, "mnuitallic")->trigger();
    QCOMPARE(checksOf(form), (Style{false, true, false}));
    QCOMPARE(fontOf(form), (Style{false, true, false}));
    control<QAction>(&form, "mnunone")->trigger();
    QVERIFY(noneChecked(form));
    control<QAction>(&form, "mnunone")->trigger();
    QVERIFY(noneChecked(form));
    QCOMPARE(fontOf(form), (Style{false, false, false}));
}

void TestTextStyle::styleSurvivesArrivalsAndClearing()
{
    ConnectedTerminal t(QStringLiteral("127.0.0.140"));
    const QFont entryFont = t.entry()->font();
    const QFont listFont = t.list()->font();
    t.form.mnubold_Click();
    t.form.mnuunderlined_Click();
    t.arrive(FakeServer::Chat, "kalin mi?");
    QCOMPARE(fontOf(t.form), (Style{true, false, true}));
    t.form.mnucleartxt_Click();
    QCOMPARE(fontOf(t.form), (Style{true, false, true}));
    QCOMPARE(t.entry()->font(), entryFont);
    QCOMPARE(t.list()->font(), listFont);
    QVERIFY(t.entry()->font().bold());
}

QTEST_MAIN(TestTextStyle)
#include "tst_textstyle.moc"
