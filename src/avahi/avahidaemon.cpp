#include "avahidaemon.h"

#include "avahi.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QThread>

namespace {

QDBusMessage methodCall(const QString &path, QLatin1StringView interface, QLatin1StringView method,
                        const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(Avahi::Service, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return message;
}

} // namespace

AvahiDaemon::AvahiDaemon(QObject *parent)
    : QObject(parent), m_bus(QStringLiteral("vornel-unconnected")), m_systemBus(true)
{}

AvahiDaemon::AvahiDaemon(const QDBusConnection &bus, QObject *parent) : QObject(parent), m_bus(bus)
{}

AvahiDaemon::~AvahiDaemon()
{
    if (m_connecting && m_connecting->isRunning())
        m_connecting->wait(1000);
}

void AvahiDaemon::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_systemBus) {
        watch();
        return;
    }
    // Connecting says hello to the bus and waits for its answer, which a stuck bus may never
    // give; so it happens on a thread of its own, and the connection is taken once made.
    // The thread has no parent: it deletes itself once done, whether we are still there or not.
    m_connecting = QThread::create([] { QDBusConnection::systemBus(); });
    connect(m_connecting, &QThread::finished, this, [this] {
        m_bus = QDBusConnection::systemBus();
        watch();
    });
    connect(m_connecting, &QThread::finished, m_connecting, &QObject::deleteLater);
    m_connecting->start();
}

void AvahiDaemon::watch()
{
    if (!m_bus.isConnected()) {
        const QString why = m_bus.lastError().message();
        emit unavailable(why.isEmpty() ? QStringLiteral("no system bus")
                                       : QStringLiteral("no system bus (%1)").arg(why));
        return;
    }
    // Watching first, asking second: a daemon that starts in between is seen either way.
    m_watcher = new QDBusServiceWatcher(Avahi::Service, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(
        m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString &, const QString &, const QString &owner) { ownerChanged(owner); });
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << QString(Avahi::Service);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            ownerChanged(reply.arguments().constFirst().toString());
        else if (!isThere())
            emit unavailable(QStringLiteral("no Avahi daemon on the system bus"));
    });
}

void AvahiDaemon::ownerChanged(const QString &owner)
{
    if (owner == m_owner)
        return;
    const bool wasThere = isThere();
    m_owner = owner;
    if (wasThere)
        emit vanished();
    if (isThere())
        emit appeared();
}

void AvahiDaemon::call(const QString &path, QLatin1StringView interface, QLatin1StringView method,
                       const QVariantList &arguments, QObject *context, ReplyHandler onReply) const
{
    const QDBusMessage message = methodCall(path, interface, method, arguments);
    if (!onReply) {
        m_bus.send(message);
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), context);
    connect(watcher, &QDBusPendingCallWatcher::finished, context,
            [watcher, onReply = std::move(onReply)] {
                watcher->deleteLater();
                onReply(watcher->reply());
            });
}

QDBusMessage AvahiDaemon::callAndWait(const QString &path, QLatin1StringView interface,
                                      QLatin1StringView method, const QVariantList &arguments,
                                      int timeoutMs) const
{
    return m_bus.call(methodCall(path, interface, method, arguments), QDBus::Block, timeoutMs);
}

bool AvahiDaemon::subscribe(const QString &path, QLatin1StringView interface,
                            QLatin1StringView signal, QObject *receiver, const char *slot)
{
    return m_bus.connect(Avahi::Service, path, interface, signal, receiver, slot);
}

void AvahiDaemon::unsubscribe(const QString &path, QLatin1StringView interface,
                              QLatin1StringView signal, QObject *receiver, const char *slot)
{
    m_bus.disconnect(Avahi::Service, path, interface, signal, receiver, slot);
}
