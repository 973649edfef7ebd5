#include "chatsession.h"

#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "protocol/namesearch.h"

#include <algorithm>

ChatSession::ChatSession(QObject *parent, Reading reading)
    : QObject(parent), m_ioThread(this),
      Winsock1(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winsock2(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winleft(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winjoin(reading == Reading::OwnThread ? &m_ioThread : nullptr, this), Timer2(this),
      m_userList(this)
{
    setObjectName(QStringLiteral("session"));
    if (reading == Reading::OwnThread)
        m_ioThread.start();
    Winsock1.setObjectName(QStringLiteral("Winsock1"));
    Winsock2.setObjectName(QStringLiteral("Winsock2"));
    Winleft.setObjectName(QStringLiteral("Winleft"));
    Winjoin.setObjectName(QStringLiteral("Winjoin"));
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer2.setSingleShot(true);
    Timer2.setTimerType(Qt::PreciseTimer); // each removal is due a fixed time after its notice
    Timer2.setInterval(RemovalDelayMs);
    m_clock.start();

    connect(&Winsock1, &Winsock::DataArrival, this, &ChatSession::Winsock1_DataArrival);
    connect(&Winsock1, &Winsock::Connected, this, [this] { linkConnected(Channel::Chat); });
    connect(&Winsock1, &Winsock::Error, this, [this](int number, const QString &description) {
        linkFailed(Channel::Chat, number, description);
    });
    connect(&Winsock2, &Winsock::Connected, this, &ChatSession::Winsock2_Connect);
    connect(&Winsock2, &Winsock::Error, this, [this](int number, const QString &description) {
        linkFailed(Channel::UserList, number, description);
    });
    connect(&Winsock2, &Winsock::DataArrival, this, &ChatSession::Winsock2_DataArrival);
    connect(&Winjoin, &Winsock::Connected, this, &ChatSession::Winjoin_Connect);
    connect(&Winjoin, &Winsock::DataArrival, this, &ChatSession::Winjoin_DataArrival);
    connect(&Winleft, &Winsock::DataArrival, this, &ChatSession::Winleft_DataArrival);
    connect(&Timer2, &QTimer::timeout, this, &ChatSession::Timer2_Timer);
}

ChatSession::~ChatSession() = default;

void ChatSession::setLinkTimers(const LinkTimers &timers)
{
    for (Winsock *channel : {&Winsock1, &Winsock2, &Winleft, &Winjoin})
        channel->setLinkTimers(timers);
}

WinsockResult ChatSession::connectTo(const QString &host)
{
    m_links = {};
    const std::pair<Winsock *, Channel> channels[] = {{&Winsock1, Channel::Chat},
                                                      {&Winsock2, Channel::UserList},
                                                      {&Winleft, Channel::Leave},
                                                      {&Winjoin, Channel::Join}};
    for (const auto &[channel, kind] : channels) {
        channel->Close();
        if (WinsockResult r = channel->setRemoteHost(host); !r.ok())
            return r;
        if (WinsockResult r = channel->setRemotePort(portOf(kind)); !r.ok())
            return r;
        if (WinsockResult r = channel->Connect(); !r.ok())
            return r;
        if (kind == Channel::Chat || kind == Channel::UserList)
            m_links[indexOf(kind)] = LinkState::Connecting;
    }
    m_connected = true;
    emit connectedChanged(true);
    return {};
}

WinsockResult ChatSession::say(const QString &message)
{
    return Winsock1.SendData(chatLine(m_nickname, message));
}

void ChatSession::leave()
{
    // A failed send of the departure is skipped silently. A notice sent is with the system
    // already, which delivers it before it ends the connection.
    (void)Winleft.SendData(m_nickname);
    finish();
}

void ChatSession::linkConnected(Channel channel)
{
    m_links[indexOf(channel)] = LinkState::Up;
    settle();
}

void ChatSession::linkFailed(Channel channel, int number, const QString &description)
{
    LinkState &state = m_links[indexOf(channel)];
    if (state == LinkState::Up) {
        // The other channels usually end with this one; closed first, they report nothing.
        finish();
        emit socketError(number, description);
        return;
    }
    state = LinkState::Failed;
    emit socketError(number, description);
    settle();
}

void ChatSession::settle()
{
    const auto any = [this](LinkState state) {
        return std::ranges::find(m_links, state) != m_links.end();
    };
    // Half a session is no session: once neither attempt is pending, one that failed ends it.
    if (m_connected && !any(LinkState::Connecting) && any(LinkState::Failed))
        finish();
}

void ChatSession::finish()
{
    for (Winsock *channel : {&Winsock1, &Winsock2, &Winleft, &Winjoin})
        channel->Close();
    m_links = {};
    m_userList.clear();
    if (!m_connected)
        return;
    m_connected = false;
    emit connectedChanged(false);
}

void ChatSession::Winsock1_DataArrival()
{
    QByteArray data;
    (void)Winsock1.GetData(data);
    emit chatArrived(data);
}

void ChatSession::Winsock2_Connect()
{
    linkConnected(Channel::UserList);
    // A session that ended just now is not announced. A failed announcement shows nothing;
    // the user list simply stays as the server has it.
    if (m_links[indexOf(Channel::UserList)] == LinkState::Up)
        (void)Winsock2.SendData(m_nickname);
}

void ChatSession::Winsock2_DataArrival()
{
    (void)Winsock2.GetData(UserListData);
    // A full list drops the arrival.
    m_userList.addItem(UserListData);
}

void ChatSession::Winjoin_Connect()
{
    (void)Winjoin.SendData(m_nickname);
}

void ChatSession::Winjoin_DataArrival()
{
    QByteArray notice;
    (void)Winjoin.GetData(notice);
    emit joinArrived(notice);
}

void ChatSession::Winleft_DataArrival()
{
    QByteArray departed;
    (void)Winleft.GetData(departed);
    const QString nickname = Cp1254::decode(departed);
    emit leaveArrived(departed, nickname);
    // The departing user's entry goes RemovalDelayMs later.
    m_pendingRemovals.push_back(
        {nickname, m_clock.elapsed() + RemovalDelayMs, m_userList.generation()});
    if (!Timer2.isActive())
        scheduleNextRemoval();
}

void ChatSession::Timer2_Timer()
{
    if (!m_pendingRemovals.empty()) {
        const PendingRemoval due = m_pendingRemovals.front();
        m_pendingRemovals.pop_front();
        // What goes is the departed user's own entry, whatever is selected by now; after a
        // disconnect emptied the list there is nothing of that user's left to remove.
        if (due.listGeneration == m_userList.generation())
            m_userList.removeItem(NameSearch::findEqual(m_userList.entries(), due.nickname));
    }
    if (m_pendingRemovals.empty()) {
        Timer2.stop();
        emit departuresDone();
    } else {
        scheduleNextRemoval();
    }
}

void ChatSession::scheduleNextRemoval()
{
    if (m_pendingRemovals.empty())
        return;
    Timer2.start(int(qMax<qint64>(0, m_pendingRemovals.front().due - m_clock.elapsed())));
}
