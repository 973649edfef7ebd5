// The server's rules against arbitrary traffic: connections from a few addresses on every
// channel that open, send any bytes, end in any way, while time passes. The relay core must
// send only to open connections, relay only what arrived, close each connection once, and
// once every connection has ended and the waits are over hold no connection, nobody on its
// list and nothing waiting.
#include "fuzzsupport.h"
#include "protocol/chatline.h"
#include "relaycore.h"

#include <QHash>
#include <QSet>

namespace {

constexpr int maxOpen = 12;

ServerLimits fuzzLimits()
{
    ServerLimits limits;
    limits.maxNicknameBytes = 16;
    limits.maxNamesPerHost = 3;
    limits.maxConnectionsPerHost = 6;
    // Small enough to reach the backlog's bounds with small inputs.
    limits.burstArrivals = 4;
    limits.arrivalsPerSecond = 20;
    limits.burstArrivalBytes = 512;
    limits.arrivalBytesPerSecond = 2048;
    limits.maxBacklogMessages = 8;
    limits.maxBacklogBytes = 1024;
    return limits;
}

class Network
{
public:
    explicit Network(RelayCore &core) : m_core(core) {}

    void open(Channel channel, const QString &host)
    {
        if (m_open.size() >= maxOpen || !m_core.refusal(host).isEmpty())
            return;
        const ConnectionId id = ++m_lastId;
        m_open.insert(id, channel);
        take(m_core.opened(id, channel, host, QStringLiteral("c%1").arg(id), now));
    }
    void send(ConnectionId id, const QByteArray &bytes)
    {
        if (m_open.value(id) == Channel::Chat)
            m_chatArrivals.insert(bytes);
        take(m_core.arrived(id, bytes, now));
    }
    void end(ConnectionId id, ConnectionEnd how)
    {
        m_open.remove(id);
        m_closing.remove(id);
        take(m_core.ended(id, how, now));
    }
    void wait(qint64 ms)
    {
        const qint64 until = now + ms;
        while (m_core.nextTickMs() >= 0 && m_core.nextTickMs() <= until) {
            now = std::max(now, m_core.nextTickMs());
            take(m_core.tick(now));
        }
        now = until;
    }
    QList<ConnectionId> open() const { return m_open.keys(); }

    qint64 now = 0;

private:
    void take(const RelayOutput &output)
    {
        for (const RelayOutput::Send &send : output.sends) {
            FUZZ_CHECK(m_open.contains(send.to) && !m_closing.contains(send.to),
                       QStringLiteral("sent to connection %1, not open").arg(send.to));
            const Channel channel = m_open.value(send.to);
            if (channel == Channel::Chat)
                FUZZ_CHECK(m_chatArrivals.contains(send.message), hex(send.message));
            else if (channel == Channel::Join)
                FUZZ_CHECK(send.message.size() <=
                               m_core.limits().maxNicknameBytes + joinNotice("").size(),
                           hex(send.message));
            else
                FUZZ_CHECK(send.message.size() <= m_core.limits().maxNicknameBytes,
                           hex(send.message));
        }
        const QList<RelayOutput::Close> closes = output.closes;
        for (const RelayOutput::Close &close : closes) {
            FUZZ_CHECK(m_open.contains(close.id) && !m_closing.contains(close.id),
                       QStringLiteral("closed connection %1 twice").arg(close.id));
            m_closing.insert(close.id);
        }
        FUZZ_CHECK(
            m_core.nextTickMs() < 0 || m_core.nextTickMs() >= now,
            QStringLiteral("tick wanted in the past: %1 < %2").arg(m_core.nextTickMs()).arg(now));
        // As the network does, a little later.
        for (const RelayOutput::Close &close : closes)
            end(close.id, ConnectionEnd::Reset);
    }

    RelayCore &m_core;
    QHash<ConnectionId, Channel> m_open;
    QSet<ConnectionId> m_closing;
    QSet<QByteArray> m_chatArrivals;
    ConnectionId m_lastId = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RelayCore core(fuzzLimits());
    Network network(core);
    FuzzInput in(data, size);

    // Each step: an op byte, then what that op reads.
    for (int step = 0; step < 256 && !in.atEnd(); ++step) {
        const uint8_t op = in.byte();
        const QList<ConnectionId> open = network.open();
        switch (op & 7) {
        case 0:
            network.open(allChannels[(op >> 3) % 4], QStringLiteral("10.0.0.%1").arg(op >> 5));
            break;
        case 1:
        case 2:
        case 3: {
            if (open.isEmpty())
                break;
            QByteArray bytes;
            const int length = in.byte() * ((op & 4) ? 8 : 1);
            for (int i = 0; i < length; ++i)
                bytes.append(char(in.byte()));
            network.send(open.at((op >> 3) % open.size()), bytes);
            break;
        }
        case 4:
        case 5:
            if (!open.isEmpty())
                network.end(open.at((op >> 3) % open.size()), ConnectionEnd(op % 3));
            break;
        default:
            network.wait(qint64(in.byte()) << (op & 1 ? 4 : 0));
            break;
        }
        FUZZ_CHECK(core.connectionCount() == network.open().size(),
                   QStringLiteral("%1 connections, %2 open")
                       .arg(core.connectionCount())
                       .arg(network.open().size()));
    }

    for (const ConnectionId id : network.open())
        network.end(id, ConnectionEnd::Closed);
    network.wait(core.limits().nameWait.count() + 60000);
    FUZZ_CHECK(core.connectionCount() == 0,
               QStringLiteral("%1 connections left open").arg(core.connectionCount()));
    FUZZ_CHECK(core.nicknames().isEmpty(),
               QStringLiteral("%1 nicknames left on the list").arg(core.nicknames().size()));
    FUZZ_CHECK(core.nextTickMs() < 0, QStringLiteral("still waiting at the end"));
    return 0;
}
