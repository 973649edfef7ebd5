// Arrivals kept apart while the window's thread is busy. The real server, on a thread of its
// own, relays chat lines from six senders at its own pace, eight lines a second each, while
// the thread that handles the terminal's arrivals is kept busy in 50 ms blocks, as painting a
// long log or a slow machine would. A read that holds more than one line shows as one log
// line: the count of such merged reads is the figure, for a session that reads on its own
// thread against one that reads on the busy thread, one after the other in the same run.
//
// VORNEL_ARRIVAL_ROUNDS sets how many seconds each sender sends (default 3).
#include "channels/chatsession.h"
#include "chatserver.h"
#include "protocol/channel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString kServerAddress = QStringLiteral("127.0.0.220");
constexpr int kSenders = 6;        // from 127.0.0.221 up
constexpr int kLinesPerSecond = 8; // each
constexpr int kBusyBlockMs = 50;
constexpr int kDrainLimitMs = 30000;

// The server and the senders, with an event loop of their own.
class LanThread : public QThread
{
    Q_OBJECT

public:
    explicit LanThread(int rounds) : m_rounds(rounds) {}

signals:
    void ready(bool ok);
    void sendRequested();
    void allSent();

protected:
    void run() override
    {
        ChatServer server;
        if (!server.listen(QHostAddress(kServerAddress))) {
            emit ready(false);
            return;
        }
        // Each sender lists its nickname first, from its own address: the server relays only
        // lines of listed nicknames.
        std::vector<std::unique_ptr<QTcpSocket>> senders, lists;
        for (int i = 0; i < kSenders; ++i) {
            const QHostAddress from(QStringLiteral("127.0.0.%1").arg(221 + i));
            auto list = std::make_unique<QTcpSocket>();
            list->bind(from);
            list->connectToHost(QHostAddress(kServerAddress), portOf(Channel::UserList));
            auto socket = std::make_unique<QTcpSocket>();
            socket->bind(from);
            socket->connectToHost(QHostAddress(kServerAddress), portOf(Channel::Chat));
            if (!list->waitForConnected(5000) || !socket->waitForConnected(5000)) {
                emit ready(false);
                return;
            }
            list->write("S" + QByteArray::number(i));
            list->flush();
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            senders.push_back(std::move(socket));
            lists.push_back(std::move(list));
        }
        int sent = 0;
        const int total = kSenders * kLinesPerSecond * m_rounds;
        std::vector<std::unique_ptr<QTimer>> timers;
        for (int i = 0; i < kSenders; ++i) {
            auto timer = std::make_unique<QTimer>();
            timer->setTimerType(Qt::PreciseTimer);
            timer->setInterval(1000 / kLinesPerSecond);
            QTcpSocket *socket = senders[size_t(i)].get();
            QTimer *t = timer.get();
            int line = 0;
            connect(t, &QTimer::timeout, socket, [=, this, &sent]() mutable {
                socket->write("<S" + QByteArray::number(i) + "> " + QByteArray::number(line));
                socket->flush();
                if (++line == kLinesPerSecond * m_rounds)
                    t->stop();
                if (++sent == total)
                    emit allSent();
            });
            // The senders start 20 ms apart, so lines come in from all of them in turn.
            connect(this, &LanThread::sendRequested, t,
                    [t, i] { QTimer::singleShot(20 * i, t, qOverload<>(&QTimer::start)); });
            timers.push_back(std::move(timer));
        }
        emit ready(true);
        exec();
    }

private:
    const int m_rounds;
};

struct Outcome
{
    int reads = 0;
    int lines = 0;
    int merged = 0; // reads holding more than one line
    bool complete = false;
};

void keepBusy(int msec)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < msec) {
    }
}

Outcome measure(LanThread &lan, ChatSession::Reading reading, int expected)
{
    Outcome outcome;
    ChatSession session(nullptr, reading);
    QObject::connect(&session, &ChatSession::chatArrived, &session, [&](const QByteArray &text) {
        const int lines = int(text.count('<'));
        ++outcome.reads;
        outcome.lines += lines;
        if (lines > 1)
            ++outcome.merged;
    });
    session.setNickname(QStringLiteral("OLCUM"));
    if (!session.connectTo(kServerAddress).ok())
        return outcome;
    // Connected and listed: the server has the chat connection too by now.
    QElapsedTimer clock;
    clock.start();
    while (session.userList().count() == 0 && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    emit lan.sendRequested();
    clock.restart();
    while (outcome.lines < expected && clock.elapsed() < kDrainLimitMs) {
        keepBusy(kBusyBlockMs);
        QCoreApplication::processEvents();
    }
    outcome.complete = outcome.lines == expected;
    session.leave();
    QCoreApplication::processEvents();
    return outcome;
}

void print(const char *what, const Outcome &o, int expected)
{
    std::printf("%s: %d lines of %d in %d reads, %d reads holding more than one line%s\n", what,
                o.lines, expected, o.reads, o.merged, o.complete ? "" : " (INCOMPLETE)");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vornel.*=false"));
    const int rounds = qEnvironmentVariableIsSet("VORNEL_ARRIVAL_ROUNDS")
                           ? qMax(1, qEnvironmentVariableIntValue("VORNEL_ARRIVAL_ROUNDS"))
                           : 3;
    const int expected = kSenders * kLinesPerSecond * rounds;

    std::vector<Outcome> outcomes;
    for (const ChatSession::Reading reading :
         {ChatSession::Reading::OwnThread, ChatSession::Reading::CallerThread}) {
        // A fresh server and senders for each, so that both see the same traffic.
        LanThread lan(rounds);
        bool ok = false;
        QObject::connect(
            &lan, &LanThread::ready, &app, [&](bool up) { ok = up; }, Qt::BlockingQueuedConnection);
        lan.start();
        QElapsedTimer clock;
        clock.start();
        while (!ok && lan.isRunning() && clock.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!ok) {
            std::printf("the server could not listen on %s or a sender not connect\n",
                        qPrintable(kServerAddress));
            lan.quit();
            lan.wait();
            return 1;
        }
        outcomes.push_back(measure(lan, reading, expected));
        lan.quit();
        lan.wait();
    }

    std::printf("%d senders, %d lines a second each for %d s, the reading thread busy in %d ms "
                "blocks\n",
                kSenders, kLinesPerSecond, rounds, kBusyBlockMs);
    print("reading on the session's own thread", outcomes[0], expected);
    print("reading on the busy thread", outcomes[1], expected);
    std::printf("merged reads, own thread against the busy thread (goal 0): %d against %d\n",
                outcomes[0].merged, outcomes[1].merged);
    return outcomes[0].complete && outcomes[1].complete ? 0 : 1;
}

#include "bench_arrivals.moc"
