#include "serverload_terminals.h"

#include "serverload_hostile.h"
#include "serverload_link.h"

#include "channels/retryschedule.h"
#include "protocol/linktimers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kProbeMs = 10;

// TCP_QUICKACK 0 holds the acknowledgements back; 2 sends the one held and goes on holding,
// but only if one was held: where it had gone already (with data of ours, or on a read that
// emptied the queue) the kernel stops holding them, and without the 0 after it every later
// message would be acknowledged on arrival.
void acknowledgeOnlyOnRead(qintptr descriptor, bool readNow)
{
    if (descriptor < 0)
        return;
    const int send = 2, hold = 0;
    if (readNow)
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &send, sizeof send);
    ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &hold, sizeof hold);
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
    size_t linked = 0;
    for (int i = threadIndex; i < shared.terminals; i += threadCount)
        linked += shared.onLink(i) ? 1 : 0;
    m_latencies.reserve((m_terminals.size() - linked) * size_t(shared.rounds));
    m_linkLatencies.reserve(linked * size_t(shared.rounds));
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
    t->record.onLink = m_shared.onLink(index);
    t->record.chatSeen.assign(size_t(m_shared.rounds), 0);
    t->local = local;
    open(*t);
}

void LoadWorker::open(Terminal &t)
{
    if (t.record.onLink) {
        openLink(t);
        return;
    }
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

void LoadWorker::openLink(Terminal &t)
{
    auto *link = new LoadLink(this);
    t.link = link;
    connect(link, &QSslSocket::encrypted, this, [this, &t] { onLinkUp(t); });
    connect(link, &QSslSocket::readyRead, this, [this, &t] { onLinkRead(t); });
    connect(link, &QSslSocket::errorOccurred, this,
            [this, &t, link] { onEnd(t, u"link: " % link->errorString()); });
    connect(link, &QSslSocket::disconnected, this,
            [this, &t] { onEnd(t, QStringLiteral("link: closed by the server")); });
    if (!link->bind(t.local))
        fail(t,
             QStringLiteral("cannot bind to ") % t.local.toString() % u": " % link->errorString());
    link->connectToHostEncrypted(m_shared.server.toString(), LinkPort);
}

void LoadWorker::onConnected(Terminal &t, Channel channel)
{
    QTcpSocket *socket = t.sockets[size_t(indexOf(channel))];
    if (!m_retrying) {
        if (m_shared.acknowledgeOnRead)
            acknowledgeOnlyOnRead(socket->socketDescriptor(), false);
        ++t.record.connected;
        ++connectedSockets;
        return;
    }
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
    if (++t.up == int(allChannels.size()))
        onBackUp(t);
}

void LoadWorker::onLinkUp(Terminal &t)
{
    constexpr int channels = int(allChannels.size());
    if (!m_retrying) {
        t.record.connected += channels;
        connectedSockets += channels;
        return;
    }
    send(t, Channel::UserList, loadNickname(t.record.index));
    send(t, Channel::Join, loadNickname(t.record.index));
    t.up = channels;
    onBackUp(t);
}

void LoadWorker::onBackUp(Terminal &t)
{
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
    if (t.link) {
        t.link->disconnect(this);
        t.link->abort();
        t.link->deleteLater();
        t.link = nullptr;
    }
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
        if (t.link && t.link->isEncrypted() && t.link->state() == QAbstractSocket::ConnectedState)
            t.up = int(allChannels.size());
        if (t.up == int(allChannels.size()))
            ++backUp;
        else
            fail(t, QStringLiteral("not connected when the restart began"));
    }
}

void LoadWorker::send(Terminal &t, Channel channel, const QByteArray &message)
{
    if (t.link) {
        t.link->send(channel, message);
        return;
    }
    QTcpSocket *socket = t.sockets[size_t(indexOf(channel))];
    if (!socket)
        return;
    socket->write(message);
    if (!m_shared.acknowledgeOnRead)
        return;
    // The segment carrying it acknowledges whatever has come, read or not, and the server
    // may then send the next message before the last is read: their read together is this
    // terminal's doing, not the server's. Anything still unread once it has gone may have
    // been acknowledged so.
    socket->flush();
    int unread = 0;
    if (::ioctl(int(socket->socketDescriptor()), FIONREAD, &unread) == 0 && unread > 0)
        t.wroteOverUnread[size_t(indexOf(channel))] = true;
}

