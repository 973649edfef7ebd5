#pragma once

#include "protocol/channel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

class LoadLink;
class QTcpSocket;
class QTimer;
class RetrySchedule;

// Monotonic nanoseconds, comparable between the threads of this process.
qint64 monotonicNs();

// Terminal index i (from 0) goes by this nickname.
QByteArray loadNickname(int index);

// Nicknames ("T<n>", n from 1 to terminals), each followed by suffix, back to back with
// nothing else in between; false if bytes hold anything else.
bool parseNotices(QByteArrayView bytes, QByteArrayView suffix, int terminals,
                  std::vector<int> *numbers);

struct ChatLine
{
    int sender; // n of "<T<n>>"
    int round;
};
// Chat lines "<T<n>> msg <k>" back to back; false if bytes hold anything else.
bool parseChat(QByteArrayView bytes, std::vector<ChatLine> *lines);

// How the terminals reach the server: four plain connections each, one encrypted link each,
// or half of them one way and half the other.
enum class Transport { Plain, Link, Mixed };

// Fixed before the threads start, apart from the send times.
struct LoadShared
{
    QHostAddress server;
    int terminals = 0;
    int rounds = 0;
    int threads = 1;
    Transport transport = Transport::Plain;
    // Plain connections acknowledge each message only once it is read, as after a restart.
    bool acknowledgeOnRead = false;
    QByteArray joinSuffix;
    bool hostile = false; // a hostile host's names and lines come in too, to be left out
    std::unique_ptr<std::atomic<qint64>[]> sentNs; // per round, 0 until written

    // Mixed, every other terminal of each thread, so that each thread plays as many of both.
    bool onLink(int index) const
    {
        return transport == Transport::Link ||
               (transport == Transport::Mixed && index / threads % 2 == 1);
    }
};

// What one kind of notice (user list, join, leave) brought one terminal.
struct NoticeRecord
{
    QByteArray bytes; // every read, in order
    int reads = 0;
    int notices = 0; // notices counted while reading, to tell when a terminal has them all
    int merged = 0;  // notices that came in a read together with an earlier one
    // Apart from them: merged behind a write of the terminal's own that acknowledged an
    // unread message.
    int mergedBehindWrite = 0;
    int malformed = 0;
};

struct TerminalRecord
{
    int index = 0;
    bool onLink = false;
    int connected = 0; // a link counts as the four channels it carries
    NoticeRecord list;
    NoticeRecord join;
    NoticeRecord leave;
    // Since the latest restart: what the attempt that is up brought, and how it got there.
    NoticeRecord relist;
    NoticeRecord rejoin;
    int attempts = 0;
    int failedAttempts = 0;
    int ends = 0;                 // sessions that ended; the restart itself is one
    qint64 endNs = 0;             // when the latest session ended
    qint64 firstAttemptNs = 0;    // when the first attempt after it began
    qint64 attemptNs = 0;         // when the latest attempt began
    qint64 upNs = 0;              // when it had all four connections
    qint64 listedNs = 0;          // when its list held everyone
    std::vector<quint8> chatSeen; // deliveries per round
    int chatReads = 0;
    int chatMerged = 0;
    int chatMergedBehindWrite = 0;
    int chatMalformed = 0;
    int chatWrongSender = 0;
    int plainUsersTold = 0; // on the link: counts of plain readers the server sent
    qint64 plainUsers = -1; // the latest of them
    int errors = 0;         // socket errors and disconnections we did not ask for
    QString firstError;
};

struct LagSample
{
    qint64 dueNs;
    qint64 lateNs;
};

// A share of the terminals, all on the thread this object lives on. The functions other
// than the counters must be called on that thread.
class LoadWorker : public QObject
{
public:
    LoadWorker(const LoadShared &shared, int threadIndex, int threadCount);
    ~LoadWorker() override;

    void startLagProbe();
    void connectTerminal(int index, const QHostAddress &local);
    void announce(int index);
    void sendChat(int index, int round);
    void leave(int index);
    // From now on a terminal whose connections end tries again as the terminal does: on its
    // retry schedule, spread at random or, without spread, every wait the same for all, all
    // four channels at once, the nickname on each as it connects, an attempt that loses any
    // channel given up whole. Each terminal starts from the first wait, as one whose session
    // had long been up; the counts and the records of the last restart start afresh.
    void retryOnEnd(bool spread);
    // Closes every connection and deletes every object the worker made.
    void shutDown();

    std::vector<TerminalRecord> records() const;
    // Chat lines' send to arrival, at plain terminals and at those on the link.
    const std::vector<qint64> &latencies() const { return m_latencies; }
    const std::vector<qint64> &linkLatencies() const { return m_linkLatencies; }
    const std::vector<LagSample> &lag() const { return m_lag; }

    std::atomic<int> connectedSockets{0};
    std::atomic<int> listComplete{0};
    std::atomic<int> joinComplete{0};
    std::atomic<int> leaveComplete{0};
    std::atomic<qint64> chatDeliveries{0};
    std::atomic<int> errors{0};
    std::atomic<qint64> hostileDeliveries{0};
    // Since retryOnEnd().
    std::atomic<int> backUp{0};   // terminals whose attempt is up
    std::atomic<int> relisted{0}; // terminals up and listing everyone
    std::atomic<int> ends{0};

private:
    struct Terminal
    {
        Terminal();
        ~Terminal();
        TerminalRecord record;
        QHostAddress local;
        std::array<QTcpSocket *, 4> sockets{};
        LoadLink *link = nullptr; // instead of the sockets
        std::unique_ptr<RetrySchedule> schedule;
        QTimer *retry = nullptr;
        int up = 0; // channels connected in this attempt; a link's four at once
        // Per plain channel: a write went out while a message lay unread, and acknowledged it.
        std::array<bool, 4> wroteOverUnread{};
    };

    Terminal *terminal(int index);
    void open(Terminal &t);
    void openLink(Terminal &t);
    void onConnected(Terminal &t, Channel channel);
    void onLinkUp(Terminal &t);
    void onBackUp(Terminal &t);
    void send(Terminal &t, Channel channel, const QByteArray &message);
    void onEnd(Terminal &t, const QString &what);
    void closeAll(Terminal &t);
    void attempt(Terminal &t);
    void onRead(Terminal &t, Channel channel, QTcpSocket *socket);
    void onLinkRead(Terminal &t);
    // One plain read, or one frame's payload.
    void take(Terminal &t, Channel channel, QByteArray data, qint64 nowNs,
              bool behindWrite = false);
    // True when this read brought the last of the notices a terminal waits for.
    bool readNotices(NoticeRecord &r, const QByteArray &data, QByteArrayView suffix,
                     bool behindWrite);
    void readChat(Terminal &t, const QByteArray &data, qint64 nowNs, bool behindWrite);
    void fail(Terminal &t, const QString &what);
    void armLagProbe();

    const LoadShared &m_shared;
    const int m_threadIndex;
    const int m_threadCount;
    std::vector<std::unique_ptr<Terminal>> m_terminals;
    std::vector<qint64> m_latencies;
    std::vector<qint64> m_linkLatencies;
    std::vector<ChatLine> m_parsed;
    std::vector<int> m_numbers;
    std::vector<LagSample> m_lag;
    QTimer *m_probe = nullptr;
    qint64 m_probeDue = 0;
    bool m_closing = false;
    bool m_retrying = false;
};
