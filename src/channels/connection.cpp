// Connecting the four channels, announcing the nickname, socket errors and disconnecting.
#include "ui/main/form1.h"
#include "ui/main/msgbox.h"

#include <QAction>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>

namespace {

// The hourglass for as long as the connect procedure runs, whichever way it ends.
class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

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
        const std::pair<Winsock *, qint32> channels[] = {{&Winsock1, ChatPort},
                                                         {&Winsock2, UserListPort},
                                                         {&Winleft, LeavePort},
                                                         {&Winjoin, JoinPort}};
        for (const auto &[channel, port] : channels) {
            channel->Close();
            if (failure = channel->setRemoteHost(Text3->text()); !failure.ok())
                break;
            if (failure = channel->setRemotePort(port); !failure.ok())
                break;
            if (failure = channel->Connect(); !failure.ok())
                break;
        }
        if (failure.ok()) {
            Frame1->setEnabled(false);
            Frame2->setEnabled(true);
            mnuconnect->setEnabled(false);
            mnudisconnect->setEnabled(true);
            mnuexit->setEnabled(false);
        }
    }
    if (!failure.ok())
        MsgBox::show(this, failure.message());
}

void Form1::mnuconnect_Click()
{
    CmdConnect_Click();
}

void Form1::Winsock2_Connect()
{
    // A failed announcement shows nothing; the user list simply stays as the server has it.
    (void)Winsock2.SendData(TxtNick->text());
}

void Form1::Winjoin_Connect()
{
    (void)Winjoin.SendData(TxtNick->text());
}

void Form1::Winsock1_Error(int number, const QString &description)
{
    MsgBox::show(this, QString::number(number) + QStringLiteral(": ") + description);
}

void Form1::Winsock2_Error(int number, const QString &description)
{
    MsgBox::show(this, QString::number(number) + QStringLiteral(": ") + description);
}

void Form1::mnudisconnect_Click()
{
    // Each step stands alone; a failed send of the departure is skipped silently.
    (void)Winleft.SendData(TxtNick->text());
    mnuexit->setEnabled(true);
    mnudisconnect->setEnabled(false);
    mnuconnect->setEnabled(true);
    m_userList.clear();
    Frame2->setEnabled(false);
    Frame1->setEnabled(true);
}
