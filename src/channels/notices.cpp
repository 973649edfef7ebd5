// Join and leave notices.
#include "channels/chatline.h"
#include "ui/main/form1.h"

#include <QLineEdit>

void Form1::Winjoin_DataArrival(qint32)
{
    QString notice;
    (void)Winjoin.GetData(notice);
    appendToLog(logLine(notice));
}

void Form1::Winleft_DataArrival(qint32)
{
    QString departed;
    (void)Winleft.GetData(departed);
    appendToLog(leaveLine(departed));

    // The departing user's entry is highlighted now and goes RemovalDelayMs later.
    if (Text4->text() == departed)
        Text4_Change();
    else
        Text4->setText(departed);
    m_pendingRemovals.push_back(
        {departed, m_clock.elapsed() + RemovalDelayMs, m_userList.generation()});
    if (!Timer2.isActive())
        scheduleNextRemoval();
}
