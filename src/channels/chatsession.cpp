#include "chatsession.h"

#include "protocol/chatline.h"
#include "protocol/cp1254.h"
#include "protocol/namesearch.h"
#include "socketerrors.h"

#include <QDeadlineTimer>

#include <algorithm>

ChatSession::ChatSession(QObject *parent, Reading reading)
    : ChatSession(
          parent, reading, [] { return QDeadlineTimer::current().deadline(); },
          &RetrySchedule::systemRandom)
{}

ChatSession::ChatSession(QObject *parent, Reading reading, RetrySchedule::Clock clock,
                         RetrySchedule::Random random)
    : QObject(parent), m_ioThread(this),
      Winsock1(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winsock2(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winleft(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      Winjoin(reading == Reading::OwnThread ? &m_ioThread : nullptr, this),
      m_carrier(reading == Reading::OwnThread ? &m_ioThread : nullptr,
                {&Winsock1, &Winsock2, &Winjoin, &Winleft}, this),
      m_retry(std::move(clock), std::move(random)), m_retryTimer(this), m_lookup(this),
      m_userList(this), m_departures(m_userList, this)
{
    setObjectName(QStringLiteral("session"));
    if (reading == Reading::OwnThread)
        m_ioThread.start();
    Winsock1.setObjectName(QStringLiteral("Winsock1"));
    Winsock2.setObjectName(QStringLiteral("Winsock2"));
    Winleft.setObjectName(QStringLiteral("Winleft"));
    Winjoin.setObjectName(QStringLiteral("Winjoin"));
    m_retryTimer.setSingleShot(true);
    // A coarse timer's slack would bunch up the waits the schedule spreads.
    m_retryTimer.setTimerType(Qt::PreciseTimer);

    connect(&Winsock1, &Winsock::DataArrival, this, &ChatSession::Winsock1_DataArrival);
    connect(&Winsock1, &Winsock::Connected, this, [this] { linkConnected(Channel::Chat); });
    connect(&Winsock2, &Winsock::Connected, this, &ChatSession::Winsock2_Connect);
    connect(&Winsock2, &Winsock::DataArrival, this, &ChatSession::Winsock2_DataArrival);
    connect(&Winjoin, &Winsock::Connected, this, &ChatSession::Winjoin_Connect);
    connect(&Winjoin, &Winsock::DataArrival, this, &ChatSession::Winjoin_DataArrival);
    connect(&Winleft, &Winsock::Connected, this, [this] { linkConnected(Channel::Leave); });
    connect(&Winleft, &Winsock::DataArrival, this, &ChatSession::Winleft_DataArrival);
    const std::pair<Winsock *, Channel> errors[] = {{&Winsock1, Channel::Chat},
                                                    {&Winsock2, Channel::UserList},
                                                    {&Winleft, Channel::Leave},
                                                    {&Winjoin, Channel::Join}};
    for (const auto &[channel, kind] : errors) {
        connect(channel, &Winsock::Error, this,
                [this, kind](int number, const QString &description) {
                    linkFailed(kind, number, description);
                });
    }
    connect(&m_departures, &Departures::done, this, &ChatSession::departuresDone);
    connect(&m_retryTimer, &QTimer::timeout, this, &ChatSession::attempt);
    connect(&m_lookup, &HostLookup::finished, this, &ChatSession::lookedUp);
    connect(&m_carrier, &ChannelCarrier::refused, this, &ChatSession::refused);
    connect(&m_carrier, &ChannelCarrier::privacyChanged, this, [this] {
        if (m_up)
            emit privacyChanged();
    });
}

ChatSession::~ChatSession() = default;

void ChatSession::setLinkTimers(const LinkTimers &timers)
{
    for (Winsock *channel : {&Winsock1, &Winsock2, &Winleft, &Winjoin})
        channel->setLinkTimers(timers);
}

WinsockResult ChatSession::connectTo(const Destination &destination)
{
    begin(destination);
    if (WinsockResult r = startChannels({Channel::Chat, Channel::UserList}); !r.ok())
        return r;
    m_connected = true;
    emit connectedChanged(true);
    return {};
}

void ChatSession::connectFinding(const QString &host, ChooseServer choose)
{
    begin(Destination::typed(host));
    m_choose = std::move(choose);
    // Each channel is closed before it is aimed anew, as connectTo does; the list stays.
    for (Winsock *channel : {&Winsock1, &Winsock2, &Winleft, &Winjoin})
        channel->Close();
    m_carrier.close();
    m_links = {};
    m_connected = true;
    emit connectedChanged(true);
    m_findingId = m_lookup.lookUp(host);
}

void ChatSession::begin(const Destination &destination)
{
    m_retryTimer.stop();
    m_lookupId = 0;
    m_findingId = 0;
    m_toldNotFound = false;
    m_retrying = false;
    m_up = false;
    m_retry.reset();
    m_destination = destination;
}

void ChatSession::found(bool resolved)
{
    using Kind = ServerChoice::Kind;
    // Where the system resolves the name, it is the one to connect to.
    const ServerChoice choice = resolved   ? ServerChoice{Kind::Announced, m_destination}
                                : m_choose ? m_choose()
                                           : ServerChoice{};
    switch (choice.kind) {
    case Kind::Pick:
        finish();
        emit serverToPick();
        return;
    case Kind::NotFound:
        for (int i = 0; i < 2; ++i)
            emit socketError(SocketErrors::HostNotFound,
                             SocketErrors::description(SocketErrors::HostNotFound));
        finish();
        return;
    case Kind::ThisMachine:
        m_toldNotFound = true;
        break;
    case Kind::Announced:
        break;
    }
    m_destination = choice.destination;
    if (WinsockResult r = startChannels({Channel::Chat, Channel::UserList}); !r.ok()) {
        finish();
        emit socketError(r.number(), r.description());
    }
}

WinsockResult ChatSession::startChannels(std::initializer_list<Channel> followed)
{
    m_links = {};
    const WinsockResult r = m_carrier.start(m_destination);
    // A channel asked to connect before a later one failed goes on, and is followed.
    for (const Channel channel : followed)
        m_links[indexOf(channel)] = LinkState::Connecting;
    return r;
}

int ChatSession::nextAttemptInMs() const
{
    return m_retryTimer.isActive() ? m_retryTimer.remainingTime() : -1;
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
    LinkState &state = m_links[indexOf(channel)];
    if (state != LinkState::Connecting)
        return;
    state = LinkState::Up;
    settle();
    checkUp();
}

void ChatSession::linkFailed(Channel channel, int number, QString description)
{
    LinkState &state = m_links[indexOf(channel)];
    if (state == LinkState::Idle)
        return; // a channel nobody follows: the join and leave channels of a session up
    if (m_retrying) {
        // Half an attempt is no attempt: all four close, the next one comes on the schedule.
        closeChannels();
        waitForNextAttempt();
        return;
    }
    if (m_up) {
        // Closed first, the other channels, which usually end with this one, report nothing.
        closeChannels();
        m_retrying = true;
        emit connectionLost(number, description);
        waitForNextAttempt();
        return;
    }
    if (m_toldNotFound) {
        number = SocketErrors::HostNotFound;
        description = SocketErrors::description(number);
    }
    if (state == LinkState::Up) {
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
    if (m_connected && !m_retrying && !any(LinkState::Connecting) && any(LinkState::Failed))
        finish();
}

void ChatSession::checkUp()
{
    const auto isUp = [this](Channel channel) {
        return m_links[indexOf(channel)] == LinkState::Up;
    };
    if (m_up || !isUp(Channel::Chat) || !isUp(Channel::UserList))
        return;
    // An attempt is only back with all four: it follows the join and leave channels too.
    if (m_retrying && (!isUp(Channel::Join) || !isUp(Channel::Leave)))
        return;
    m_up = true;
    m_toldNotFound = false;
    // The join and leave channels of a session up end silently: the server lists the user by
    // the user-list channel.
    m_links[indexOf(Channel::Join)] = LinkState::Idle;
    m_links[indexOf(Channel::Leave)] = LinkState::Idle;
    m_retry.succeeded();
    if (m_retrying) {
        m_retrying = false;
        emit reconnected();
    }
    emit privacyChanged();
    emit up();
}

void ChatSession::waitForNextAttempt()
{
    m_lookupId = 0;
    m_retryTimer.start(int(m_retry.nextWaitMs()));
}

void ChatSession::attempt()
{
    emit attemptStarted();
    // The name may lead elsewhere by now; a name that leads nowhere fails the attempt
    // without a connection leaving the machine.
    m_lookupId = m_lookup.lookUp(m_destination.host);
}

void ChatSession::lookedUp(int id, bool resolved)
{
    if (id == m_findingId && m_connected) {
        m_findingId = 0;
        found(resolved);
        return;
    }
    if (id != m_lookupId || !m_retrying)
        return;
    m_lookupId = 0;
    if (!resolved ||
        !startChannels({Channel::Chat, Channel::UserList, Channel::Join, Channel::Leave}).ok()) {
        closeChannels();
        waitForNextAttempt();
    }
}

void ChatSession::refused(int number, const QString &description)
{
    // Told once, not by each channel; the channels do not go plain instead.
    if (m_retrying) {
        closeChannels();
        emit attemptRefused(number, description);
        waitForNextAttempt();
        return;
    }
    finish();
    emit socketError(number, description);
}

void ChatSession::closeChannels()
{
    for (Winsock *channel : {&Winsock1, &Winsock2, &Winleft, &Winjoin})
        channel->Close();
    m_carrier.close();
    m_links = {};
    const bool wasUp = std::exchange(m_up, false);
    m_userList.clear();
    if (wasUp)
        emit privacyChanged();
}

void ChatSession::finish()
{
    m_retryTimer.stop();
    m_lookupId = 0;
    m_findingId = 0;
    m_retrying = false;
    closeChannels();
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
    // A session that ended just now is not announced: its channel refuses. A failed
    // announcement shows nothing; the user list simply stays as the server has it.
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
    linkConnected(Channel::Join);
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
    m_departures.departed(nickname);
}
