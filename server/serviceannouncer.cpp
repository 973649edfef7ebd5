#include "serviceannouncer.h"

#include "avahi/avahi.h"
#include "avahi/avahidaemon.h"
#include "protocol/channel.h"
#include "protocol/discovery.h"
#include "serverlog.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QNetworkInterface>
#include <QSysInfo>

namespace {

constexpr QLatin1StringView StateChanged("StateChanged");
// DNS-SD keeps a name to one DNS label.
constexpr qsizetype MostNameBytes = 63;
// Avahi's alternatives run "NAME #2", "NAME #3", ...: a LAN that takes this many is not one
// to go on guessing on.
constexpr int MostRenames = 50;

QString quoted(const QString &name)
{
    return u'"' % name % u'"';
}

QHostAddress withoutScope(QHostAddress address)
{
    address.setScopeId(QString());
    return address;
}

QString protocolName(int protocol)
{
    switch (protocol) {
    case Avahi::IPv4:
        return QStringLiteral("IPv4");
    case Avahi::IPv6:
        return QStringLiteral("IPv6");
    }
    return QStringLiteral("IPv4 and IPv6");
}

} // namespace

ServiceAnnouncer::ServiceAnnouncer(QObject *parent) : ServiceAnnouncer(new AvahiDaemon, parent) {}

ServiceAnnouncer::ServiceAnnouncer(const QDBusConnection &bus, QObject *parent)
    : ServiceAnnouncer(new AvahiDaemon(bus), parent)
{}

ServiceAnnouncer::ServiceAnnouncer(AvahiDaemon *daemon, QObject *parent)
    : QObject(parent), m_daemon(daemon)
{
    m_daemon->setParent(this);
    // The TXT records AddService takes, an array of byte arrays.
    qDBusRegisterMetaType<QList<QByteArray>>();
}

ServiceAnnouncer::~ServiceAnnouncer()
{
    stop();
}

QString ServiceAnnouncer::machineName()
{
    QString name = QSysInfo::machineHostName().section(u'.', 0, 0);
    while (name.toUtf8().size() > MostNameBytes)
        name.chop(name.size() > 1 && name.back().isLowSurrogate() ? 2 : 1);
    return isValidName(name) ? name : QStringLiteral("vornel-server");
}

bool ServiceAnnouncer::isValidName(const QString &name)
{
    if (name.isEmpty() || name.toUtf8().size() > MostNameBytes)
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

ServiceAnnouncer::Scope ServiceAnnouncer::scopeFor(const QHostAddress &address)
{
    if (address == QHostAddress::Any)
        return {Avahi::AnyInterface, Avahi::AnyProtocol, QStringLiteral("all interfaces"), {}};
    if (address == QHostAddress::AnyIPv4)
        return {Avahi::AnyInterface, Avahi::IPv4, QStringLiteral("all interfaces"), {}};
    if (address == QHostAddress::AnyIPv6)
        return {Avahi::AnyInterface, Avahi::IPv6, QStringLiteral("all interfaces"), {}};
    if (address.isLoopback())
        return {0, 0, {}, QStringLiteral("it listens on loopback only")};
    const QHostAddress wanted = withoutScope(address);
    const int protocol =
        address.protocol() == QAbstractSocket::IPv4Protocol ? Avahi::IPv4 : Avahi::IPv6;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (withoutScope(entry.ip()) == wanted)
                return {interface.index(), protocol, interface.name(), {}};
        }
    }
    return {0, 0, {}, QStringLiteral("no interface holds %1").arg(address.toString())};
}

