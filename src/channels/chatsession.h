#pragma once

#include "channelcarrier.h"
#include "connectionprivacy.h"
#include "departures.h"
#include "destination.h"
#include "hostlookup.h"
#include "iothread.h"
#include "protocol/channel.h"
#include "protocol/linktimers.h"
#include "retryschedule.h"
#include "userlistmodel.h"
#include "winsock.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>

// One terminal's conversation with the chat server, without any window: the four channels,
// connecting and announcing the nickname, the user list and the departures still to be taken
// off it. A window shows what the signals tell and calls the operations for its commands.
// What carries the channels, sockets of their own or the encrypted link, is its carrier's
// business; the session only hears whether the server reached could be trusted.
//
// A session is up once its chat and user-list channels have connected. When one of them ends
// after that, without the user leaving, the session stays connected and is tried again on
// RetrySchedule's waits, with the same nickname and server, until an attempt brings all four
// channels up or the user leaves. Nothing typed meanwhile is sent later: the channels refuse
// it as they do whenever they are closed.
class ChatSession : public QObject
{
    Q_OBJECT

public:
    // Where the channels read their sockets: on a thread of the session's own, so that a
    // busy window never makes two arrivals one, or on the thread that made the session.
    enum class Reading { OwnThread, CallerThread };

    // A departed user's entry goes this long after the leave notice.
    static constexpr int RemovalDelayMs = Departures::DelayMs;

    explicit ChatSession(QObject *parent = nullptr, Reading reading = Reading::OwnThread);
    // The same with the retry schedule's clock and random source given (tests).
    ChatSession(QObject *parent, Reading reading, RetrySchedule::Clock clock,
                RetrySchedule::Random random);
    ~ChatSession() override;

    // The nickname announced, sent with chat lines and with the departure. The window keeps
    // it current, so the text sent is always the one in the nickname field at that moment.
    void setNickname(const QString &nickname) { m_nickname = nickname; }
    const QString &nickname() const { return m_nickname; }

    // How soon every channel gives up a server gone silent, from the next connect on.
    void setLinkTimers(const LinkTimers &timers);

    // Closes, aims and connects the four channels in turn, without waiting for any of them;
    // on success the session is connected. A failure leaves the later channels untouched.
    // When the chat or the user-list channel then fails to connect, the session ends once
    // both attempts are settled, each failure reported; it is not tried again.
    WinsockResult connectTo(const Destination &destination);
    WinsockResult connectTo(const QString &host) { return connectTo(Destination::typed(host)); }
    // Where a connect goes when the system resolves no host of the name the user gave.
    struct ServerChoice
    {
        enum class Kind {
            NotFound,    // nowhere: the name is reported not found, as connecting to it would
            Announced,   // host: a server that announced itself on the LAN
            Pick,        // several did: the user is to pick one
            ThisMachine, // host: this machine's loopback, where a server may listen
        };
        Kind kind = Kind::NotFound;
        Destination destination;
    };
    using ChooseServer = std::function<ServerChoice()>;
    // As connectTo, for a name that may lead nowhere: connected at once, the name is looked up
    // first, and connected to where the system resolves it. Where it does not, choose() says
    // where to go instead. When this machine's loopback answers nothing either, the chat and
    // user-list channels report the name not found, as connecting to it would have.
    void connectFinding(const QString &host, ChooseServer choose);

    WinsockResult say(const QString &message);
    // Announces the departure, closes the four channels silently, empties the user list and
    // is no longer connected. Stops any retrying at once.
    void leave();
    bool isConnected() const { return m_connected; }
    // Connected, but waiting for or making an attempt to come back.
    bool isRetrying() const { return m_retrying; }
    // The chat and user-list channels are up.
    bool isUp() const { return m_up; }
    // Where the next attempt is due, in milliseconds from now; -1 while none is waiting.
    int nextAttemptInMs() const;

    // How private the session is, while it is up.
    ConnectionPrivacy privacy() const { return m_up ? m_carrier.privacy() : ConnectionPrivacy(); }

    UserListModel &userList() { return m_userList; }
    const UserListModel &userList() const { return m_userList; }

    // Takes the departure that is due off the user list and waits for the next one.
    void Timer2_Timer() { m_departures.Timer2_Timer(); }
    int pendingRemovals() const { return m_departures.pending(); }

signals:
    void connectedChanged(bool connected);
    // Arrivals as they came, one read each.
    void chatArrived(const QByteArray &text);
    void joinArrived(const QByteArray &notice);
    void leaveArrived(const QByteArray &bytes, const QString &nickname);
    // An error on the chat or the user-list channel while the user's own connect is under
    // way; the other two report none. When one of them ends after it had connected, before
    // the session was up, the session ends with one report, before it.
    void socketError(int number, const QString &description);
    // The session was up and has ended by itself: all four channels are closed, the user list
    // is empty, and the session is being tried again. Once for each time it went down.
    void connectionLost(int number, const QString &description);
    // An attempt brought all four channels up again.
    void reconnected();
    // The chat and user-list channels are up: after the user's connect, and after every
    // attempt that brought the session back.
    void up();
    // An attempt is starting (tests count them).
    void attemptStarted();
    // An attempt reached a server that is not one to trust, and was given up; the next one
    // comes on the schedule.
    void attemptRefused(int number, const QString &description);
    // What privacy() says has changed: the session came up or went down, or the count of
    // those reading in plain changed.
    void privacyChanged();
    // The name the user gave led nowhere and several servers announced themselves: the
    // session has ended, for the user to pick one.
    void serverToPick();
    // The last pending departure has been taken off the list.
    void departuresDone();

private:
    // Where each connection stands. Only the chat channel and the user-list channel, the one
    // the server lists the user by, are followed: their end ends the session.
    enum class LinkState { Idle, Connecting, Up, Failed };
    // Forgets any retrying and any connect under way, for a connect to host.
    void begin(const Destination &destination);
    // Closes, aims and connects the four channels; followed says which are followed.
    WinsockResult startChannels(std::initializer_list<Channel> followed);
    void linkConnected(Channel channel);
    void linkFailed(Channel channel, int number, QString description);
    void settle();
    void checkUp();
    // Closes the four channels and empties the user list.
    void closeChannels();
    // Closes the four channels and leaves the connected state.
    void finish();
    void waitForNextAttempt();
    void attempt();
    void lookedUp(int id, bool resolved);
    void found(bool resolved);
    void refused(int number, const QString &description);

    void Winsock1_DataArrival();
    void Winsock2_Connect();
    void Winsock2_DataArrival();
    void Winjoin_Connect();
    void Winjoin_DataArrival();
    void Winleft_DataArrival();

    IoThread m_ioThread; // first in, last out: the channels need it until they are gone
    Winsock Winsock1;
    Winsock Winsock2;
    Winsock Winleft;
    Winsock Winjoin;
    ChannelCarrier m_carrier;

    QString m_nickname;
    Destination m_destination;
    bool m_connected = false;
    // Both the chat and the user-list channel have connected since the last connect or attempt.
    bool m_up = false;
    bool m_retrying = false;
    RetrySchedule m_retry;
    QTimer m_retryTimer;
    HostLookup m_lookup;
    int m_lookupId = 0;  // the lookup the next attempt waits for; 0 for none
    int m_findingId = 0; // the lookup connectFinding waits for
    ChooseServer m_choose;
    bool m_toldNotFound = false; // failures to connect are told as the name not found
    std::array<LinkState, allChannels.size()> m_links{};
    UserListModel m_userList;
    QString UserListData;
    Departures m_departures;
};
