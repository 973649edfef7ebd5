#include "serverload_terminals.h"

#include "serverload_hostile.h"

#include "channels/retryschedule.h"
#include "protocol/linktimers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kProbeMs = 10;

// TCP_QUICKACK 0 holds the acknowledgements back; 2 sends the one held and goes on holding.
void acknowledgeOnlyOnRead(qintptr descriptor, bool readNow)
{
    const int value = readNow ? 2 : 0;
    if (descriptor >= 0)
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &value, sizeof value);
}

// A decimal number from 1 to limit, without leading zeros, at the start of bytes.
bool takeNumber(QByteArrayView &bytes, int limit, int *number)
{
    qsizetype end = 0;
    qint64 value = 0;
    while (end < bytes.size() && end < 10 && bytes[end] >= '0' && bytes[end] <= '9')
        value = value * 10 + (bytes[end++] - '0');
    if (end == 0 || bytes[0] == '0' || value < 1 || value > limit)
        return false;
    *number = int(value);
    bytes = bytes.sliced(end);
    return true;
}

// Takes the hostile host's names (each followed by suffix) or, on the chat channel, its
// lines out of data, in one pass however many reads ran together; returns how many.
int takeOutHostile(QByteArray &data, Channel channel, QByteArrayView suffix)
{
    const QByteArrayView marker = channel == Channel::Chat ? "<EVE" : "EVE";
    qsizetype at = data.indexOf(marker);
    if (at < 0)
        return 0;
    const qsizetype length = channel == Channel::Chat
                                 ? HostileHosts::chatLine(0).size()
                                 : HostileHosts::name(0).size() + suffix.size();
    QByteArray kept;
    kept.reserve(data.size());
    qsizetype from = 0;
    int count = 0;
    for (; at >= 0; at = data.indexOf(marker, from)) {
        kept += QByteArrayView(data).sliced(from, at - from);
        from = std::min(data.size(), at + length);
        ++count;
    }
    kept += QByteArrayView(data).sliced(from);
    data = kept;
    return count;
}

bool takeLiteral(QByteArrayView &bytes, QByteArrayView literal)
{
    if (!bytes.startsWith(literal))
        return false;
    bytes = bytes.sliced(literal.size());
    return true;
}

} // namespace

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray loadNickname(int index)
{
    return 'T' + QByteArray::number(index + 1);
}

bool parseNotices(QByteArrayView bytes, QByteArrayView suffix, int terminals,
                  std::vector<int> *numbers)
{
    numbers->clear();
    while (!bytes.isEmpty()) {
        int n = 0;
        if (!takeLiteral(bytes, "T") || !takeNumber(bytes, terminals, &n) ||
            !takeLiteral(bytes, suffix))
            return false;
        numbers->push_back(n);
    }
    return true;
}

bool parseChat(QByteArrayView bytes, std::vector<ChatLine> *lines)
{
    lines->clear();
    while (!bytes.isEmpty()) {
        ChatLine line{};
        if (!takeLiteral(bytes, "<T") || !takeNumber(bytes, 1 << 30, &line.sender) ||
            !takeLiteral(bytes, "> msg ") || !takeNumber(bytes, 1 << 30, &line.round))
            return false;
        // The first round is 1; rounds are counted from 0 here.
        --line.round;
        lines->push_back(line);
    }
    return true;
}

LoadWorker::LoadWorker(const LoadShared &shared, int threadIndex, int threadCount)
    : m_shared(shared), m_threadIndex(threadIndex), m_threadCount(threadCount)
{
    const int mine = (shared.terminals - threadIndex + threadCount - 1) / threadCount;
    m_terminals.resize(size_t(std::max(0, mine)));
    // Every terminal gets every line.
    m_latencies.reserve(m_terminals.size() * size_t(shared.rounds));
}

LoadWorker::~LoadWorker() = default;

LoadWorker::Terminal *LoadWorker::terminal(int index)
{
    if (index % m_threadCount != m_threadIndex)
        return nullptr;
    const size_t slot = size_t(index / m_threadCount);
    return slot < m_terminals.size() ? m_terminals[slot].get() : nullptr;
}

void LoadWorker::startLagProbe()
{
    m_lag.reserve(20000);
    m_probe = new QTimer(this);
    m_probe->setSingleShot(true);
    m_probe->setTimerType(Qt::PreciseTimer);
    connect(m_probe, &QTimer::timeout, this, [this] {
        m_lag.push_back({m_probeDue, monotonicNs() - m_probeDue});
        armLagProbe();
    });
    armLagProbe();
}

void LoadWorker::armLagProbe()
{
    if (m_closing || m_lag.size() >= 30000)
        return;
    m_probeDue = monotonicNs() + qint64(kProbeMs) * 1000000;
    m_probe->start(kProbeMs);
}

LoadWorker::Terminal::Terminal() = default;
LoadWorker::Terminal::~Terminal() = default;