void ServiceAnnouncer::start(const QString &name, const QHostAddress &address)
{
    if (m_running)
        return;
    m_scope = scopeFor(address);
    if (!m_scope.refusal.isEmpty()) {
        qCInfo(lcServer).noquote()
            << QStringLiteral("not announced on the network: %1").arg(m_scope.refusal);
        return;
    }
    m_running = true;
    m_name = name;
    connect(m_daemon, &AvahiDaemon::appeared, this, &ServiceAnnouncer::appeared);
    connect(m_daemon, &AvahiDaemon::vanished, this, &ServiceAnnouncer::vanished);
    connect(m_daemon, &AvahiDaemon::unavailable, this, [this](const QString &reason) {
        const bool watching = reason.startsWith(QLatin1StringView("no Avahi"));
        qCInfo(lcServer).noquote()
            << QStringLiteral("not announced on the network: %1%2")
                   .arg(reason,
                        watching ? QStringLiteral("; announced once it starts") : QString());
    });
    m_daemon->start();
}

void ServiceAnnouncer::stop()
{
    if (!m_running)
        return;
    m_running = false;
    ++m_generation;
    m_daemon->disconnect(this);
    if (!m_group.isEmpty()) {
        m_daemon->callAndWait(m_group, Avahi::EntryGroup, QLatin1StringView("Free"), {}, 1000);
        if (m_established)
            qCInfo(lcServer).noquote()
                << QStringLiteral("no longer announced on the network as %1").arg(quoted(m_name));
    }
    m_group.clear();
    m_creating = m_added = m_established = false;
}

void ServiceAnnouncer::appeared()
{
    // Subscribed before asking, so that no change between the two is missed; the
    // subscription follows the daemon's name, so it holds for a daemon started again.
    if (!m_serverWatched)
        m_serverWatched = m_daemon->subscribe(Avahi::ServerPath, Avahi::Server, StateChanged, this,
                                              SLOT(avahiSignal(QDBusMessage)));
    const quint64 generation = m_generation;
    m_daemon->call(Avahi::ServerPath, Avahi::Server, QLatin1StringView("GetState"), {}, this,
                   [this, generation](const QDBusMessage &reply) {
                       if (generation != m_generation)
                           return;
                       if (reply.type() == QDBusMessage::ReplyMessage)
                           serverState(reply.arguments().value(0).toInt());
                       else
                           failed(QStringLiteral("ask the Avahi daemon its state"), reply);
                   });
}

void ServiceAnnouncer::vanished()
{
    ++m_generation;
    if (!m_group.isEmpty())
        m_daemon->unsubscribe(m_group, Avahi::EntryGroup, StateChanged, this,
                              SLOT(avahiSignal(QDBusMessage)));
    m_group.clear();
    m_creating = m_added = m_established = false;
    qCWarning(lcServer) << "the Avahi daemon stopped: announced again once it runs";
}

void ServiceAnnouncer::avahiSignal(const QDBusMessage &message)
{
    if (!m_running || message.member() != StateChanged)
        return;
    const QVariantList args = message.arguments();
    const int state = args.value(0).toInt();
    if (message.interface() == Avahi::Server)
        serverState(state);
    else if (message.interface() == Avahi::EntryGroup && !m_group.isEmpty() &&
             message.path() == m_group)
        groupState(state, args.value(1).toString());
}

void ServiceAnnouncer::serverState(int state)
{
    switch (state) {
    case Avahi::ServerRunning:
        announce();
        break;
    case Avahi::ServerRegistering:
    case Avahi::ServerCollision:
        // The daemon is settling its own host name; our records wait until it has one.
        resetGroup();
        break;
    case Avahi::ServerFailure:
        qCWarning(lcServer) << "not announced on the network: the Avahi daemon failed";
        break;
    }
}

void ServiceAnnouncer::announce()
{
    if (m_creating || m_added)
        return;
    if (!m_group.isEmpty()) {
        addService();
        return;
    }
    m_creating = true;
    const quint64 generation = m_generation;
    m_daemon->call(
        Avahi::ServerPath, Avahi::Server, QLatin1StringView("EntryGroupNew"), {}, this,
        [this, generation](const QDBusMessage &reply) {
            const QString path = reply.type() == QDBusMessage::ReplyMessage
                                     ? reply.arguments().value(0).value<QDBusObjectPath>().path()
                                     : QString();
            if (generation != m_generation) {
                if (!path.isEmpty())
                    m_daemon->call(path, Avahi::EntryGroup, QLatin1StringView("Free"), {}, this);
                return;
            }
            m_creating = false;
            if (path.isEmpty()) {
                failed(QStringLiteral("make an entry group"), reply);
                return;
            }
            m_group = path;
            m_daemon->subscribe(m_group, Avahi::EntryGroup, StateChanged, this,
                                SLOT(avahiSignal(QDBusMessage)));
            addService();
        });
}

