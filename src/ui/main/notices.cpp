// Join and leave notices.
#include "chatlog.h"
#include "form1.h"
#include "protocol/chatline.h"

#include <QLineEdit>

void Form1::Winjoin_DataArrival(const QByteArray &notice)
{
    Text1->appendBytes(logLine(notice));
}

void Form1::Winleft_DataArrival(const QByteArray &bytes, const QString &nickname)
{
    Text1->appendBytes(leaveLine(bytes));
    // The departing user's entry is highlighted now; the session takes it off the list later.
    if (Text4->text() == nickname)
        Text4_Change();
    else
        Text4->setText(nickname);
}
