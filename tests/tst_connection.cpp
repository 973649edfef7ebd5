// The main window as it starts, and connecting to and disconnecting from the server.
#include "common/fakeserver.h"
#include "common/formaccess.h"
#include "ui/about/frmabout.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"

#include <QAction>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void startState();
    void menuTree();
    void geometryAndFonts();
    void refusals_data();
    void refusals();
    void connectedStateBeforeAnyChannelConnects();
    void disconnectAnnouncesDepartureAndKeepsLog();
    void disconnectWithoutLeaveChannel();
    void refusedConnectionReportedOncePerChannel();
    void endedConnectionIsTriedAgainInTheConnectedState_data();
    void endedConnectionIsTriedAgainInTheConnectedState();
};

namespace {

void typeNick(Form1 &form, const QString &nick, const QString &server)
{
    control<QLineEdit>(&form, "TxtNick")->setText(nick);
    control<QLineEdit>(&form, "Text3")->setText(server);
}

} // namespace

void TestConnection::startState()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QCOMPARE(form.windowTitle(), QStringLiteral("Yazışma - Terminal Modülü"));
    QCOMPARE(control<QGroupBox>(&form, "Frame1")->title(), QStringLiteral("Kullanıcı bilgileri "));
    QCOMPARE(control<QLabel>(&form, "Label1")->text(), QStringLiteral("Lakabınız   :"));
    QCOMPARE(control<QLabel>(&form, "Label2")->text(), QStringLiteral("Anamakina adı yada IP :"));
    QCOMPARE(control<QLabel>(&form, "Label3")->text(), QStringLiteral("Bağlı Kullanıcılar"));
    QCOMPARE(control<QLabel>(&form, "Label4")->text(), QStringLiteral("0 Kullanıcı bağlı"));
    QCOMPARE(control<QLineEdit>(&form, "TxtNick")->text(), QString());
    QCOMPARE(control<QLineEdit>(&form, "Text3")->text(), QStringLiteral("SERVER"));
    QCOMPARE(control<QPushButton>(&form, "CmdConnect")->text(), QStringLiteral("&Bağlan"));
    QCOMPARE(control<QPushButton>(&form, "Command1")->text(), QStringLiteral("&Gönder"));
    QCOMPARE(control<QGroupBox>(&form, "Frame2")->title(), QString());
    QCOMPARE(control<QLineEdit>(&form, "TxtNick")->toolTip(),
             QStringLiteral("Enter your nickname..."));
    QCOMPARE(control<QLineEdit>(&form, "Text3")->toolTip(),
             QStringLiteral("IP Address or Host name of the Server"));
    QCOMPARE(control<QPushButton>(&form, "CmdConnect")->toolTip(),
             QStringLiteral("Click to connect to server"));

    QVERIFY(control<QGroupBox>(&form, "Frame1")->isEnabled());
    QVERIFY(!control<QGroupBox>(&form, "Frame2")->isEnabled());
    QVERIFY(!control<QPushButton>(&form, "CmdConnect")->isEnabled());
    QVERIFY(control<QListView>(&form, "List1")->isEnabled());
    QVERIFY(control<ChatLog>(&form, "Text1")->isReadOnly());
    QVERIFY(!control<QLineEdit>(&form, "Text4")->isVisible());
    QVERIFY(!form.isConnectedState());
    QCOMPARE(QApplication::focusWidget(), control<QLineEdit>(&form, "TxtNick"));

    // The keyboard cycle, skipping what is disabled.
    control<QLineEdit>(&form, "TxtNick")->setText(QStringLiteral("A"));
    QStringList cycle;
    for (int i = 0; i < 5; ++i) {
        cycle.append(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(cycle, QStringList({QStringLiteral("TxtNick"), QStringLiteral("Text3"),
                                 QStringLiteral("CmdConnect"), QStringLiteral("List1"),
                                 QStringLiteral("TxtNick")}));

    // The seven-image icon, every size readable.
    const QList<QSize> sizes = form.windowIcon().availableSizes();
    for (const QSize size : {QSize(16, 16), QSize(32, 32), QSize(48, 48)})
        QVERIFY2(sizes.contains(size), qPrintable(QString::number(size.width())));

    // Minimizable, never maximizable, and no close button in the frame.
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
}

void TestConnection::menuTree()
{
    Form1 form;
    QStringList tree;
    for (QAction *top : form.menuBar()->actions()) {
        tree.append(top->text());
        if (QMenu *menu = top->menu()) {
            for (QAction *entry : menu->actions()) {
                QString line = QStringLiteral("  ") +
                               (entry->isSeparator() ? QStringLiteral("-") : entry->text());
                if (!entry->isEnabled())
                    line += QStringLiteral(" [disabled]");
                if (entry->isChecked())
                    line += QStringLiteral(" [checked]");
                tree.append(line);
            }
        }
    }
    const QStringList expected = {
        QStringLiteral("Bağlantı ayarı"),
        QStringLiteral("  &Bağlan"),
        QStringLiteral("  Bağlantıyı &kes [disabled]"),
        QStringLiteral("  -"),
        QStringLiteral("  &Çıkış"),
        QStringLiteral("&Yazı biçimi"),
        QStringLiteral("  Kalın"),
        QStringLiteral("  Yatık"),
        QStringLiteral("  Altı çizili"),
        QStringLiteral("  Normal [checked]"),
        QStringLiteral("  -"),
        QStringLiteral("  Ekranı temizle"),
        QStringLiteral("&Yazan hakkında"),
    };
    QCOMPARE(tree, expected);
    QVERIFY(!control<QAction>(&form, "mnuabout")->menu());
    for (const char *name : {"mnuconnect", "mnudisconnect", "mnuexit", "mnubold", "mnunone"})
        QVERIFY(control<QAction>(&form, name)->shortcut().isEmpty());
}

void TestConnection::geometryAndFonts()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // 15 twips to the pixel at 96 dots per inch.
    if (form.logicalDpiX() != 96)
        QSKIP("geometry is checked at 96 dpi");
    QCOMPARE(form.centralWidget()->size(), QSize(576, 492));
    QCOMPARE(control<QGroupBox>(&form, "Frame1")->geometry(), QRect(-2, 3, 428, 68));
    QCOMPARE(control<QLineEdit>(&form, "TxtNick")->geometry(), QRect(138, 16, 169, 19));
    QCOMPARE(control<ChatLog>(&form, "Text1")->geometry(), QRect(8, 15, 412, 340));
    QCOMPARE(control<QListView>(&form, "List1")->geometry(), QRect(433, 21, 129, 382));
    QCOMPARE(control<QLabel>(&form, "Label4")->pos(), QPoint(465, 410));
    // The hidden name field lies outside the client area as well.
    QVERIFY(
        !form.centralWidget()->rect().intersects(control<QLineEdit>(&form, "Text4")->geometry()));

    const QFont log = control<ChatLog>(&form, "Text1")->font();
    QCOMPARE(log.family(), QStringLiteral("Tahoma"));
    QCOMPARE(log.pointSizeF(), 9.0);
    QVERIFY(!log.bold()); // regular, to match "Normal" checked
    for (const char *name : {"Text2"}) {
        const QFont f = control<QLineEdit>(&form, name)->font();
        QCOMPARE(f.family(), QStringLiteral("Tahoma"));
        QVERIFY(f.bold());
    }
    QVERIFY(control<QListView>(&form, "List1")->font().bold());
    QVERIFY(control<QLabel>(&form, "Label3")->font().bold());
    QCOMPARE(control<QLabel>(&form, "Label1")->font().pointSizeF(), 8.25);
    QCOMPARE(control<QLabel>(&form, "Label4")->palette().color(QPalette::WindowText),
             QColor(192, 0, 0));
    // The substitute font draws every Turkish letter.
    const QFontMetrics metrics(log);
    for (const QChar c : QStringLiteral("ğĞüÜşŞıİöÖçÇ"))
        QVERIFY2(metrics.inFont(c), qPrintable(QString(c)));
}

