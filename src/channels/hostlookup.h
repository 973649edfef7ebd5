#pragma once

#include <QObject>
#include <QString>
#include <QThread>

class HostLookupWorker;

// Looks host names up afresh, on a thread of its own so that a slow resolver never holds up
// its caller. Qt's sockets read their lookups from a cache that keeps each answer for a
// minute; a lookup here replaces the cached answer, so a channel connected to the name
// right after it reaches the address the name has now (a server whose address DHCP moved).
class HostLookup : public QObject
{
    Q_OBJECT

public:
    explicit HostLookup(QObject *parent = nullptr);
    // Waits for a lookup under way.
    ~HostLookup() override;

    // Starts looking the name up; the answer comes as finished() with the number returned.
    int lookUp(const QString &host);

signals:
    void finished(int id, bool found);

private:
    QThread m_thread;
    HostLookupWorker *m_worker = nullptr;
    int m_lastId = 0;
};
