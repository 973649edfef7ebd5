#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>

class UserListModel;

// Departed users still on the list: each entry goes a fixed time after its leave notice, on
// Timer2, so that the window can show it highlighted meanwhile. What goes is the departed
// user's own entry, whatever is selected by then.
class Departures : public QObject
{
    Q_OBJECT

public:
    static constexpr int DelayMs = 2000;

    Departures(UserListModel &list, QObject *parent);

    void departed(const QString &nickname);
    // Takes the departure that is due off the list and waits for the next one.
    void Timer2_Timer();
    int pending() const { return int(m_pending.size()); }

signals:
    // The last pending departure has been taken off the list.
    void done();

private:
    void scheduleNext();

    UserListModel &m_list;
    QTimer Timer2;
    struct Pending
    {
        QString nickname;
        qint64 due = 0;
        quint64 listGeneration = 0;
    };
    std::deque<Pending> m_pending;
    QElapsedTimer m_clock;
};