void TestConnection::refusals_data()
{
    QTest::addColumn<QString>("nick");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("focus");

    const QString nickMessage = QStringLiteral("Lakabınızı giriniz!");
    const QString nickTitle = QStringLiteral("Kimlik hatası");
    QTest::newRow("empty nickname") << QString() << QStringLiteral("h") << nickMessage << nickTitle
                                    << QStringLiteral("TxtNick");
    QTest::newRow("one blank") << QStringLiteral(" ") << QStringLiteral("h") << nickMessage
                               << nickTitle << QStringLiteral("TxtNick");
    QTest::newRow("both empty") << QString() << QString() << nickMessage << nickTitle
                                << QStringLiteral("TxtNick");
    QTest::newRow("empty server") << QStringLiteral("ALI") << QString()
                                  << QStringLiteral("Anamakina adı yada IP sini girmelisiniz!")
                                  << QStringLiteral("Bağlantı hatası") << QStringLiteral("Text3");
}

void TestConnection::refusals()
{
    QFETCH(QString, nick);
    QFETCH(QString, server);
    QFETCH(QString, message);
    QFETCH(QString, title);
    QFETCH(QString, focus);

    MessageBoxRecorder boxes;
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    typeNick(form, nick, server);
    control<QListView>(&form, "List1")->setFocus(); // anywhere but the field at fault
    form.mnuconnect_Click();

    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].text, message);
    QCOMPARE(boxes.boxes[0].title, title);
    QCOMPARE(boxes.boxes[0].style, 64);
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(!form.isConnectedState());
    QVERIFY(!QGuiApplication::overrideCursor());
}

