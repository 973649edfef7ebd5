#include "serverload_hostile.h"

#include "protocol/channel.h"

#include <QTcpSocket>

using namespace std::chrono_literals;

HostileHosts::HostileHosts(const QHostAddress &server, const QHostAddress &flooder,
                           const QHostAddress &idler, int honestTerminals, QObject *parent)
    : QObject(parent), m_server(server), m_honest(honestTerminals)
{
    // The flooder: ten nicknames (two more than it may list, so some of its lines name
    // nobody it listed), one join and one leave
    // connection, twenty chat connections: 32 in all, its cap.
    for (int i = 0; i < 10; ++i)
        m_links.push_back(
            {nullptr, portOf(Channel::UserList), flooder, "EVE" + QByteArray::number(i)});
    m_join = m_links.size();
    m_links.push_back({nullptr, portOf(Channel::Join), flooder, "EVE0"});
    m_leave = m_links.size();
    m_links.push_back({nullptr, portOf(Channel::Leave), flooder, {}});
    for (int i = 0; i < 20; ++i) {
        m_chat.push_back(m_links.size());
        m_links.push_back({nullptr, portOf(Channel::Chat), flooder, {}});
    }
    // The idler: eight connections on each port that never say anything.
    for (const Channel channel : allChannels) {
        for (int i = 0; i < 8; ++i)
            m_links.push_back({nullptr, portOf(channel), idler, {}});
    }
    m_floodTimer.setInterval(5ms);
    connect(&m_floodTimer, &QTimer::timeout, this, &HostileHosts::flood);
}

HostileHosts::~HostileHosts()
{
    stop();
}

void HostileHosts::start()
{
    for (Link &link : m_links)
        open(link);
    m_floodTimer.start();
}

void HostileHosts::stop()
{
    m_stopping = true;
    m_floodTimer.stop();
    for (Link &link : m_links) {
        delete link.socket;
        link.socket = nullptr;
    }
}

void HostileHosts::open(Link &link)
{
    delete link.socket;
    auto *socket = new QTcpSocket(this);
    link.socket = socket;
    // Whatever the server sends is read and thrown away: the flood is what costs it.
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::connected, socket, [socket, &link] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!link.hello.isEmpty())
            socket->write(link.hello);
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, &link] {
        if (m_stopping)
            return;
        ++m_closedByServer;
        QTimer::singleShot(200ms, this, [this, &link] {
            if (!m_stopping)
                open(link);
        });
    });
    socket->bind(link.from);
    socket->connectToHost(m_server, link.port);
}

void HostileHosts::flood()
{
    ++m_ticks;
    QTcpSocket *chat = m_links[m_chat[size_t(m_ticks) % m_chat.size()]].socket;
    if (chat && chat->state() == QAbstractSocket::ConnectedState) {
        chat->write(chatLine(int(m_ticks % names)));
        ++m_linesSent;
    }
    if (m_ticks % 10 == 0) {
        QTcpSocket *join = m_links[m_join].socket;
        if (join && join->state() == QAbstractSocket::ConnectedState)
            join->write(name(0));
        QTcpSocket *leave = m_links[m_leave].socket;
        if (leave && leave->state() == QAbstractSocket::ConnectedState)
            leave->write('T' + QByteArray::number(1 + (m_ticks / 10) % m_honest));
    }
}
