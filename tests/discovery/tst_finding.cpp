// The main window on the terminal's machine of the discovery lab: the servers announced on the
// LAN offered in the server field, and what Bağlan does with a picked name and with the start
// text "SERVER", where the machine's resolver knows no name at all.
#include "../faults/labprocess.h"
#include "common/formaccess.h"
#include "discoverylab.h"
#include "ui/main/form1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QLineEdit>
#include <QListView>
#include <QtTest>

namespace {

constexpr int Found = 15000; // probing and announcing take a few seconds on a busy machine

QStringList named(const QString &name)
{
    return {QStringLiteral("--name"), name};
}

// A main window shown and active, with a nickname typed.
struct Window
{
    Window()
    {
        form.show();
        form.activateWindow();
        if (!QTest::qWaitForWindowActive(&form))
            qFatal("the window did not become active");
        nick()->setFocus(Qt::OtherFocusReason);
        nick()->setText(QStringLiteral("ALİ"));
    }

    QLineEdit *nick() const { return control<QLineEdit>(&form, "TxtNick"); }
    QLineEdit *server() const { return control<QLineEdit>(&form, "Text3"); }
    QAbstractItemView *offered() const { return server()->completer()->popup(); }

    QStringList rows() const
    {
        QStringList r;
        if (!offered()->isVisible())
            return r;
        const QAbstractItemModel *m = offered()->model();
        for (int i = 0; i < m->rowCount(); ++i)
            r.append(m->index(i, 0).data().toString());
        return r;
    }

    bool listed() const
    {
        form.Timer1_Timer();
        const QAbstractItemModel *m = control<QListView>(&form, "List1")->model();
        return m->rowCount() == 1 && m->index(0, 0).data().toString() == QStringLiteral("ALİ");
    }

    mutable Form1 form;
};

} // namespace

class TestFinding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void foundServersOfferedAndPickedByKeyboard();
    void startTextFindsTheOneServer();
    void startTextDoesNotGuessBetweenTwo();
    void startTextReachesThisMachineWithoutADaemon();

private:
    DiscoveryLab *m_lab = nullptr;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
};

void TestFinding::initTestCase()
{
    m_lab = new DiscoveryLab(this);
    if (!m_lab->isComplete())
        QSKIP("not in the discovery lab: run through tests/discovery/run-discovery");
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestFinding::cleanup()
{
    m_boxes.reset();
    m_lab->stopPrograms();
    for (const DiscoveryLab::Machine *m : {&m_lab->terminal, &m_lab->server1, &m_lab->server2})
        QVERIFY(m_lab->startAvahi(*m));
}

void TestFinding::foundServersOfferedAndPickedByKeyboard()
{
    QVERIFY(m_lab->startServer(m_lab->server1, named(QStringLiteral("Ofis Sunucusu"))));
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().find(u"ofis sunucusu"), Found);
    // Offered, name and address, as the field takes the focus; the keyboard picks one.
    QTest::keyClick(w.nick(), Qt::Key_Tab);
    QTRY_COMPARE(w.rows(), QStringList(QStringLiteral("Ofis Sunucusu (198.51.100.1)")));
    QCOMPARE(w.offered()->accessibleName(), QStringLiteral("Bulunan sunucular"));
    QTest::keyClick(w.offered(), Qt::Key_Down);
    QTest::keyClick(w.offered(), Qt::Key_Return);
    QTRY_VERIFY(!w.offered()->isVisible());
    QCOMPARE(w.server()->text(), QStringLiteral("Ofis Sunucusu"));
    // Closed, the arrow key opens it again, and typing narrows it down.
    QTest::keyClick(w.server(), Qt::Key_Down);
    QTRY_COMPARE(w.rows().size(), 1);
    QTest::keyClick(w.offered(), Qt::Key_Escape);
    w.server()->clear();
    QTest::keyClicks(w.server(), QStringLiteral("x"));
    QCOMPARE(w.rows(), QStringList());

    // The picked name reaches its server, though nothing here resolves it.
    w.server()->setText(QStringLiteral("Ofis Sunucusu"));
    w.form.CmdConnect_Click();
    QTRY_VERIFY(w.listed());
    // No browsing while connected; again once disconnected.
    QVERIFY(!w.form.servers().isStarted());
    w.form.mnudisconnect_Click();
    QVERIFY(w.form.servers().isStarted());
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().find(u"Ofis Sunucusu"), Found);
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextFindsTheOneServer()
{
    QVERIFY(m_lab->startServer(m_lab->server2, named(QStringLiteral("Tek"))));
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    // The one left: the servers of the cases before are gone from the daemon's cache.
    QTRY_VERIFY_WITH_TIMEOUT(
        w.form.servers().servers().size() == 1 && w.form.servers().find(u"Tek"), Found);
    QCOMPARE(w.server()->text(), QStringLiteral("SERVER"));
    w.form.CmdConnect_Click();
    QTRY_VERIFY(w.listed());
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextDoesNotGuessBetweenTwo()
{
    LabProcess *first = m_lab->startServer(m_lab->server1, named(QStringLiteral("Birinci")));
    LabProcess *second = m_lab->startServer(m_lab->server2, named(QStringLiteral("İkinci")));
    QVERIFY(first && second);
    m_boxes = std::make_unique<MessageBoxRecorder>();
    Window w;
    QTRY_VERIFY_WITH_TIMEOUT(w.form.servers().servers().size() == 2 &&
                                 w.form.servers().find(u"Birinci") &&
                                 w.form.servers().find(u"İkinci"),
                             Found);
    w.form.CmdConnect_Click();
    // Back to the field, the two offered for the user to pick, nobody connected to.
    QTRY_VERIFY(!w.form.isConnectedState());
    QTRY_COMPARE(w.rows(), QStringList({QStringLiteral("Birinci (198.51.100.1)"),
                                        QStringLiteral("İkinci (198.51.100.2)")}));
    QVERIFY(w.server()->hasFocus());
    for (const LabProcess *server : {first, second})
        QVERIFY2(!server->errors().contains(QStringLiteral("ALİ")), qPrintable(server->errors()));
    QCOMPARE(m_boxes->texts(), QStringList());
}

void TestFinding::startTextReachesThisMachineWithoutADaemon()
{
    // No daemon here; a server on this machine's loopback, as `make run` starts one.
    m_lab->stopAvahi(m_lab->terminal);
    m_boxes = std::make_unique<MessageBoxRecorder>();
    {
        LabProcess *local = m_lab->startServer(
            m_lab->terminal, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1")});
        QVERIFY(local);
        Window w;
        // Nothing to offer, nothing in the way.
        QTest::keyClick(w.nick(), Qt::Key_Tab);
        QVERIFY(w.server()->hasFocus());
        QCOMPARE(w.rows(), QStringList());
        w.form.CmdConnect_Click();
        QTRY_VERIFY(w.listed());
        QCOMPARE(m_boxes->texts(), QStringList());
        QVERIFY(DiscoveryLab::stop(local));
    }
    // Nothing there either: the boxes a name that leads nowhere has always brought.
    Window w;
    w.form.CmdConnect_Click();
    QTRY_COMPARE(m_boxes->texts(), QStringList(2, QStringLiteral("11001: Anamakina bulunamadı")));
    QTRY_VERIFY(!w.form.isConnectedState());
}

QTEST_MAIN(TestFinding)
#include "tst_finding.moc"
