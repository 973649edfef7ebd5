// Connecting, disconnecting and socket errors.
#include "chatlog.h"
#include "connectionnotices.h"
#include "form1.h"
#include "msgbox.h"

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
        failure = m_session.connectTo(Text3->text()); // switches us to the connected state
    }
    if (!failure.ok())
        MsgBox::show(this, failure.message());
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
