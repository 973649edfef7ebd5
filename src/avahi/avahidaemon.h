#pragma once

#include <QDBusConnection>
#include <QLatin1StringView>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>

#include <functional>

class QDBusMessage;
class QDBusServiceWatcher;
class QThread;

// The system's Avahi daemon, reached over D-Bus. Nothing here ever waits for the bus or the
// daemon: the system bus is connected on a thread of its own, every call is asynchronous, and
// none starts the daemon through D-Bus activation (an Avahi its administrator stopped stays
// stopped). Whether the daemon is there is told by signals, again as it stops and starts.
class AvahiDaemon : public QObject
{
    Q_OBJECT

public:
    using ReplyHandler = std::function<void(const QDBusMessage &reply)>;

    // The system bus: DBUS_SYSTEM_BUS_ADDRESS when it is set, else the system's own.
    explicit AvahiDaemon(QObject *parent = nullptr);
    // Another bus, already connected or failed, such as a test's.
    explicit AvahiDaemon(const QDBusConnection &bus, QObject *parent = nullptr);
    // Waits a moment for a connection still being made, which would outlive us otherwise.
    ~AvahiDaemon() override;

    // Connects to the bus, once, and from then on watches for the daemon.
    void start();
    bool isThere() const { return !m_owner.isEmpty(); }
    QDBusConnection bus() const { return m_bus; }

    // A method of one of the daemon's objects; the reply, or the error, goes to onReply on the
    // caller's thread unless context is gone by then. Without onReply no reply is waited for.
    void call(const QString &path, QLatin1StringView interface, QLatin1StringView method,
              const QVariantList &arguments, QObject *context, ReplyHandler onReply = {}) const;
    // The same, waiting for the reply at most timeoutMs; only for stopping.
    QDBusMessage callAndWait(const QString &path, QLatin1StringView interface,
                             QLatin1StringView method, const QVariantList &arguments,
                             int timeoutMs) const;
    // Delivers the daemon's signal to receiver's slot, which takes a QDBusMessage: QtDBus
    // subscribes by slot name only. An empty path takes the signal from every object.
    bool subscribe(const QString &path, QLatin1StringView interface, QLatin1StringView signal,
                   QObject *receiver, const char *slot);
    void unsubscribe(const QString &path, QLatin1StringView interface, QLatin1StringView signal,
                     QObject *receiver, const char *slot);

signals:
    // The daemon has a name on the bus: it runs, with none of our objects yet.
    void appeared();
    // It stopped or crashed, and every object it held for us went with it.
    void vanished();
    // Said once, at the first look, when there is no bus or no daemon on it.
    void unavailable(const QString &reason);

private:
    void watch();
    void ownerChanged(const QString &owner);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    QPointer<QThread> m_connecting;
    QString m_owner;
    bool m_systemBus = false;
    bool m_started = false;
};
