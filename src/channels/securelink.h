#pragma once

#include "linkplan.h"
#include "linkworker.h"
#include "protocol/channel.h"
#include "protocol/linktimers.h"
#include "workerhandle.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QThread;

// The encrypted link to the server, one TLS connection carrying the four channels as frames,
// as the owner's thread sees it. Asynchronous like a channel: open() returns at once and the
// outcome arrives as an event; the owner never waits for the reading thread. What the link
// showed of itself is kept here from its events.
class SecureLink : public QObject
{
    Q_OBJECT

public:
    // Reads on ioThread, or on the calling thread without one.
    explicit SecureLink(QThread *ioThread, QObject *parent = nullptr);
    ~SecureLink() override;

    // Ends any earlier link and starts reaching host as the plan says.
    void open(const QString &host, const LinkPlan &plan, int timeoutMs, const LinkTimers &timers);
    void close();
    bool isOpen() const { return m_open; }

    // One message of the channel, as one frame; refused unless open.
    bool send(Channel channel, const QByteArray &message);
    // So many bytes of arrivals were taken or dropped by the channels.
    void taken(qint64 bytes);

    // Of the link open now, or last.
    const QByteArray &fingerprint() const { return m_fingerprint; }
    const QString &vouchedName() const { return m_vouchedName; }
    const QString &peerAddress() const { return m_peerAddress; }
    quint16 localPort() const { return m_localPort; }
    // Users the server says read the room without encryption; -1 before it has said.
    int plainUsers() const { return m_plainUsers; }

signals:
    void opened();
    // A first contact found no link: the channels are to go plain.
    void unanswered(int number);
    // The server reached is not one the terminal may trust; nothing was sent.
    void refused(int number);
    // The attempt failed otherwise, or the open link ended.
    void ended(int number);
    void arrived(Channel channel, const QByteArray &message);
    void plainUsersChanged(int count);

private:
    WorkerHandle<LinkWorker> m_worker;
    quint64 m_generation = 0;
    bool m_open = false;
    QByteArray m_fingerprint;
    QString m_vouchedName;
    QString m_peerAddress;
    quint16 m_localPort = 0;
    int m_plainUsers = -1;
};
