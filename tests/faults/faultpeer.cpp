// Plays another machine of the fault lab, driven by the test over its stdin and stdout.
//
//   vornel-faultpeer terminal NICK SERVER
//       A terminal without a window: connects the four channels, says every line read on
//       stdin, and prints every read of its chat channel as "chat " and the read's bytes
//       percent-encoded, so that two messages in one read stay one line here, and every
//       departure as "left " and the nickname, percent-encoded; "lost N" when its connection
//       ends by itself and "back" when it has come back.
//   vornel-faultpeer paste NICK SERVER COUNT GAP_MS
//       Lists NICK, then sends COUNT lines "<NICK> line N" on a chat connection with Nagle's
//       algorithm on, as one write every GAP_MS, as a terminal pasting them would; prints
//       "pasted" after the last write.
// Both run until stdin closes.
#include "channels/chatsession.h"
#include "protocol/channel.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

void print(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Calls onLine for every line on stdin and quits at its end.
void readStdin(QCoreApplication &app, const std::function<void(QByteArray)> &onLine)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(
        notifier, &QSocketNotifier::activated, &app, [&app, notifier, pending, onLine] {
            char buffer[4096];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) {
                notifier->setEnabled(false);
                app.quit();
                return;
            }
            pending->append(buffer, got);
            for (qsizetype end; (end = pending->indexOf('\n')) >= 0; pending->remove(0, end + 1))
                onLine(pending->left(end));
        });
}

int terminal(QCoreApplication &app, const QString &nick, const QString &server)
{
    ChatSession session(&app);
    session.setNickname(nick);
    QObject::connect(&session, &ChatSession::chatArrived, &app,
                     [](const QByteArray &text) { print("chat " + text.toPercentEncoding()); });
    QObject::connect(&session, &ChatSession::leaveArrived, &app,
                     [](const QByteArray &nick) { print("left " + nick.toPercentEncoding()); });
    QObject::connect(&session, &ChatSession::socketError, &app,
                     [](int number) { print("error " + QByteArray::number(number)); });
    QObject::connect(&session, &ChatSession::connectionLost, &app,
                     [](int number) { print("lost " + QByteArray::number(number)); });
    QObject::connect(&session, &ChatSession::reconnected, &app, [] { print("back"); });
    readStdin(app,
              [&session](const QByteArray &line) { (void)session.say(QString::fromUtf8(line)); });
    if (!session.connectTo(server).ok())
        return 1;
    return app.exec();
}

int paste(QCoreApplication &app, const QByteArray &nick, const QString &server, int count,
          int gapMs)
{
    QTcpSocket list;
    QTcpSocket chat;
    QTimer typist;
    int sent = 0;
    QObject::connect(&list, &QTcpSocket::connected, &app, [&] {
        list.write(nick);
        chat.connectToHost(server, portOf(Channel::Chat));
    });
    QObject::connect(&chat, &QTcpSocket::connected, &app, [&] {
        chat.setSocketOption(QAbstractSocket::LowDelayOption, 0);
        typist.start(gapMs);
    });
    QObject::connect(&typist, &QTimer::timeout, &app, [&] {
        chat.write('<' + nick + "> line " + QByteArray::number(++sent));
        if (sent == count) {
            typist.stop();
            print("pasted");
        }
    });
    // Whatever is relayed back is read and let go, so the server is never held up by us.
    QObject::connect(&chat, &QTcpSocket::readyRead, &app, [&] { chat.readAll(); });
    QObject::connect(&list, &QTcpSocket::readyRead, &app, [&] { list.readAll(); });
    readStdin(app, [](const QByteArray &) {});
    list.connectToHost(server, portOf(Channel::UserList));
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == QStringLiteral("terminal"))
        return terminal(app, args.at(2), args.at(3));
    if (args.size() == 6 && args.at(1) == QStringLiteral("paste"))
        return paste(app, args.at(2).toLatin1(), args.at(3), args.at(4).toInt(),
                     args.at(5).toInt());
    std::fprintf(stderr, "usage: vornel-faultpeer terminal NICK SERVER\n"
                         "       vornel-faultpeer paste NICK SERVER COUNT GAP_MS\n");
    return 2;
}
