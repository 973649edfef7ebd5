#include "channelcarrier.h"

#include "socketerrors.h"
#include "winsock.h"

#include <algorithm>

ChannelCarrier::ChannelCarrier(QThread *ioThread, const std::array<Winsock *, 4> &channels,
                               QObject *parent)
    : QObject(parent), m_channels(channels), m_link(ioThread, this)
{
    connect(&m_link, &SecureLink::opened, this, &ChannelCarrier::linkOpened);
    connect(&m_link, &SecureLink::unanswered, this, [this] {
        // No link on a first contact: the plain channels, as if it had never been tried.
        m_onLink = false;
        (void)connectChannels(nullptr, 0);
    });
    connect(&m_link, &SecureLink::refused, this,
            [this](int number) { emit refused(number, SocketErrors::description(number)); });
    connect(&m_link, &SecureLink::plainUsersChanged, this, &ChannelCarrier::privacyChanged);
}

WinsockResult ChannelCarrier::start(const Destination &destination)
{
    m_destination = destination;
    m_plan = m_policy.planFor(destination);
    m_link.close();
    m_onLink = m_plan.mode != LinkPlan::Mode::Plain;
    if (!m_onLink)
        return connectChannels(nullptr, 0);
    if (WinsockResult r = connectChannels(&m_link, m_plan.port); !r.ok())
        return r;
    Winsock *chat = m_channels[indexOf(Channel::Chat)];
    m_link.open(destination.host, m_plan, chat->connectTimeout(), chat->linkTimers());
    return {};
}

WinsockResult ChannelCarrier::connectChannels(SecureLink *link, quint16 port)
{
    // The order in which a connect has always aimed its channels.
    for (const Channel channel :
         {Channel::Chat, Channel::UserList, Channel::Leave, Channel::Join}) {
        Winsock *winsock = m_channels[indexOf(channel)];
        winsock->Close();
        winsock->setLink(link, channel);
        if (WinsockResult r = winsock->setRemoteHost(m_destination.host); !r.ok())
            return r;
        if (WinsockResult r = winsock->setRemotePort(link ? port : portOf(channel)); !r.ok())
            return r;
        if (WinsockResult r = winsock->Connect(); !r.ok())
            return r;
    }
    return {};
}

void ChannelCarrier::close()
{
    m_link.close();
}

void ChannelCarrier::linkOpened()
{
    m_policy.reached(m_destination, m_link.peerAddress(), m_link.fingerprint(),
                     m_link.vouchedName());
    emit privacyChanged();
}

ConnectionPrivacy ChannelCarrier::privacy() const
{
    if (!m_onLink || !m_link.isOpen())
        return {};
    return {true, m_link.vouchedName(), m_link.fingerprint(), std::max(0, m_link.plainUsers())};
}