void ServiceAnnouncer::addService()
{
    m_added = true;
    const quint64 generation = m_generation;
    m_daemon->call(m_group, Avahi::EntryGroup, QLatin1StringView("AddService"),
                   {m_scope.interfaceIndex, m_scope.protocol, 0u, m_name, QString(ServiceType),
                    QString(), QString(), QVariant::fromValue(portOf(Channel::Chat)),
                    QVariant::fromValue(m_txt.toRecords())},
                   this, [this, generation](const QDBusMessage &reply) {
                       if (generation != m_generation)
                           return;
                       if (reply.type() != QDBusMessage::ReplyMessage) {
                           m_added = false;
                           // Taken by another service of this very machine.
                           if (reply.errorName() == Avahi::CollisionError)
                               rename();
                           else
                               failed(QStringLiteral("add the service"), reply);
                           return;
                       }
                       m_daemon->call(m_group, Avahi::EntryGroup, QLatin1StringView("Commit"), {},
                                      this, [this, generation](const QDBusMessage &reply) {
                                          if (generation == m_generation &&
                                              reply.type() != QDBusMessage::ReplyMessage)
                                              failed(QStringLiteral("commit the service"), reply);
                                      });
                   });
}

void ServiceAnnouncer::groupState(int state, const QString &error)
{
    switch (state) {
    case Avahi::GroupEstablished:
        if (m_established)
            return;
        m_established = true;
        qCInfo(lcServer).noquote()
            << QStringLiteral("announced on the network as %1 (%2, port %3, %4, %5)")
                   .arg(quoted(m_name), ServiceType)
                   .arg(portOf(Channel::Chat))
                   .arg(m_scope.where, protocolName(m_scope.protocol));
        emit announced(m_name);
        break;
    case Avahi::GroupCollision:
        rename();
        break;
    case Avahi::GroupFailure:
        qCWarning(lcServer).noquote()
            << QStringLiteral("not announced on the network: %1").arg(error);
        break;
    }
}

void ServiceAnnouncer::rename()
{
    m_established = false;
    if (++m_renames > MostRenames) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("not announced on the network: %1 names taken, the last %2")
                   .arg(MostRenames)
                   .arg(quoted(m_name));
        return;
    }
    const quint64 generation = m_generation;
    m_daemon->call(Avahi::ServerPath, Avahi::Server, QLatin1StringView("GetAlternativeServiceName"),
                   {m_name}, this, [this, generation](const QDBusMessage &reply) {
                       if (generation != m_generation)
                           return;
                       if (reply.type() != QDBusMessage::ReplyMessage) {
                           failed(QStringLiteral("find another name"), reply);
                           return;
                       }
                       const QString taken = m_name;
                       m_name = reply.arguments().value(0).toString();
                       qCInfo(lcServer).noquote()
                           << QStringLiteral("the name %1 is taken on the network: trying %2")
                                  .arg(quoted(taken), quoted(m_name));
                       resetGroup();
                       announce();
                   });
}

void ServiceAnnouncer::resetGroup()
{
    m_established = false;
    if (m_group.isEmpty() || !m_added)
        return;
    m_added = false;
    m_daemon->call(m_group, Avahi::EntryGroup, QLatin1StringView("Reset"), {}, this);
}

void ServiceAnnouncer::failed(const QString &what, const QDBusMessage &reply)
{
    qCWarning(lcServer).noquote() << QStringLiteral("not announced on the network: cannot %1: %2")
                                         .arg(what, reply.errorMessage().isEmpty()
                                                        ? reply.errorName()
                                                        : reply.errorMessage());
}
