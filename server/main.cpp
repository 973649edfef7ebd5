#include "chatserver.h"
#include "serverlog.h"
#include "signalwatcher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

// Every connection takes a descriptor; the usual soft limit of 1024 is too close to the
// connection cap.
void raiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

int main(int argc, char *argv[])
{
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} "
                                      "%{if-warning}warning: %{endif}"
                                      "%{if-critical}error: %{endif}"
                                      "%{if-fatal}fatal: %{endif}%{message}"));
    // Qt's own event loop handles thousands of sockets with far less work per message than
    // the glib one, whose cost grows with every open connection.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vornel-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORNEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Chat server for Vornel terminals on a local network.\n"
                       "Ports: %1 chat, %2 user list, %3 join, %4 leave.")
            .arg(portOf(Channel::Chat))
            .arg(portOf(Channel::UserList))
            .arg(portOf(Channel::Join))
            .arg(portOf(Channel::Leave)));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Listen on ADDRESS only, instead of on all interfaces."),
        QStringLiteral("ADDRESS"));
    parser.addOption(listenOption);
    parser.process(app);

    QHostAddress address(QHostAddress::Any);
    if (parser.isSet(listenOption) && !address.setAddress(parser.value(listenOption))) {
        std::fprintf(stderr, "vornel-server: not an IP address: %s\n",
                     qPrintable(parser.value(listenOption)));
        return 2;
    }

    // A client gone mid-write must not kill the server.
    std::signal(SIGPIPE, SIG_IGN);
    SignalWatcher signalWatcher;
    if (!signalWatcher.isValid()) {
        qCCritical(lcServer) << "cannot catch SIGINT and SIGTERM";
        return 1;
    }
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, [](int signal) {
        qCInfo(lcServer).noquote() << QStringLiteral("signal %1, stopping").arg(signal);
        QCoreApplication::quit();
    });

    ChatServer server;
    raiseDescriptorLimit(rlim_t(server.limits().maxConnections) + 64);
    if (!server.listen(address)) {
        qCCritical(lcServer).noquote() << server.errorString();
        return 1;
    }
    const int status = app.exec();
    server.close();
    qCInfo(lcServer) << "stopped";
    return status;
}
