#include "lab.h"

#include "labprocess.h"

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
      m_peerProgram(fromEnvironment("VORNEL_LAB_PEER_PROGRAM"))
{}

Lab::~Lab()
{
    // Stopped programs first, so that none of them wakes to a network already whole.
    qDeleteAll(findChildren<LabProcess *>(Qt::FindDirectChildrenOnly));
    if (isComplete()) {
        for (const Machine *m : {&server, &a, &b})
            setLink(*m, true);
    }
}

bool Lab::isComplete() const
{
    for (const QString &value : {server.netns, server.address, a.netns, a.address, b.netns,
                                 b.address, m_device, m_network, m_serverProgram, m_peerProgram})
        if (value.isEmpty())
            return false;
    return true;
}

LabProcess *Lab::startServer(const QStringList &options)
{
    auto *process = new LabProcess(server.netns, m_serverProgram,
                                   QStringList{QStringLiteral("--listen"), server.address,
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
    const int status = QProcess::execute(QStringLiteral("ip"),
                                         {QStringLiteral("-n"), machine.netns,
                                          QStringLiteral("link"), QStringLiteral("set"), m_device,
                                          up ? QStringLiteral("up") : QStringLiteral("down")});
    if (status != 0)
        qFatal("cannot set the link of %s %s", qPrintable(machine.netns), up ? "up" : "down");
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
