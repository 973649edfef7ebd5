#include "lab.h"

#include "labprocess.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

QString fromEnvironment(const char *name)
{
    return qEnvironmentVariable(name);
}

} // namespace

Lab::Lab(QObject *parent)
    : QObject(parent), server{fromEnvironment("VORNEL_LAB_SERVER_NS"),
                              fromEnvironment("VORNEL_LAB_SERVER_ADDRESS")},
      a{fromEnvironment("VORNEL_LAB_A_NS"), fromEnvironment("VORNEL_LAB_A_ADDRESS")},
      b{fromEnvironment("VORNEL_LAB_B_NS"), fromEnvironment("VORNEL_LAB_B_ADDRESS")},
      m_device(fromEnvironment("VORNEL_LAB_DEVICE")),
      m_network(fromEnvironment("VORNEL_LAB_NETWORK")),
      m_serverProgram(fromEnvironment("VORNEL_LAB_SERVER_PROGRAM")),
      m_peerProgram(fromEnvironment("VORNEL_LAB_PEER_PROGRAM")),
      m_hostsFile(fromEnvironment("VORNEL_LAB_HOSTS")),
      m_serverName(fromEnvironment("VORNEL_LAB_SERVER_NAME"))
{}

Lab::~Lab()
{
    // Stopped programs first, so that none of them wakes to a network already whole.
    qDeleteAll(findChildren<LabProcess *>(Qt::FindDirectChildrenOnly));
    if (isComplete()) {
        for (const Machine *m : {&server, &a, &b})
            setLink(*m, true);
        for (const auto &[machine, address] : std::as_const(m_addedAddresses))
            ip({QStringLiteral("-n"), machine.netns, QStringLiteral("addr"), QStringLiteral("del"),
                address + QStringLiteral("/24"), QStringLiteral("dev"), m_device});
        setServerNameAddress(server.address);
    }
}

bool Lab::isComplete() const
{
    for (const QString &value :
         {server.netns, server.address, a.netns, a.address, b.netns, b.address, m_device, m_network,
          m_serverProgram, m_peerProgram, m_hostsFile, m_serverName})
        if (value.isEmpty())
            return false;
    return true;
}

LabProcess *Lab::startServer(const QStringList &options, const QString &address)
{
    auto *process = new LabProcess(server.netns, m_serverProgram,
                                   QStringList{QStringLiteral("--listen"),
                                               address.isEmpty() ? server.address : address,
                                               QStringLiteral("--allow"), m_network} +
                                       options,
                                   this);
    if (!QTest::qWaitFor([process] {
            return !process->isRunning() || process->errors().contains(u"listening on");
        }) ||
        !process->isRunning()) {
        qWarning("vornel-server did not start: %s", qPrintable(process->errors()));
        delete process;
        return nullptr;
    }
    return process;
}

LabProcess *Lab::startPeer(const Machine &machine, const QStringList &arguments)
{
    return new LabProcess(machine.netns, m_peerProgram, arguments, this);
}

void Lab::setLink(const Machine &machine, bool up)
{
    if (!ip({QStringLiteral("-n"), machine.netns, QStringLiteral("link"), QStringLiteral("set"),
             m_device, up ? QStringLiteral("up") : QStringLiteral("down")}))
        qFatal("cannot set the link of %s %s", qPrintable(machine.netns), up ? "up" : "down");
}

void Lab::addAddress(const Machine &machine, const QString &address)
{
    if (!ip({QStringLiteral("-n"), machine.netns, QStringLiteral("addr"), QStringLiteral("add"),
             address + QStringLiteral("/24"), QStringLiteral("dev"), m_device}))
        qFatal("cannot add %s to %s", qPrintable(address), qPrintable(machine.netns));
    m_addedAddresses.append({machine, address});
}

qint64 Lab::resetsSent(const Machine &machine) const
{
    // The counters of the machine's own network stack, as its /proc shows them.
    QProcess snmp;
    snmp.start(QStringLiteral("ip"),
               {QStringLiteral("netns"), QStringLiteral("exec"), machine.netns,
                QStringLiteral("cat"), QStringLiteral("/proc/net/snmp")});
    if (!snmp.waitForFinished() || snmp.exitCode() != 0)
        qFatal("cannot read the counters of %s", qPrintable(machine.netns));
    const QList<QByteArray> lines = snmp.readAllStandardOutput().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (!lines[i].startsWith("Tcp:") || !lines[i + 1].startsWith("Tcp:"))
            continue;
        const QList<QByteArray> names = lines[i].simplified().split(' ');
        const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
        const qsizetype at = names.indexOf("OutRsts");
        if (at > 0 && at < values.size())
            return values[at].toLongLong();
    }
    qFatal("no OutRsts among the counters of %s", qPrintable(machine.netns));
}

void Lab::setServerNameAddress(const QString &address)
{
    // Written in place: the file is mounted over the machine's /etc/hosts.
    QFile hosts(m_hostsFile);
    if (!hosts.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        hosts.write((address + u' ' + m_serverName + u'\n').toLatin1()) < 0)
        qFatal("cannot write %s", qPrintable(m_hostsFile));
}

bool Lab::ip(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

void Lab::vanish(const Machine &machine, LabProcess *program)
{
    if (program)
        program->signal(SIGSTOP);
    setLink(machine, false);
}

void Lab::resetConnections(const Machine &machine, quint16 port)
{
    QProcess ss; // what it lists is of no interest
    ss.start(QStringLiteral("ip"),
             {QStringLiteral("netns"), QStringLiteral("exec"), machine.netns, QStringLiteral("ss"),
              QStringLiteral("--kill"), QStringLiteral("-tn"),
              QStringLiteral("sport = :%1").arg(port)});
    if (!ss.waitForFinished() || ss.exitStatus() != QProcess::NormalExit || ss.exitCode() != 0)
        qFatal("cannot reset the connections of %s", qPrintable(machine.netns));
}
