#include "discoverylab.h"

#include "../faults/labprocess.h"
#include "avahi/avahi.h"

#include <QDBusMessage>
#include <QtTest>

#include <csignal>

namespace {

DiscoveryLab::Machine fromEnvironment(const QString &name)
{
    const auto get = [&](const char *what) {
        return qEnvironmentVariable(qPrintable(
            QStringLiteral("VORNEL_LAB_%1_%2").arg(name.toUpper(), QLatin1StringView(what))));
    };
    DiscoveryLab::Machine m{name, get("NS"), get("BUS"), get("AVAHI_CONFIG"), {}};
    for (const QString &address : get("ADDRESSES").split(u' ', Qt::SkipEmptyParts))
        m.addresses.append(QHostAddress(address));
    return m;
}

} // namespace

DiscoveryLab::DiscoveryLab(QObject *parent)
    : QObject(parent), terminal(fromEnvironment(QStringLiteral("t"))),
      server1(fromEnvironment(QStringLiteral("s1"))),
      server2(fromEnvironment(QStringLiteral("s2"))),
      m_serverProgram(qEnvironmentVariable("VORNEL_LAB_SERVER_PROGRAM")),
      m_networks(qEnvironmentVariable("VORNEL_LAB_NETWORKS").split(u' ', Qt::SkipEmptyParts))
{}

DiscoveryLab::~DiscoveryLab()
{
    qDeleteAll(findChildren<LabProcess *>(Qt::FindDirectChildrenOnly));
    for (const Machine *m : {&terminal, &server1, &server2})
        QDBusConnection::disconnectFromBus(QStringLiteral("lab-") + m->name);
}

bool DiscoveryLab::isComplete() const
{
    for (const Machine *m : {&terminal, &server1, &server2})
        if (m->netns.isEmpty() || m->bus.isEmpty() || m->avahiConfig.isEmpty() ||
            m->addresses.isEmpty())
            return false;
    return !m_serverProgram.isEmpty() && !m_networks.isEmpty();
}

QDBusConnection DiscoveryLab::bus(const Machine &machine) const
{
    return QDBusConnection::connectToBus(machine.bus, QStringLiteral("lab-") + machine.name);
}

LabProcess *&DiscoveryLab::avahiOf(const Machine &machine)
{
    return m_avahi[&machine == &terminal ? 0 : &machine == &server1 ? 1 : 2];
}

bool DiscoveryLab::isAvahiRunning(const Machine &machine) const
{
    QDBusMessage ask = QDBusMessage::createMethodCall(Avahi::Service, Avahi::ServerPath,
                                                      Avahi::Server, QStringLiteral("GetState"));
    ask.setAutoStartService(false);
    const QDBusMessage reply = bus(machine).call(ask, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).toInt() == Avahi::ServerRunning;
}

bool DiscoveryLab::startAvahi(const Machine &machine)
{
    LabProcess *&avahi = avahiOf(machine);
    if (avahi && avahi->isRunning())
        return true;
    delete avahi;
    // Its pid file and socket have fixed places: each daemon gets a /run/avahi-daemon of its
    // own, in the mount namespace `ip netns exec` makes for it.
    avahi = start(machine, QStringLiteral("sh"),
                  {QStringLiteral("-c"),
                   QStringLiteral("mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon "
                                  "--no-drop-root --no-chroot --no-rlimits --no-proc-title -f ") +
                       machine.avahiConfig});
    if (!QTest::qWaitFor([&] { return !avahi->isRunning() || isAvahiRunning(machine); }, 10000) ||
        !avahi->isRunning()) {
        qWarning("avahi-daemon did not come up on %s: %s", qPrintable(machine.name),
                 qPrintable(avahi->errors()));
        return false;
    }
    return true;
}

void DiscoveryLab::stopAvahi(const Machine &machine)
{
    LabProcess *&avahi = avahiOf(machine);
    if (avahi && !stop(avahi))
        qWarning("avahi-daemon did not stop on %s", qPrintable(machine.name));
    delete avahi;
    avahi = nullptr;
}

LabProcess *DiscoveryLab::start(const Machine &machine, const QString &program,
                                const QStringList &arguments, bool withBus)
{
    const QString bus = withBus ? machine.bus : QStringLiteral("unix:path=/nonexistent/bus");
    return new LabProcess(
        machine.netns, QStringLiteral("env"),
        QStringList{QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + bus, program} + arguments, this);
}

LabProcess *DiscoveryLab::startServer(const Machine &machine, const QStringList &options,
                                      bool withBus)
{
    QStringList arguments;
    for (const QString &network : m_networks)
        arguments << QStringLiteral("--allow") << network;
    LabProcess *server = start(machine, m_serverProgram, arguments + options, withBus);
    if (!QTest::qWaitFor([server] {
            return !server->isRunning() || server->errors().contains(u"listening on");
        }) ||
        !server->isRunning()) {
        qWarning("vornel-server did not start on %s: %s", qPrintable(machine.name),
                 qPrintable(server->errors()));
        delete server;
        return nullptr;
    }
    return server;
}

bool DiscoveryLab::stop(LabProcess *program)
{
    program->signal(SIGTERM);
    return QTest::qWaitFor([program] { return !program->isRunning(); }, 10000);
}

void DiscoveryLab::stopPrograms()
{
    for (LabProcess *program : findChildren<LabProcess *>(Qt::FindDirectChildrenOnly)) {
        if (std::find(std::begin(m_avahi), std::end(m_avahi), program) == std::end(m_avahi))
            delete program;
    }
}