void LoadWorker::connectTerminal(int index, const QHostAddress &local)
{
    const size_t slot = size_t(index / m_threadCount);
    if (index % m_threadCount != m_threadIndex || slot >= m_terminals.size())
        return;
    auto owned = std::make_unique<Terminal>();
    Terminal *t = owned.get();
    m_terminals[slot] = std::move(owned);
    t->record.index = index;
    t->record.chatSeen.assign(size_t(m_shared.rounds), 0);
    t->local = local;
    open(*t);
}

void LoadWorker::open(Terminal &t)
{
    for (const Channel channel : allChannels) {
        auto *socket = new QTcpSocket(this);
        t.sockets[size_t(indexOf(channel))] = socket;
        connect(socket, &QTcpSocket::connected, this,
                [this, &t, channel] { onConnected(t, channel); });
        connect(socket, &QTcpSocket::readyRead, this,
                [this, &t, channel, socket] { onRead(t, channel, socket); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, &t, channel, socket] {
            onEnd(t, QString::fromLatin1(nameOf(channel)) % u": " % socket->errorString());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, &t, channel] {
            onEnd(t, QString::fromLatin1(nameOf(channel)) % u": closed by the server");
        });
        // Every terminal on an address of its own, as on a LAN, within the range this
        // benchmark may use.
        if (!socket->bind(t.local))
            fail(t, QStringLiteral("cannot bind to ") % t.local.toString() % u": " %
                        socket->errorString());
        socket->connectToHost(m_shared.server, portOf(channel));
    }
}

void LoadWorker::onConnected(Terminal &t, Channel channel)
{
    if (!m_retrying) {
        ++t.record.connected;
        ++connectedSockets;
        return;
    }
    QTcpSocket *socket = t.sockets[size_t(indexOf(channel))];
    // The server sends a connection's next message once the last is acknowledged and 5 ms
    // have passed. A terminal reads within microseconds of an arrival, so acknowledging on
    // arrival or once read comes to the same; two threads playing 500 machines fall behind
    // as a whole LAN comes back at once, and an acknowledgement on arrival would let their
    // own lateness glue messages. Acknowledged only once read, a late thread slows the run
    // down instead, and a server that did not wait would still be seen gluing.
    acknowledgeOnlyOnRead(socket->socketDescriptor(), false);
    // As the terminal does: each channel that says who it is says so as soon as it is up.
    if (channel == Channel::UserList || channel == Channel::Join)
        socket->write(loadNickname(t.record.index));
    if (++t.up < int(allChannels.size()))
        return;
    t.schedule->succeeded();
    t.record.upNs = monotonicNs();
    ++backUp;
    if (t.record.relist.notices >= m_shared.terminals) {
        t.record.listedNs = t.record.upNs;
        ++relisted;
    }
}

void LoadWorker::onEnd(Terminal &t, const QString &what)
{
    if (m_closing)
        return;
    if (!m_retrying) {
        fail(t, what);
        return;
    }
    if (t.up == int(allChannels.size())) {
        ++t.record.ends;
        t.record.endNs = monotonicNs();
        t.record.firstAttemptNs = 0;
        ++ends;
        --backUp;
        if (t.record.listedNs > 0)
            --relisted;
    } else {
        ++t.record.failedAttempts;
    }
    closeAll(t);
    t.retry->start(int(t.schedule->nextWaitMs()));
}

void LoadWorker::closeAll(Terminal &t)
{
    for (QTcpSocket *&socket : t.sockets) {
        if (!socket)
            continue;
        // Its ending must not count as another end.
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        socket = nullptr;
    }
    t.up = 0;
}

void LoadWorker::attempt(Terminal &t)
{
    ++t.record.attempts;
    t.record.relist = {};
    t.record.rejoin = {};
    t.record.attemptNs = monotonicNs();
    if (t.record.firstAttemptNs == 0)
        t.record.firstAttemptNs = t.record.attemptNs;
    t.record.upNs = 0;
    t.record.listedNs = 0;
    open(t);
}

void LoadWorker::retryOnEnd(bool spread)
{
    m_retrying = true;
    backUp = 0;
    relisted = 0;
    ends = 0;
    const RetrySchedule::Clock clock = [] { return monotonicNs() / 1000000; };
    const RetrySchedule::Random random =
        spread ? RetrySchedule::Random(RetrySchedule::systemRandom) : [] { return 0.5; };
    for (const auto &owned : m_terminals) {
        if (!owned)
            continue;
        Terminal &t = *owned;
        TerminalRecord &r = t.record;
        r.relist = {};
        r.rejoin = {};
        r.attempts = r.failedAttempts = r.ends = 0;
        r.endNs = r.firstAttemptNs = r.attemptNs = r.upNs = r.listedNs = 0;
        t.schedule = std::make_unique<RetrySchedule>(clock, random);
        if (!t.retry) {
            t.retry = new QTimer(this);
            t.retry->setSingleShot(true);
            // A coarse timer would gather the waits that the spread scatters.
            t.retry->setTimerType(Qt::PreciseTimer);
            connect(t.retry, &QTimer::timeout, this, [this, &t] { attempt(t); });
        }
        // Up, and long enough for its next end to start the schedule afresh.
        t.up = 0;
        for (QTcpSocket *socket : t.sockets)
            t.up += socket && socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
        if (t.up == int(allChannels.size()))
            ++backUp;
        else
            fail(t, QStringLiteral("not connected when the restart began"));
    }
}

