#include "serverbrowser.h"

#include "avahi/avahi.h"
#include "avahi/avahidaemon.h"
#include "protocol/discovery.h"
#include "protocol/servicetxt.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QNetworkInterface>
#include <QSignalBlocker>

namespace {

constexpr QLatin1StringView ItemNew("ItemNew");
constexpr QLatin1StringView ItemRemove("ItemRemove");
constexpr QLatin1StringView Failure("Failure");
// Signals of a browser made by the older call come before its path is known; a daemon that
// sends more than this before answering is not believed.
constexpr qsizetype MostEarlySignals = 1024;

bool isReply(const QDBusMessage &message)
{
    return message.type() == QDBusMessage::ReplyMessage;
}

// Avahi's TXT strings come as an array of byte arrays, which Qt leaves undemarshalled.
ServiceTxt txtOf(const QVariant &value)
{
    if (value.metaType() != QMetaType::fromType<QDBusArgument>() ||
        value.value<QDBusArgument>().currentSignature() != QLatin1StringView("aay"))
        return {};
    return ServiceTxt::fromRecords(qdbus_cast<QList<QByteArray>>(value));
}

} // namespace

ServerBrowser::ServerBrowser(QObject *parent) : ServerBrowser(new AvahiDaemon, parent) {}

ServerBrowser::ServerBrowser(const QDBusConnection &bus, QObject *parent)
    : ServerBrowser(new AvahiDaemon(bus), parent)
{}

ServerBrowser::ServerBrowser(AvahiDaemon *daemon, QObject *parent)
    : QObject(parent), m_daemon(daemon)
{
    m_daemon->setParent(this);
    connect(m_daemon, &AvahiDaemon::appeared, this, &ServerBrowser::browse);
    connect(m_daemon, &AvahiDaemon::vanished, this, [this] { forget(true); });
}

ServerBrowser::~ServerBrowser()
{
    // Frees the browser on the daemon, without telling anyone of a list going with us.
    const QSignalBlocker quiet(this);
    stop();
}

void ServerBrowser::start()
{
    if (m_started)
        return;
    m_started = true;
    m_daemon->start();
    browse();
}

void ServerBrowser::stop()
{
    if (!m_started)
        return;
    m_started = false;
    forget(false);
}

void ServerBrowser::browse()
{
    if (!m_started || !m_daemon->isThere() || m_waiting || !m_path.isEmpty())
        return;
    subscribe(true);
    ++m_generation;
    m_waiting = true;
    browseWith(Avahi::Server2, QLatin1StringView("ServiceBrowserPrepare"));
}

void ServerBrowser::browseWith(QLatin1StringView interface, QLatin1StringView method)
{
    const quint64 generation = m_generation;
    const bool prepared = interface == Avahi::Server2;
    m_daemon->call(
        Avahi::ServerPath, interface, method,
        {Avahi::AnyInterface, Avahi::AnyProtocol, QString(ServiceType), QString(), 0u}, this,
        [this, generation, prepared](const QDBusMessage &reply) {
            const QString path = isReply(reply)
                                     ? reply.arguments().value(0).value<QDBusObjectPath>().path()
                                     : QString();
            if (generation != m_generation) {
                // Browsing stopped while the daemon made this one.
                if (!path.isEmpty())
                    m_daemon->call(path, Avahi::ServiceBrowser, QLatin1StringView("Free"), {},
                                   this);
                return;
            }
            if (!path.isEmpty()) {
                browsing(path, prepared);
            } else if (prepared &&
                       (reply.errorName() ==
                            QLatin1StringView("org.freedesktop.DBus.Error.UnknownMethod") ||
                        reply.errorName() ==
                            QLatin1StringView("org.freedesktop.DBus.Error.UnknownInterface"))) {
                // An Avahi older than 0.7: its browser starts as it is made.
                browseWith(Avahi::Server, QLatin1StringView("ServiceBrowserNew"));
            } else {
                m_waiting = false;
                m_early.clear();
            }
        });
}

