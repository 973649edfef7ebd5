// The server against arbitrary bytes on each of its ports, from several connections that
// come and go. Whatever arrives, it must not crash, must keep accepting, and once every
// connection has closed it must hold no connection and nobody on its list.
#include "chatserver.h"
#include "fuzzsupport.h"
#include "protocol/channel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>

#include <array>
#include <memory>
#include <vector>

namespace {

const QHostAddress kAddress(QStringLiteral("127.0.0.252"));
constexpr std::array<quint16, 4> kPorts = {portOf(Channel::Chat), portOf(Channel::UserList),
                                           portOf(Channel::Leave), portOf(Channel::Join)};

bool pumpUntil(const std::function<bool()> &done, int msec = 3000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > msec)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

ChatServer &server()
{
    static int argc = 1;
    static char name[] = "fuzz_server";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vornel.*=false"));
    static ChatServer *s = [] {
        auto *cs = new ChatServer(&app);
        ServerLimits limits;
        limits.maxArrivalBytes = 512; // reach the oversized path with small inputs
        limits.maxNicknameBytes = 16;
        limits.sendGap = std::chrono::milliseconds(0);
        cs->setLimits(limits);
        if (!cs->listen(kAddress)) {
            std::fprintf(stderr, "cannot listen on %s\n", qPrintable(kAddress.toString()));
            std::abort();
        }
        return cs;
    }();
    return *s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ChatServer &chat = server();
    FuzzInput in(data, size);
    std::vector<std::unique_ptr<QTcpSocket>> clients;

    // Each step: an op byte, then for writes a length and that many bytes.
    for (int step = 0; step < 64 && !in.atEnd(); ++step) {
        const uint8_t op = in.byte();
        const quint16 port = kPorts[op % 4];
        switch ((op >> 2) % 4) {
        case 0: { // open a connection
            if (clients.size() < 12) {
                auto s = std::make_unique<QTcpSocket>();
                s->connectToHost(kAddress, port);
                if (!s->waitForConnected(2000))
                    FUZZ_CHECK(false, QStringLiteral("server stopped accepting on %1").arg(port));
                clients.push_back(std::move(s));
            }
            break;
        }
        case 1:
        case 2: { // write to one of the open connections
            if (clients.empty())
                break;
            QTcpSocket *s = clients[(op >> 4) % clients.size()].get();
            QByteArray bytes;
            const int length = in.byte() * ((op & 0x80) ? 8 : 1);
            for (int i = 0; i < length; ++i)
                bytes.append(char(in.byte()));
            s->write(bytes);
            s->flush();
            pumpUntil([s] { return s->bytesToWrite() == 0; }, 500);
            break;
        }
        default: { // close one, sometimes with a reset
            if (clients.empty())
                break;
            const size_t i = (op >> 4) % clients.size();
            if (op & 0x80)
                clients[i]->abort();
            else
                clients[i]->disconnectFromHost();
            clients.erase(clients.begin() + qsizetype(i));
            break;
        }
        }
        // Let the server take in what has arrived so far; drain what it sends back.
        QCoreApplication::processEvents();
        for (const auto &c : clients)
            c->readAll();
    }

    for (const auto &c : clients)
        c->disconnectFromHost();
    clients.clear();
    const bool settled = pumpUntil([&chat] { return chat.connectionCount() == 0; });
    FUZZ_CHECK(settled, QStringLiteral("%1 connections left open").arg(chat.connectionCount()));
    FUZZ_CHECK(chat.nicknames().isEmpty(),
               QStringLiteral("%1 nicknames left on the list").arg(chat.nicknames().size()));
    for (const QByteArray &n : chat.nicknames())
        FUZZ_CHECK(n.size() <= chat.limits().maxNicknameBytes, hex(n));
    return 0;
}
