#pragma once

#include "protocol/servicetxt.h"

#include <QDBusConnection>
#include <QHostAddress>
#include <QObject>
#include <QString>

class AvahiDaemon;
class QDBusMessage;

// Announces the chat server on the LAN while it listens, so that terminals find it without
// its address: a DNS-SD service of Vornel's type on the chat port, registered with the
// system's Avahi daemon, only where the server listens. A name another server on the LAN
// already holds is exchanged for Avahi's alternative ("NAME #2"), and the log says the name
// in force. Without a bus or a daemon the server goes on unannounced, with one log line; a
// daemon that starts later, or again, gets the announcement then. Nothing here waits for
// the bus or the daemon, but stopping.
class ServiceAnnouncer : public QObject
{
    Q_OBJECT

public:
    // Where an announcement goes, in Avahi's numbers; nowhere when refusal says why not.
    struct Scope
    {
        int interfaceIndex = -1;
        int protocol = -1;
        QString where;   // for the log: "all interfaces", or the interface's name
        QString refusal; // empty when announced
    };

    // On the system bus (DBUS_SYSTEM_BUS_ADDRESS when it is set).
    explicit ServiceAnnouncer(QObject *parent = nullptr);
    // On another bus, such as a test's.
    explicit ServiceAnnouncer(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ServiceAnnouncer() override;

    // This machine's host name without its domain, cut to what a service name holds.
    static QString machineName();
    // 1 to 63 bytes of UTF-8 without control characters, as DNS-SD takes them.
    static bool isValidName(const QString &name);
    // A server listening on all interfaces is announced on all of them, over the protocols it
    // listens on; one on a single address, on the interface holding it, over its protocol
    // only; one on loopback alone, nowhere.
    static Scope scopeFor(const QHostAddress &address);

    // What the announcement carries beside the chat port, from its next registration on; set
    // before start, it goes with every one, under whatever name and to whatever daemon.
    void setTxt(const ServiceTxt &txt) { m_txt = txt; }
    // Announces name for a server listening on address, from now on.
    void start(const QString &name, const QHostAddress &address);
    // Withdraws the announcement, waiting for the daemon at most a second.
    void stop();

    // The name announced under, once the announcement holds; empty before.
    QString announcedName() const { return m_established ? m_name : QString(); }

signals:
    void announced(const QString &name);

private slots:
    // The daemon's and our entry group's state changes.
    void avahiSignal(const QDBusMessage &message);

private:
    // Takes the daemon as its child.
    ServiceAnnouncer(AvahiDaemon *daemon, QObject *parent);
    void appeared();
    void vanished();
    void serverState(int state);
    void groupState(int state, const QString &error);
    void announce();
    void addService();
    void rename();
    void resetGroup();
    void failed(const QString &what, const QDBusMessage &reply);

    AvahiDaemon *m_daemon;
    Scope m_scope;
    QString m_name;
    ServiceTxt m_txt;
    QString m_group;          // our entry group on the daemon
    quint64 m_generation = 0; // replies meant for an earlier group are dropped
    int m_renames = 0;
    bool m_running = false; // announcing was asked for and not stopped
    bool m_serverWatched = false;
    bool m_creating = false;
    bool m_added = false;
    bool m_established = false;
};