void LoadWorker::announce(int index)
{
    if (Terminal *t = terminal(index)) {
        const QByteArray nickname = loadNickname(index);
        t->sockets[indexOf(Channel::UserList)]->write(nickname);
        t->sockets[indexOf(Channel::Join)]->write(nickname);
    }
}

void LoadWorker::sendChat(int index, int round)
{
    if (Terminal *t = terminal(index)) {
        const QByteArray line =
            '<' + loadNickname(index) + "> msg " + QByteArray::number(round + 1);
        m_shared.sentNs[size_t(round)].store(monotonicNs(), std::memory_order_release);
        t->sockets[indexOf(Channel::Chat)]->write(line);
    }
}

void LoadWorker::leave(int index)
{
    if (Terminal *t = terminal(index))
        t->sockets[indexOf(Channel::Leave)]->write(loadNickname(index));
}

void LoadWorker::shutDown()
{
    m_closing = true;
    delete m_probe;
    m_probe = nullptr;
    for (const auto &t : m_terminals) {
        if (!t)
            continue;
        delete t->retry;
        t->retry = nullptr;
        for (QTcpSocket *&socket : t->sockets) {
            if (!socket)
                continue;
            socket->disconnectFromHost();
            delete socket;
            socket = nullptr;
        }
    }
}

std::vector<TerminalRecord> LoadWorker::records() const
{
    std::vector<TerminalRecord> out;
    out.reserve(m_terminals.size());
    for (const auto &t : m_terminals) {
        if (t)
            out.push_back(t->record);
    }
    return out;
}

void LoadWorker::onRead(Terminal &t, Channel channel, QTcpSocket *socket)
{
    const qint64 now = monotonicNs();
    QByteArray data = socket->readAll();
    // As the terminal does: the server sends the next message only once this one is
    // acknowledged, and a delayed acknowledgement would cost every message 40 ms.
    if (!data.isEmpty() && m_retrying)
        acknowledgeOnlyOnRead(socket->socketDescriptor(), true);
    else if (!data.isEmpty())
        acknowledgeNow(socket->socketDescriptor());
    if (m_shared.hostile) {
        const int taken = takeOutHostile(
            data, channel, channel == Channel::Join ? m_shared.joinSuffix : QByteArray());
        if (channel == Channel::Chat)
            hostileDeliveries += taken;
    }
    if (data.isEmpty())
        return;
    switch (channel) {
    case Channel::Chat:
        readChat(t, data, now);
        return;
    case Channel::UserList:
        if (!m_retrying) {
            if (readNotices(t.record.list, data, {}))
                ++listComplete;
        } else if (readNotices(t.record.relist, data, {}) && t.up == int(allChannels.size())) {
            t.record.listedNs = now;
            ++relisted;
        }
        return;
    case Channel::Join:
        if (m_retrying)
            readNotices(t.record.rejoin, data, m_shared.joinSuffix);
        else if (readNotices(t.record.join, data, m_shared.joinSuffix))
            ++joinComplete;
        return;
    case Channel::Leave:
        if (readNotices(t.record.leave, data, {}))
            ++leaveComplete;
        return;
    }
}

bool LoadWorker::readNotices(NoticeRecord &r, const QByteArray &data, QByteArrayView suffix)
{
    const int before = r.notices;
    r.bytes += data;
    ++r.reads;
    if (parseNotices(data, suffix, m_shared.terminals, &m_numbers)) {
        r.notices += int(m_numbers.size());
        r.merged += int(m_numbers.size()) - 1;
    } else {
        // Cut or garbled; the bytes of all reads together are checked afterwards.
        ++r.malformed;
        r.notices += int(suffix.isEmpty() ? data.count('T') : data.count(suffix));
    }
    return before < m_shared.terminals && r.notices >= m_shared.terminals;
}

void LoadWorker::readChat(Terminal &t, const QByteArray &data, qint64 nowNs)
{
    TerminalRecord &r = t.record;
    ++r.chatReads;
    if (!parseChat(data, &m_parsed)) {
        ++r.chatMalformed;
        return;
    }
    r.chatMerged += int(m_parsed.size()) - 1;
    for (const ChatLine &line : m_parsed) {
        if (line.round < 0 || line.round >= m_shared.rounds) {
            ++r.chatMalformed;
            continue;
        }
        if (line.sender != line.round % m_shared.terminals + 1)
            ++r.chatWrongSender;
        const qint64 sent = m_shared.sentNs[size_t(line.round)].load(std::memory_order_acquire);
        if (sent > 0)
            m_latencies.push_back(nowNs - sent);
        quint8 &seen = r.chatSeen[size_t(line.round)];
        if (seen == 0)
            ++chatDeliveries;
        if (seen < 255)
            ++seen;
    }
}

void LoadWorker::fail(Terminal &t, const QString &what)
{
    if (m_closing)
        return;
    if (t.record.errors++ == 0)
        t.record.firstError = what;
    ++errors;
}
