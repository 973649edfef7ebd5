#pragma once

#include "foundservers.h"

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringView>

#include <optional>

class AvahiDaemon;
class QDBusMessage;

// Browses the LAN for Vornel servers through the system's Avahi daemon and keeps the list of
// those found up to date: each found service is resolved to its machine, address and port,
// and one that goes away leaves the list as soon as the daemon says so. Nothing here waits:
// the bus is connected off the caller's thread and every call is asynchronous. Without a bus
// or a daemon the list stays empty and nothing is said; a daemon that starts later, or starts
// again, is browsed from then on.
class ServerBrowser : public QObject
{
    Q_OBJECT

public:
    // On the system bus (DBUS_SYSTEM_BUS_ADDRESS when it is set).
    explicit ServerBrowser(QObject *parent = nullptr);
    // On another bus, such as a test's.
    explicit ServerBrowser(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ServerBrowser() override;

    // Browses from now on, as soon as the daemon answers.
    void start();
    // Stops browsing and frees the browser on the daemon; the list empties, since nothing
    // keeps it up to date any more.
    void stop();
    bool isStarted() const { return m_started; }

    // The servers found, ordered by name.
    QList<FoundServer> servers() const { return m_found.servers(); }
    // The server announced under the name typed, as FoundServers::find matches it.
    std::optional<FoundServer> find(QStringView typed) const { return m_found.find(typed); }

signals:
    void serversChanged();

private slots:
    // Every signal of our browser object on the daemon.
    void browserSignal(const QDBusMessage &message);

private:
    // Takes the daemon as its child.
    ServerBrowser(AvahiDaemon *daemon, QObject *parent);
    void browse();
    void browseWith(QLatin1StringView interface, QLatin1StringView method);
    void browsing(const QString &path, bool needsStart);
    void handle(const QDBusMessage &message);
    void resolve(const FoundServers::Sighting &sighting, const QString &type,
                 const QString &domain);
    void forget(bool daemonGone);
    void subscribe(bool on);

    AvahiDaemon *m_daemon;
    FoundServers m_found;
    QString m_path;                            // our browser object on the daemon
    QList<QDBusMessage> m_early;               // its signals from before we knew its path
    QList<FoundServers::Sighting> m_sightings; // seen, resolved or not
    quint64 m_generation = 0;                  // replies to an older browser are dropped
    bool m_started = false;
    bool m_subscribed = false;
    bool m_waiting = false; // for the daemon to make our browser
};
