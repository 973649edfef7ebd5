#pragma once

#include "connectionprivacy.h"
#include "destination.h"
#include "linkplan.h"
#include "linkpolicy.h"
#include "securelink.h"
#include "winsockresult.h"

#include <QObject>
#include <QString>

#include <array>

class QThread;
class Winsock;

// Carries the four channels of each connect: on sockets of their own, or on the encrypted link,
// as the link policy decides for the destination. The channels' owner sees only their events:
// a link that opens connects them, and its end ends them. Where a first contact finds no link,
// the channels go plain at once; a link that is not the server it must be is refused, and told
// once, without the channels going plain.
class ChannelCarrier : public QObject
{
    Q_OBJECT

public:
    // The channels in the order of Channel.
    ChannelCarrier(QThread *ioThread, const std::array<Winsock *, 4> &channels,
                   QObject *parent = nullptr);

    // Closes, aims and connects the four channels in the connect order, without waiting; a
    // failure leaves the later channels untouched.
    WinsockResult start(const Destination &destination);
    void close();

    // The session's privacy once its channels are up.
    ConnectionPrivacy privacy() const;

signals:
    void privacyChanged();
    // The server reached is not one to trust; the channels are left connecting, for the owner
    // to close.
    void refused(int number, const QString &description);

private:
    WinsockResult connectChannels(SecureLink *link, quint16 port);
    void linkOpened();

    std::array<Winsock *, 4> m_channels;
    SecureLink m_link;
    LinkPolicy m_policy;
    Destination m_destination;
    LinkPlan m_plan;
    bool m_onLink = false;
};
