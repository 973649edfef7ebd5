#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <vector>

class QTcpSocket;

// Two hostile machines beside the honest terminals. One floods every port from its one
// address, as far as the connection cap lets it: chat lines of its own nicknames far
// beyond its budget, joins again and again, leaves of the honest terminals' names, more
// nicknames than it may list. The other holds as many idle connections as it may. Both
// reconnect whatever the server closes.
class HostileHosts : public QObject
{
public:
    HostileHosts(const QHostAddress &server, const QHostAddress &flooder, const QHostAddress &idler,
                 int honestTerminals, QObject *parent = nullptr);
    ~HostileHosts() override;

    void start();
    void stop();

    // The flooder's nicknames, "EVE0" to "EVE9", and its chat lines under each; honest
    // readers tell them by these.
    static constexpr int names = 10;
    static QByteArray name(int i) { return "EVE" + QByteArray::number(i); }
    static QByteArray chatLine(int i) { return '<' + name(i) + "> " + QByteArray(4096, 'e'); }

    qint64 linesSent() const { return m_linesSent; }
    int closedByServer() const { return m_closedByServer; }

private:
    struct Link
    {
        QTcpSocket *socket = nullptr;
        quint16 port = 0;
        QHostAddress from;
        QByteArray hello; // sent on connecting
    };

    void open(Link &link);
    void flood();

    QHostAddress m_server;
    int m_honest;
    std::vector<Link> m_links;
    std::vector<size_t> m_chat;
    size_t m_join = 0;
    size_t m_leave = 0;
    QTimer m_floodTimer;
    qint64 m_ticks = 0;
    qint64 m_linesSent = 0;
    int m_closedByServer = 0;
    bool m_stopping = false;
};
