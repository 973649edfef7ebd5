// Sending chat lines and showing every text the server relays.
#include "channels/chatline.h"
#include "ui/main/chatlog.h"
#include "ui/main/form1.h"
#include "ui/main/msgbox.h"

#include <QLineEdit>

void Form1::Command1_Click()
{
    if (Text2->text().isEmpty())
        return;
    const WinsockResult sent = Winsock1.SendData(chatLine(TxtNick->text(), Text2->text()));
    if (!sent.ok())
        MsgBox::show(this, sent.message());
    // The entry is emptied whether or not the line went out.
    Text2->clear();
}

void Form1::Winsock1_DataArrival(qint32)
{
    QString data;
    (void)Winsock1.GetData(data);
    appendToLog(logLine(data));
    raiseOnArrival();
}

void Form1::appendToLog(const QString &piece)
{
    Text1->append(piece);
}

void Form1::raiseOnArrival()
{
    // In front of all other windows from the first arrival on. The flag is set once, since
    // changing window flags recreates the native window; the window is shown without taking
    // the focus from whatever program the user is typing in.
    if (!m_topmost) {
        m_topmost = true;
        setAttribute(Qt::WA_ShowWithoutActivating);
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    show();
}
