#pragma once

#include <QDBusConnection>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class LabProcess;

// The lab run-discovery made, as its environment names it: the terminal's machine t, where
// this program runs, and the servers' machines s1 and s2, each with a system bus of its own.
// Avahi is started on a machine when asked for and waited for until it runs. Everything the
// lab started is killed when it goes.
class DiscoveryLab : public QObject
{
    Q_OBJECT

public:
    struct Machine
    {
        QString name;
        QString netns;
        QString bus; // its system bus's address
        QString avahiConfig;
        // Its first LAN's IPv4 address first.
        QList<QHostAddress> addresses;

        QHostAddress address() const { return addresses.value(0); }
    };

    explicit DiscoveryLab(QObject *parent = nullptr);
    ~DiscoveryLab() override;

    // False when not started by run-discovery.
    bool isComplete() const;

    // This process's connection to the machine's bus.
    QDBusConnection bus(const Machine &machine) const;

    // Avahi on the machine, running once this returns true; false, with a warning, when it
    // did not come up. Stopping sends SIGTERM, so that it says goodbye for what it announced.
    bool startAvahi(const Machine &machine);
    void stopAvahi(const Machine &machine);
    bool isAvahiRunning(const Machine &machine) const;

    // A program on the machine, the machine's bus its system bus; with withBus false, a
    // system bus that is not there.
    LabProcess *start(const Machine &machine, const QString &program, const QStringList &arguments,
                      bool withBus = true);
    // vornel-server on the machine, letting in the lab's networks, with these options; null,
    // with a warning, when it does not come to listen.
    LabProcess *startServer(const Machine &machine, const QStringList &options,
                            bool withBus = true);
    // SIGTERM, and waited for until it ends; false when it did not.
    static bool stop(LabProcess *program);
    // Stops every program it started but the Avahi daemons.
    void stopPrograms();

    const Machine terminal;
    const Machine server1;
    const Machine server2;

private:
    LabProcess *&avahiOf(const Machine &machine);

    QString m_serverProgram;
    QStringList m_networks;
    LabProcess *m_avahi[3] = {};
};