void ServerBrowser::browsing(const QString &path, bool needsStart)
{
    m_waiting = false;
    m_path = path;
    const QList<QDBusMessage> early = std::exchange(m_early, {});
    if (needsStart) {
        const quint64 generation = m_generation;
        m_daemon->call(m_path, Avahi::ServiceBrowser, QLatin1StringView("Start"), {}, this,
                       [this, generation](const QDBusMessage &reply) {
                           if (generation == m_generation && !isReply(reply))
                               forget(false);
                       });
        return;
    }
    for (const QDBusMessage &message : early) {
        if (message.path() == m_path)
            handle(message);
    }
}

void ServerBrowser::browserSignal(const QDBusMessage &message)
{
    if (!m_started)
        return;
    if (!m_path.isEmpty() && message.path() == m_path)
        handle(message);
    else if (m_path.isEmpty() && m_waiting && m_early.size() < MostEarlySignals)
        m_early.append(message);
}

void ServerBrowser::handle(const QDBusMessage &message)
{
    const QVariantList args = message.arguments();
    if (message.member() == Failure) {
        forget(false);
        return;
    }
    if (args.size() < 5)
        return;
    const FoundServers::Sighting sighting{args.at(0).toInt(), args.at(1).toInt(),
                                          args.at(2).toString()};
    if (message.member() == ItemNew) {
        if (!m_sightings.contains(sighting))
            m_sightings.append(sighting);
        resolve(sighting, args.at(3).toString(), args.at(4).toString());
    } else if (message.member() == ItemRemove) {
        m_sightings.removeAll(sighting);
        if (m_found.removed(sighting))
            emit serversChanged();
    }
}

void ServerBrowser::resolve(const FoundServers::Sighting &sighting, const QString &type,
                            const QString &domain)
{
    const quint64 generation = m_generation;
    m_daemon->call(
        Avahi::ServerPath, Avahi::Server, QLatin1StringView("ResolveService"),
        {sighting.interfaceIndex, sighting.protocol, sighting.name, type, domain, sighting.protocol,
         0u},
        this, [this, generation, sighting](const QDBusMessage &reply) {
            // Gone while it was being resolved, or one that cannot be: not offered.
            if (generation != m_generation || !m_sightings.contains(sighting) || !isReply(reply))
                return;
            const QVariantList args = reply.arguments();
            if (args.size() < 9)
                return;
            QHostAddress address(args.at(7).toString());
            if (address.isNull())
                return;
            if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
                address.setScopeId(
                    QNetworkInterface::interfaceNameFromIndex(sighting.interfaceIndex));
            if (m_found.resolved(sighting, args.at(5).toString(), address,
                                 quint16(args.at(8).toUInt()), txtOf(args.value(9))))
                emit serversChanged();
        });
}

void ServerBrowser::forget(bool daemonGone)
{
    ++m_generation;
    // A daemon that went took our browser with it.
    if (!m_path.isEmpty() && !daemonGone)
        m_daemon->call(m_path, Avahi::ServiceBrowser, QLatin1StringView("Free"), {}, this);
    m_path.clear();
    m_waiting = false;
    m_early.clear();
    m_sightings.clear();
    if (!m_started)
        subscribe(false);
    if (m_found.clear())
        emit serversChanged();
}

void ServerBrowser::subscribe(bool on)
{
    if (on == m_subscribed)
        return;
    m_subscribed = on;
    for (const QLatin1StringView signal : {ItemNew, ItemRemove, Failure}) {
        if (on)
            m_daemon->subscribe(QString(), Avahi::ServiceBrowser, signal, this,
                                SLOT(browserSignal(QDBusMessage)));
        else
            m_daemon->unsubscribe(QString(), Avahi::ServiceBrowser, signal, this,
                                  SLOT(browserSignal(QDBusMessage)));
    }
}
