// Takes pictures of the real windows on whatever display it is given (scripts/screenshots
// runs it under Xvfb): the main window at start, connected with some traffic, connected on
// the encrypted link beside someone reading in plain, and the about window over it. A
// stand-in server on 127.0.0.200 provides the traffic, then the real one the link.
#include "chatserver.h"
#include "common/fakeserver.h"
#include "common/formaccess.h"
#include "protocol/chatline.h"
#include "serveridentity.h"
#include "ui/about/frmabout.h"
#include "ui/main/form1.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTcpSocket>
#include <QTest>

#include <cstdio>

namespace {

void settle()
{
    QTest::qWait(400);
}

bool shoot(const QString &dir, const QString &name)
{
    settle();
    const QString path = dir + QStringLiteral("/") + name + QStringLiteral(".png");
    const bool ok = QGuiApplication::primaryScreen()->grabWindow(0).save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(dir);

    Form1 window;
    Form1 *form = &window;
    form->show();
    if (!QTest::qWaitForWindowExposed(form))
        return 1;
    bool ok = shoot(dir, QStringLiteral("main-unconnected"));

    FakeServer server(QStringLiteral("127.0.0.200"));
    if (!server.listen())
        return 1;
    control<QLineEdit>(form, "TxtNick")->setText(QStringLiteral("ali"));
    form->TxtNick_LostFocus();
    control<QLineEdit>(form, "Text3")->setText(server.address());
    form->CmdConnect_Click();
    if (!QTest::qWaitFor([&] { return server.connectionCount(FakeServer::Leave) == 1; }))
        return 1;
    const QList<std::pair<quint16, QByteArray>> traffic = {
        {FakeServer::UserList, "AL\xDD"},
        {FakeServer::UserList, "AY\xDE"
                               "E"},
        {FakeServer::UserList, "MEHMET"},
        {FakeServer::UserList, "\xDE\xDDR\xDDN"},
        {FakeServer::Join, joinNotice("AY\xDE"
                                      "E")},
        {FakeServer::Chat, "<AY\xDE"
                           "E> Merhaba! Bug\xFCn ak\xFE"
                           "am toplant\xFD var m\xFD?"},
        {FakeServer::Chat, "<AL\xDD> Evet, saat alt\xFD"
                           "da. \xC7"
                           "ay\xFD unutmay\xFDn :)"},
        {FakeServer::Chat, "<\xDE\xDDR\xDDN> \xDE"
                           "imdi geliyorum."},
        {FakeServer::Leave, "MEHMET"},
    };
    for (const auto &[port, bytes] : traffic) {
        server.send(port, bytes);
        QTest::qWait(60);
    }
    form->Timer1_Timer();
    control<QLineEdit>(form, "Text2")->setText(QStringLiteral("Yazılıyor: ğüşıöç ĞÜŞİÖÇ"));
    ok = shoot(dir, QStringLiteral("main-connected")) && ok;

    form->mnudisconnect_Click();
    for (const quint16 port : FakeServer::allPorts())
        server.stopListening(port);
    QString error;
    ChatServer secure;
    secure.setIdentity(ServerIdentity::generate(QStringLiteral("ofis"), &error));
    if (!secure.listen(QHostAddress(server.address())))
        return 1;
    QTcpSocket plainReader;
    plainReader.connectToHost(QHostAddress(server.address()), portOf(Channel::Chat));
    form->CmdConnect_Click();
    if (!QTest::qWaitFor([&] { return form->session().privacy().plainUsers == 1; }))
        return 1;
    form->Timer1_Timer();
    ok = shoot(dir, QStringLiteral("main-encrypted")) && ok;

    form->mnuabout_Click();
    frmAbout *about = form->aboutWindow();
    for (int i = 0; i < 150; ++i)
        about->Timer1_Timer();
    ok = shoot(dir, QStringLiteral("about")) && ok;
    about->Command1_Click();
    return ok ? 0 : 1;
}
