// Connecting, disconnecting and socket errors.
#include "chatlog.h"
#include "connectionnotices.h"
#include "form1.h"
#include "msgbox.h"

#include "protocol/turkishcase.h"

#include <QAction>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHostAddress>
#include <QLineEdit>

namespace {

// The start text as the user may have left or retyped it: letter case by Turkish rules,
// trailing blanks left out, as announced names are matched.
bool isServerStartText(const QString &server)
{
    qsizetype end = server.size();
    while (end > 0 && server.at(end - 1).isSpace())
        --end;
    return turkishUpper(QStringView(server).left(end)) == Form1::ServerStartText;
}

// The hourglass for as long as the connect procedure runs, whichever way it ends.
class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// A server found on the LAN is reached at the address it was found at, as its announcement
// says.
Destination destinationOf(const FoundServer &server)
{
    return {server.address.toString(), true, server.txt, server.hostName};
}

} // namespace

void Form1::CmdConnect_Click()
{
    const QString nick = TxtNick->text();
    if (nick.isEmpty() || nick == QStringLiteral(" ")) {
        MsgBox::show(this, QStringLiteral("Lakabınızı giriniz!"), MsgBox::Information,
                     QStringLiteral("Kimlik hatası"));
        TxtNick->setFocus();
        return;
    }
    if (Text3->text().isEmpty()) {
        MsgBox::show(this, QStringLiteral("Anamakina adı yada IP sini girmelisiniz!"),
                     MsgBox::Information, QStringLiteral("Bağlantı hatası"));
        Text3->setFocus();
        return;
    }

    WinsockResult failure;
    {
        WaitCursor hourglass;
        // Each switches us to the connected state.
        const QString server = Text3->text();
        if (isServerStartText(server))
            m_session.connectFinding(server, [this] { return chooseServer(); });
        else if (const std::optional<FoundServer> found = m_servers.find(server))
            failure = m_session.connectTo(destinationOf(*found));
        else
            failure = m_session.connectTo(server);
    }
    if (!failure.ok())
        MsgBox::show(this, failure.message());
}

ChatSession::ServerChoice Form1::chooseServer() const
{
    // Where the system resolves no host of the start text's name: the LAN's one server, the
    // user's pick between several, or the one that `make run` starts on this machine.
    using Kind = ChatSession::ServerChoice::Kind;
    const QList<FoundServer> found = m_servers.servers();
    if (found.size() == 1)
        return {Kind::Announced, destinationOf(found.constFirst())};
    if (found.size() > 1)
        return {Kind::Pick, {}};
    return {Kind::ThisMachine,
            Destination::typed(QHostAddress(QHostAddress::LocalHost).toString())};
}

void Form1::mnuconnect_Click()
{
    CmdConnect_Click();
}

void Form1::Winsock_Error(int number, const QString &description)
{
    MsgBox::show(this, QString::number(number) + QStringLiteral(": ") + description);
}

void Form1::mnudisconnect_Click()
{
    m_session.leave(); // switches us to the unconnected state, retrying or not
}

void Form1::connectionLost(int number, const QString &description)
{
    // No box: one left standing over a window that has meanwhile come back would mislead.
    Text1->append(QString(ConnectionNotices::lost(number, description) + u"\r\n"));
    setWindowTitle(Caption + ConnectionNotices::TitleRetrying);
}

void Form1::attemptRefused(int number, const QString &description)
{
    Text1->append(QString(ConnectionNotices::refused(number, description) + u"\r\n"));
}

void Form1::reconnected()
{
    Text1->append(QString(ConnectionNotices::Back + u"\r\n"));
    setWindowTitle(Caption.toString());
}

void Form1::showConnected(bool connected)
{
    if (connected) {
        Frame1->setEnabled(false);
        Frame2->setEnabled(true);
        mnuconnect->setEnabled(false);
        mnudisconnect->setEnabled(true);
        mnuexit->setEnabled(false);
    } else {
        setWindowTitle(Caption.toString());
        mnuexit->setEnabled(true);
        mnudisconnect->setEnabled(false);
        mnuconnect->setEnabled(true);
        Frame2->setEnabled(false);
        Frame1->setEnabled(true);
    }
}
