#include "hostlookup.h"

#include <QHostInfo>

class HostLookupWorker : public QObject
{
public:
    explicit HostLookupWorker(HostLookup *owner) : m_owner(owner) {}

    void lookUp(int id, const QString &host)
    {
        const bool found = !QHostInfo::fromName(host).addresses().isEmpty();
        // The owner waits for this thread before it goes, so it is still there.
        QMetaObject::invokeMethod(
            m_owner, [owner = m_owner, id, found] { emit owner->finished(id, found); },
            Qt::QueuedConnection);
    }

private:
    HostLookup *m_owner;
};

HostLookup::HostLookup(QObject *parent) : QObject(parent), m_worker(new HostLookupWorker(this))
{
    m_thread.setObjectName(QStringLiteral("host lookup"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

HostLookup::~HostLookup()
{
    m_thread.quit();
    m_thread.wait();
}

int HostLookup::lookUp(const QString &host)
{
    const int id = ++m_lastId;
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, id, host] { worker->lookUp(id, host); },
        Qt::QueuedConnection);
    return id;
}
