#include "departures.h"

#include "protocol/namesearch.h"
#include "userlistmodel.h"

Departures::Departures(UserListModel &list, QObject *parent)
    : QObject(parent), m_list(list), Timer2(this)
{
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setSingleShot(true);
    Timer2.setTimerType(Qt::PreciseTimer); // each removal is due a fixed time after its notice
    Timer2.setInterval(DelayMs);
    connect(&Timer2, &QTimer::timeout, this, &Departures::Timer2_Timer);
    m_clock.start();
}

void Departures::departed(const QString &nickname)
{
    m_pending.push_back({nickname, m_clock.elapsed() + DelayMs, m_list.generation()});
    if (!Timer2.isActive())
        scheduleNext();
}

void Departures::Timer2_Timer()
{
    if (!m_pending.empty()) {
        const Pending due = m_pending.front();
        m_pending.pop_front();
        // After a disconnect emptied the list there is nothing of that user's left to remove.
        if (due.listGeneration == m_list.generation())
            m_list.removeItem(NameSearch::findEqual(m_list.entries(), due.nickname));
    }
    if (m_pending.empty()) {
        Timer2.stop();
        emit done();
    } else {
        scheduleNext();
    }
}

void Departures::scheduleNext()
{
    if (!m_pending.empty())
        Timer2.start(int(qMax<qint64>(0, m_pending.front().due - m_clock.elapsed())));
}
