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

class QTcpSocket;
class QTimer;

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

// Fixed before the threads start, apart from the send times.
struct LoadShared
{
    QHostAddress server;
    int terminals = 0;
    int rounds = 0;
    QByteArray joinSuffix;
    bool hostile = false; // a hostile host's names and lines come in too, to be left out
    std::unique_ptr<std::atomic<qint64>[]> sentNs; // per round, 0 until written
};

// What one kind of notice (user list, join, leave) brought one terminal.
struct NoticeRecord
{
    QByteArray bytes; // every read, in order
    int reads = 0;
    int notices = 0; // notices counted while reading, to tell when a terminal has them all
    int merged = 0;  // notices that came in a read together with an earlier one
    int malformed = 0;
};

struct TerminalRecord
{
    int index = 0;
    int connected = 0;
    NoticeRecord list;
    NoticeRecord join;
    NoticeRecord leave;
    std::vector<quint8> chatSeen; // deliveries per round
    int chatReads = 0;
    int chatMerged = 0;
    int chatMalformed = 0;
    int chatWrongSender = 0;
    int errors = 0; // socket errors and disconnections we did not ask for
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
    // Closes every connection and deletes every object the worker made.
    void shutDown();

    std::vector<TerminalRecord> records() const;
    const std::vector<qint64> &latencies() const { return m_latencies; }
    const std::vector<LagSample> &lag() const { return m_lag; }

    std::atomic<int> connectedSockets{0};
    std::atomic<int> listComplete{0};
    std::atomic<int> joinComplete{0};
    std::atomic<int> leaveComplete{0};
    std::atomic<qint64> chatDeliveries{0};
    std::atomic<int> errors{0};
    std::atomic<qint64> hostileDeliveries{0};

private:
    struct Terminal
    {
        TerminalRecord record;
        std::array<QTcpSocket *, 4> sockets{};
    };

    Terminal *terminal(int index);
    void onRead(Terminal &t, Channel channel, QTcpSocket *socket);
    void readNotices(NoticeRecord &r, const QByteArray &data, QByteArrayView suffix,
                     std::atomic<int> &complete);
    void readChat(Terminal &t, const QByteArray &data, qint64 nowNs);
    void fail(Terminal &t, const QString &what);
    void armLagProbe();

    const LoadShared &m_shared;
    const int m_threadIndex;
    const int m_threadCount;
    std::vector<std::unique_ptr<Terminal>> m_terminals;
    std::vector<qint64> m_latencies;
    std::vector<ChatLine> m_parsed;
    std::vector<int> m_numbers;
    std::vector<LagSample> m_lag;
    QTimer *m_probe = nullptr;
    qint64 m_probeDue = 0;
    bool m_closing = false;
};
