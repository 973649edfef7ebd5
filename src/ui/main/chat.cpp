// Sending chat lines and showing every text the server relays.
#include "chatlog.h"
#include "form1.h"
#include "msgbox.h"
#include "protocol/chatline.h"

#include <QApplication>
#include <QLineEdit>
#include <QWindow>

void Form1::Command1_Click()
{
    if (Text2->text().isEmpty())
        return;
    const WinsockResult sent = m_session.say(Text2->text());
    if (!sent.ok()) {
        // The line stays in the entry: nothing took it.
        MsgBox::show(this, sent.message());
        return;
    }
    Text2->clear();
}

void Form1::Winsock1_DataArrival(const QByteArray &text)
{
    Text1->appendBytes(logLine(text));
    raiseOnArrival();
}

void Form1::raiseOnArrival()
{
    // In front of all other windows from the first arrival on, where it stays. The flag goes
    // onto the existing native window: changing the widget's flags would destroy and
    // recreate it, and the keyboard focus and any input method with it. Nothing here
    // activates the window; the user goes on typing wherever the focus is.
    const Qt::WindowFlags flags = windowFlags() | Qt::WindowStaysOnTopHint;
    if (flags != windowFlags()) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        if (QWindow *native = windowHandle()) {
            native->setFlags(flags);
            overrideWindowFlags(flags);
        } else {
            setWindowFlags(flags);
        }
    }
    if (isVisible())
        raise();
    else
        show();
    // Where it is covered, minimised, or cannot stay above (Wayland), the taskbar entry is
    // marked instead: asking for attention leaves a minimised window where it is and never
    // moves the focus, as activating would.
    if (!isActiveWindow())
        QApplication::alert(this);
}
