// Sending chat lines and showing every text the server relays.
#include "chatlog.h"
#include "form1.h"
#include "msgbox.h"
#include "protocol/chatline.h"

#include <QLineEdit>

void Form1::Command1_Click()
{
    if (Text2->text().isEmpty())
        return;
    const WinsockResult sent = m_session.say(Text2->text());
    if (!sent.ok())
        MsgBox::show(this, sent.message());
    // The entry is emptied whether or not the line went out.
    Text2->clear();
}

void Form1::Winsock1_DataArrival(const QByteArray &text)
{
    Text1->appendBytes(logLine(text));
    raiseOnArrival();
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