void TestConnection::connectedStateBeforeAnyChannelConnects()
{
    FakeServer server(QStringLiteral("127.0.0.10"));
    QVERIFY(server.listen());
    MessageBoxRecorder boxes;
    Form1 form;
    typeNick(form, QStringLiteral("  "), server.address()); // two blanks pass
    form.CmdConnect_Click();
    // Switched at once, before any connection could complete.
    QVERIFY(form.isConnectedState());
    QCOMPARE(server.acceptedCount(FakeServer::Chat), 0);
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(control<QAction>(&form, "mnudisconnect")->isEnabled());
    QVERIFY(!control<QAction>(&form, "mnuexit")->isEnabled());
    QVERIFY(control<QLineEdit>(&form, "Text2")->isEnabled());
    QTRY_COMPARE(server.connectionCount(FakeServer::Chat), 1);
    QTRY_COMPARE(server.connectionCount(FakeServer::Join), 1);
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestConnection::disconnectAnnouncesDepartureAndKeepsLog()
{
    FakeServer server(QStringLiteral("127.0.0.12"));
    QVERIFY(server.listen());
    Form1 form;
    typeNick(form, QStringLiteral("VELİ"), server.address());
    form.CmdConnect_Click();
    // The departure goes on the terminal's own leave channel once that is up.
    QTRY_VERIFY(control<Winsock>(&form, "Winleft")->isConnected());
    QTRY_COMPARE(server.received(FakeServer::UserList), QByteArray("VEL\xDD"));
    server.send(FakeServer::UserList, "AYSE");
    server.send(FakeServer::Chat, "merhaba");
    auto *log = control<ChatLog>(&form, "Text1");
    auto *list = control<QListView>(&form, "List1");
    QTRY_COMPARE(list->model()->rowCount(), 1);
    QTRY_COMPARE(log->text(), QStringLiteral("merhaba\r\n"));

    form.mnudisconnect_Click();
    QTRY_COMPARE(server.received(FakeServer::Leave), QByteArray("VEL\xDD"));
    QVERIFY(!form.isConnectedState());
    QVERIFY(control<QGroupBox>(&form, "Frame1")->isEnabled());
    QVERIFY(control<QAction>(&form, "mnuconnect")->isEnabled());
    QCOMPARE(list->model()->rowCount(), 0);
    QCOMPARE(log->text(), QStringLiteral("merhaba\r\n"));
    for (quint16 port : FakeServer::allPorts())
        QTRY_COMPARE(server.connectionCount(port), 0);
}

void TestConnection::disconnectWithoutLeaveChannel()
{
    FakeServer server(QStringLiteral("127.0.0.13"));
    QVERIFY(server.listen({FakeServer::Chat, FakeServer::UserList, FakeServer::Join}));
    MessageBoxRecorder boxes;
    Form1 form;
    typeNick(form, QStringLiteral("ALI"), server.address());
    form.CmdConnect_Click();
    QTRY_COMPARE(server.connectionCount(FakeServer::Join), 1);
    form.mnudisconnect_Click();
    QVERIFY(!form.isConnectedState());
    QVERIFY(control<QAction>(&form, "mnuexit")->isEnabled());
    // The refused leave channel reports nothing.
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestConnection::refusedConnectionReportedOncePerChannel()
{
    // Nothing listens on this address: every channel is refused.
    MessageBoxRecorder boxes;
    Form1 form;
    typeNick(form, QStringLiteral("ALI"), QStringLiteral("127.0.0.14"));
    form.CmdConnect_Click();
    QTRY_COMPARE(boxes.boxes.size(), 2);
    QVERIFY(!QTest::qWaitFor([&] { return boxes.boxes.size() > 2; }, 300));
    for (const auto &box : boxes.boxes) {
        QCOMPARE(box.text, QStringLiteral("10061: Bağlantı reddedildi"));
        QCOMPARE(box.style, 0);
        QCOMPARE(box.title, QStringLiteral("Vornel"));
    }
    // Back where it started: connecting again needs no detour through the menu.
    QVERIFY(control<QGroupBox>(&form, "Frame1")->isEnabled());
    QVERIFY(!control<QGroupBox>(&form, "Frame2")->isEnabled());
    QVERIFY(control<QPushButton>(&form, "CmdConnect")->isEnabled());
    QVERIFY(!control<QAction>(&form, "mnudisconnect")->isEnabled());
}

void TestConnection::endedConnectionIsTriedAgainInTheConnectedState_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("message");
    QTest::newRow("server restarted") << false << QStringLiteral("127.0.0.15")
                                      << QStringLiteral("10053: Bağlantı karşı tarafça kapatıldı");
    QTest::newRow("server killed, then disconnected")
        << true << QStringLiteral("127.0.0.16")
        << QStringLiteral("10054: Bağlantı karşı tarafça sıfırlandı");
}

void TestConnection::endedConnectionIsTriedAgainInTheConnectedState()
{
    QFETCH(bool, reset);
    QFETCH(QString, address);
    QFETCH(QString, message);
    FakeServer server(address);
    QVERIFY(server.listen());
    MessageBoxRecorder boxes;
    Form1 form;
    typeNick(form, QStringLiteral("ALI"), address);
    form.CmdConnect_Click();
    QTRY_VERIFY(server.terminalConnected());
    server.send(FakeServer::UserList, "AYSE");
    server.send(FakeServer::Chat, "merhaba");
    auto *log = control<ChatLog>(&form, "Text1");
    auto *label = control<QLabel>(&form, "Label4");
    auto *entry = control<QLineEdit>(&form, "Text2");
    QTRY_COMPARE(label->text(), QStringLiteral("1 Kullanıcı bağlı"));
    QTRY_COMPARE(log->text(), QStringLiteral("merhaba\r\n"));
    // The about window, modal to this one, holds nothing up.
    if (!reset)
        form.mnuabout_Click();

    for (quint16 port : FakeServer::allPorts()) {
        if (reset)
            server.resetConnections(port);
        else
            server.closeConnections(port);
    }
    const QString lostLine =
        QStringLiteral("*** ") + message + QStringLiteral(". Yeniden bağlanılıyor...\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log->text(), QStringLiteral("merhaba\r\n") + lostLine, 1000);
    // No box, and the chat frame stays usable; only the title says it is not connected.
    QCOMPARE(boxes.texts(), QStringList());
    QVERIFY(form.isConnectedState());
    QCOMPARE(form.windowTitle(),
             QStringLiteral("Yazışma - Terminal Modülü (bağlantı yok, yeniden bağlanılıyor)"));
    QCOMPARE(control<QListView>(&form, "List1")->model()->rowCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("0 Kullanıcı bağlı"), 1000);
    // A line sent meanwhile is refused as on any closed channel, and kept.
    entry->setText(QStringLiteral("yazılıyor"));
    form.Command1_Click();
    QCOMPARE(boxes.texts(),
             QStringList(QStringLiteral("40006: İstenen işlem için bağlantı durumu uygun değil")));
    QCOMPARE(entry->text(), QStringLiteral("yazılıyor"));

    if (reset) {
        form.mnudisconnect_Click();
        QVERIFY(!form.isConnectedState());
        QVERIFY(control<QPushButton>(&form, "CmdConnect")->isEnabled());
        QCOMPARE(form.windowTitle(), QStringLiteral("Yazışma - Terminal Modülü"));
        QCOMPARE(log->text(), QStringLiteral("merhaba\r\n") + lostLine);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(log->text(),
                              QStringLiteral("merhaba\r\n") + lostLine +
                                  QStringLiteral("*** Bağlantı yeniden kuruldu.\r\n"),
                              4000);
    QCOMPARE(form.windowTitle(), QStringLiteral("Yazışma - Terminal Modülü"));
    QVERIFY(form.aboutWindow()->isVisible());
    QTRY_VERIFY(server.terminalConnected());
    QCOMPARE(server.acceptedCount(FakeServer::Chat), 2);
    QCOMPARE(entry->text(), QStringLiteral("yazılıyor"));
    QCOMPARE(boxes.texts().size(), 1);
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
