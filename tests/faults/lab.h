#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <utility>

class LabProcess;

// The network namespaces run-faults made, as its environment names them: the server's
// machine, terminal A's (where the test itself runs) and terminal B's, on one bridge. Puts
// every machine's link back up and kills every program it started when it goes, so each
// case starts on a whole network whatever the one before it did.
class Lab : public QObject
{
    Q_OBJECT

public:
    struct Machine
    {
        QString netns;
        QString address;
    };

    explicit Lab(QObject *parent = nullptr);
    ~Lab() override;

    // False when not started by run-faults.
    bool isComplete() const;

    // vornel-server on the server's machine, listening on its address (or another of that
    // machine's) for the lab's network only, with these further options; null, with a
    // warning, when it did not start.
    LabProcess *startServer(const QStringList &options = {}, const QString &address = {});
    // vornel-faultpeer on a machine (see faultpeer.cpp).
    LabProcess *startPeer(const Machine &machine, const QStringList &arguments);

    // Resets a machine's connections from a local port, as its system does.
    void resetConnections(const Machine &machine, quint16 port);

    void setLink(const Machine &machine, bool up);
    // A further address on a machine's link, taken off again when the lab goes.
    void addAddress(const Machine &machine, const QString &address);
    // TCP resets a machine has sent: one for every connection attempt to a port where nothing
    // listens.
    qint64 resetsSent(const Machine &machine) const;
    // The name the test's own machine resolves to the server's address, as its hosts file
    // says, and where it is to lead instead.
    QString serverName() const { return m_serverName; }
    void setServerNameAddress(const QString &address);
    // Gone without a word: the program stops where it is and the machine's cable is pulled.
    void vanish(const Machine &machine, LabProcess *program);

    const Machine server;
    const Machine a;
    const Machine b;

private:
    static bool ip(const QStringList &arguments);

    QString m_device;
    QString m_network;
    QString m_serverProgram;
    QString m_peerProgram;
    QString m_hostsFile;
    QString m_serverName;
    QList<std::pair<Machine, QString>> m_addedAddresses;
};