void LoadWorker::announce(int index)
{
    if (Terminal *t = terminal(index)) {
        const QByteArray nickname = loadNickname(index);
        send(*t, Channel::UserList, nickname);
        send(*t, Channel::Join, nickname);
    }
}

void LoadWorker::sendChat(int index, int round)
{
    if (Terminal *t = terminal(index)) {
        const QByteArray line =
            '<' + loadNickname(index) + "> msg " + QByteArray::number(round + 1);
        m_shared.sentNs[size_t(round)].store(monotonicNs(), std::memory_order_release);
        send(*t, Channel::Chat, line);
    }
}

void LoadWorker::leave(int index)
{
    if (Terminal *t = terminal(index))
        send(*t, Channel::Leave, loadNickname(index));
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
        if (t->link) {
            t->link->disconnectFromHost();
            delete t->link;
            t->link = nullptr;
        }
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
    if (!data.isEmpty() && (m_retrying || m_shared.acknowledgeOnRead))
        acknowledgeOnlyOnRead(socket->socketDescriptor(), true);
    else if (!data.isEmpty())
        acknowledgeNow(socket->socketDescriptor());
    take(t, channel, std::move(data), now,
         std::exchange(t.wroteOverUnread[size_t(indexOf(channel))], false));
}

void LoadWorker::onLinkRead(Terminal &t)
{
    const qint64 now = monotonicNs();
    LoadLink *link = t.link;
    while (const std::optional<LinkFrame> frame = link->nextFrame()) {
        if (frame->kind == FrameKind::PlainUsers) {
            ++t.record.plainUsersTold;
            t.record.plainUsers = *LinkFrames::plainUsers(frame->payload);
        } else {
            take(t, frame->channel(), frame->payload, now);
        }
    }
    if (link->isBroken()) {
        fail(t, u"link: " % link->decodeError());
        link->disconnect(this);
        link->abort();
    }
}

void LoadWorker::take(Terminal &t, Channel channel, QByteArray data, qint64 now, bool behindWrite)
{
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
        readChat(t, data, now, behindWrite);
        return;
    case Channel::UserList:
        if (!m_retrying) {
            if (readNotices(t.record.list, data, {}, behindWrite))
                ++listComplete;
        } else if (readNotices(t.record.relist, data, {}, behindWrite) &&
                   t.up == int(allChannels.size())) {
            t.record.listedNs = now;
            ++relisted;
        }
        return;
    case Channel::Join:
        if (m_retrying)
            readNotices(t.record.rejoin, data, m_shared.joinSuffix, behindWrite);
        else if (readNotices(t.record.join, data, m_shared.joinSuffix, behindWrite))
            ++joinComplete;
        return;
    case Channel::Leave:
        if (readNotices(t.record.leave, data, {}, behindWrite))
            ++leaveComplete;
        return;
    }
}

bool LoadWorker::readNotices(NoticeRecord &r, const QByteArray &data, QByteArrayView suffix,
                             bool behindWrite)
{
    const int before = r.notices;
    r.bytes += data;
    ++r.reads;
    if (parseNotices(data, suffix, m_shared.terminals, &m_numbers)) {
        r.notices += int(m_numbers.size());
        (behindWrite ? r.mergedBehindWrite : r.merged) += int(m_numbers.size()) - 1;
    } else {
        // Cut or garbled; the bytes of all reads together are checked afterwards.
        ++r.malformed;
        r.notices += int(suffix.isEmpty() ? data.count('T') : data.count(suffix));
    }
    return before < m_shared.terminals && r.notices >= m_shared.terminals;
}

void LoadWorker::readChat(Terminal &t, const QByteArray &data, qint64 nowNs, bool behindWrite)
{
    TerminalRecord &r = t.record;
    ++r.chatReads;
    if (!parseChat(data, &m_parsed)) {
        ++r.chatMalformed;
        return;
    }
    (behindWrite ? r.chatMergedBehindWrite : r.chatMerged) += int(m_parsed.size()) - 1;
    for (const ChatLine &line : m_parsed) {
        if (line.round < 0 || line.round >= m_shared.rounds) {
            ++r.chatMalformed;
            continue;
        }
        if (line.sender != line.round % m_shared.terminals + 1)
            ++r.chatWrongSender;
        const qint64 sent = m_shared.sentNs[size_t(line.round)].load(std::memory_order_acquire);
        if (sent > 0)
            (r.onLink ? m_linkLatencies : m_latencies).push_back(nowNs - sent);
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
