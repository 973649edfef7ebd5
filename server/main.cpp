#include "chatserver.h"
#include "protocol/discovery.h"
#include "protocol/fingerprint.h"
#include "protocol/linkframes.h"
#include "protocol/servicetxt.h"
#include "serveridentity.h"
#include "serverlog.h"
#include "serviceannouncer.h"
#include "signalwatcher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSslSocket>

#include <algorithm>
#include <chrono>
#include <climits>
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

// Exit status 2, as for every mistake on the command line.
int usageError(const QString &message)
{
    std::fprintf(stderr, "vornel-server: %s\nTry 'vornel-server --help' for more information.\n",
                 qPrintable(message));
    return 2;
}

struct CountOption
{
    QCommandLineOption option;
    int *value;
    int most; // what the system takes
};

} // namespace

int main(int argc, char *argv[])
{
    setUpServerLog();
    // Qt's own event loop handles thousands of sockets with far less work per message than
    // the glib one, whose cost grows with every open connection.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // --help names the program as it is installed, not by the path it was started from.
    char programName[] = "vornel-server";
    argv[0] = programName;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vornel-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORNEL_VERSION));

    ServerLimits limits;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Chat server for Vornel terminals on a local network.\n"
            "Ports: %1 chat, %2 user list, %3 join, %4 leave, and %5 for the encrypted link "
            "(TLS 1.3) that carries all four for Vornel terminals.")
            .arg(portOf(Channel::Chat))
            .arg(portOf(Channel::UserList))
            .arg(portOf(Channel::Join))
            .arg(portOf(Channel::Leave))
            .arg(LinkPort));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Listen on ADDRESS only (default: all interfaces)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption allowOption(
        QStringLiteral("allow"),
        QStringLiteral("Let in hosts of network CIDR (such as 192.168.1.0/24) only; may be "
                       "given more than once (default: loopback, 10.0.0.0/8, 172.16.0.0/12, "
                       "192.168.0.0/16, fc00::/7 and link-local)."),
        QStringLiteral("CIDR"));
    const QCommandLineOption nameOption(
        QStringLiteral("name"),
        QStringLiteral("Announce the server on the LAN under NAME, 1 to 63 bytes (default: "
                       "this machine's host name)."),
        QStringLiteral("NAME"));
    const QCommandLineOption noAnnounceOption(
        QStringLiteral("no-announce"),
        QStringLiteral("Do not announce the server on the LAN. Otherwise, while it listens "
                       "anywhere but on loopback alone, it is announced through the Avahi "
                       "daemon as a DNS-SD service of type %1 on the chat port, where it "
                       "listens, so that terminals offer it without its address.")
            .arg(ServiceType));
    const QCommandLineOption certificateOption(
        QStringLiteral("certificate"),
        QStringLiteral("Present the certificate in FILE (PEM) on the encrypted link, such as one "
                       "the organisation's CA issued for this server's DNS name; needs --key. "
                       "Otherwise the server's own, made at its first start and kept in its "
                       "state directory ($STATE_DIRECTORY, or ~/.local/state/vornel-server)."),
        QStringLiteral("FILE"));
    const QCommandLineOption keyOption(
        QStringLiteral("key"),
        QStringLiteral("The private key (PEM, without a passphrase) of the --certificate."),
        QStringLiteral("FILE"));
    const QCommandLineOption fingerprintOption(
        QStringLiteral("fingerprint"),
        QStringLiteral("Print the SHA-256 fingerprint of the certificate the encrypted link "
                       "presents, for users to compare with the one their terminal shows, and "
                       "exit."));
    const QCommandLineOption requireEncryptionOption(
        QStringLiteral("require-encryption"),
        QStringLiteral("Let terminals in on the encrypted link only: the four plain ports stay "
                       "closed, so terminals that cannot encrypt cannot join."));
    parser.addOption(listenOption);
    parser.addOption(allowOption);
    parser.addOption(certificateOption);
    parser.addOption(keyOption);
    parser.addOption(fingerprintOption);
    parser.addOption(requireEncryptionOption);
    parser.addOption(nameOption);
    parser.addOption(noAnnounceOption);
    const auto count = [&](const char *name, const QString &what, int *value,
                           const QString &unit = QStringLiteral("N"), int most = INT_MAX) {
        return CountOption{QCommandLineOption(QString::fromLatin1(name),
                                              what % QStringLiteral(" (default: %1).").arg(*value),
                                              unit),
                           value, most};
    };
    // Whole seconds on the command line; the kernel's own bounds.
    int keepaliveIdle = int(limits.link.idle.count());
    int keepaliveInterval = int(limits.link.interval.count());
    int sendTimeout =
        int(std::chrono::duration_cast<std::chrono::seconds>(limits.link.sendTimeout).count());
    const QString seconds = QStringLiteral("SECONDS");
    const CountOption counts[] = {
        count("max-connections", QStringLiteral("Connections in all"), &limits.maxConnections),
        count("max-connections-per-host", QStringLiteral("Connections from one address"),
              &limits.maxConnectionsPerHost),
        count("max-names-per-host", QStringLiteral("Nicknames listed from one address"),
              &limits.maxNamesPerHost),
        count("max-messages-per-second",
              QStringLiteral("Messages taken from one address a second, after a burst of %1; "
                             "more wait their turn")
                  .arg(limits.burstArrivals),
              &limits.arrivalsPerSecond),
        count("keepalive-idle",
              QStringLiteral("Seconds a connection may stay silent before its host is probed"),
              &keepaliveIdle, seconds, 32767),
        count("keepalive-interval", QStringLiteral("Seconds between probes"), &keepaliveInterval,
              seconds, 32767),
        count("keepalive-probes",
              QStringLiteral("Unanswered probes that end a connection, where no send timeout "
                             "ends it first"),
              &limits.link.probes, QStringLiteral("N"), 127),
        count("send-timeout",
              QStringLiteral("Seconds sent data or probes may go unacknowledged before the "
                             "connection, and every connection and name from its address, is "
                             "given up"),
              &sendTimeout, seconds, INT_MAX / 1000),
    };
    for (const CountOption &c : counts)
        parser.addOption(c.option);
    qint64 bytesPerSecond = limits.arrivalBytesPerSecond;
    const QCommandLineOption bytesOption(
        QStringLiteral("max-bytes-per-second"),
        QStringLiteral("Bytes taken from one address a second, after a burst of %1; more wait "
                       "their turn (default: %2).")
            .arg(limits.burstArrivalBytes)
            .arg(bytesPerSecond),
        QStringLiteral("N"));
    parser.addOption(bytesOption);
    // Only to measure what waiting for each message's acknowledgement costs.
    QCommandLineOption noAckWaitOption(QStringLiteral("no-ack-wait"),
                                       QStringLiteral("Send the next message once the last has "
                                                      "been sent, not acknowledged."));
    noAckWaitOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(noAckWaitOption);
    // Only to measure what the listen backlog saves a restart.
    QCommandLineOption backlogOption(QStringLiteral("listen-backlog"),
                                     QStringLiteral("Connections that may wait on each port to "
                                                    "be accepted."),
                                     QStringLiteral("N"));
    backlogOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(backlogOption);

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));

    QHostAddress address(QHostAddress::Any);
    if (parser.isSet(listenOption) && !address.setAddress(parser.value(listenOption)))
        return usageError(QStringLiteral("not an IP address: %1").arg(parser.value(listenOption)));
    const QString name =
        parser.isSet(nameOption) ? parser.value(nameOption) : ServiceAnnouncer::machineName();
    if (!ServiceAnnouncer::isValidName(name))
        return usageError(QStringLiteral("--name needs 1 to 63 bytes without control characters"));
    QList<SourceFilter::Subnet> allowed;
    for (const QString &text : parser.values(allowOption)) {
        SourceFilter::Subnet subnet;
        if (!SourceFilter::parse(text, &subnet))
            return usageError(QStringLiteral("not a network: %1").arg(text));
        allowed.append(subnet);
    }
    for (const CountOption &c : counts) {
        if (!parser.isSet(c.option))
            continue;
        bool ok = false;
        *c.value = parser.value(c.option).toInt(&ok);
        if (!ok || *c.value < 1 || *c.value > c.most)
            return usageError(QStringLiteral("--%1 needs a whole number from 1 to %2")
                                  .arg(c.option.names().constFirst())
                                  .arg(c.most));
    }
    limits.link.idle = std::chrono::seconds(keepaliveIdle);
    limits.link.interval = std::chrono::seconds(keepaliveInterval);
    limits.link.sendTimeout = std::chrono::seconds(sendTimeout);
    limits.waitForAcknowledgement = !parser.isSet(noAckWaitOption);
    if (parser.isSet(backlogOption)) {
        bool ok = false;
        limits.listenBacklog = parser.value(backlogOption).toInt(&ok);
        if (!ok || limits.listenBacklog < 1)
            return usageError(
                QStringLiteral("--listen-backlog needs a whole number of at least 1"));
    }
    if (parser.isSet(bytesOption)) {
        bool ok = false;
        bytesPerSecond = parser.value(bytesOption).toLongLong(&ok);
        if (!ok || bytesPerSecond < 1)
            return usageError(QStringLiteral("--max-bytes-per-second needs a whole number of at "
                                             "least 1"));
        limits.arrivalBytesPerSecond = bytesPerSecond;
    }

    if (parser.isSet(certificateOption) != parser.isSet(keyOption))
        return usageError(QStringLiteral("--certificate and --key go together"));
    if (!QSslSocket::supportsSsl()) {
        qCCritical(lcServer).noquote()
            << QStringLiteral("no TLS: Qt's OpenSSL backend is not available (%1)")
                   .arg(QSslSocket::activeBackend());
        return 1;
    }
    // An admin's certificate: named on the command line, or handed over by systemd as the
    // credentials "certificate" and "key" (LoadCredential=), which a service under a
    // dynamic user can read where the files themselves are root's.
    QString certificateFile = parser.value(certificateOption);
    QString keyFile = parser.value(keyOption);
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (certificateFile.isEmpty() && !credentials.isEmpty() &&
        (QFile::exists(credentials + QStringLiteral("/certificate")) ||
         QFile::exists(credentials + QStringLiteral("/key")))) {
        certificateFile = credentials + QStringLiteral("/certificate");
        keyFile = credentials + QStringLiteral("/key");
    }
    ServerIdentity identity;
    QString identityNote;
    if (!certificateFile.isEmpty()) {
        identity = ServerIdentity::load(certificateFile, keyFile, &identityNote);
    } else {
        identity = ServerIdentity::own(ServerIdentity::stateDirectory(),
                                       ServiceAnnouncer::machineName(), &identityNote);
        if (!identity.isNull() && !identityNote.isEmpty())
            qCWarning(lcServer).noquote() << identityNote;
    }
    if (identity.isNull()) {
        qCCritical(lcServer).noquote() << identityNote;
        return 1;
    }
    if (parser.isSet(fingerprintOption)) {
        std::printf("%s\n", qPrintable(Fingerprint::toText(identity.fingerprint())));
        return 0;
    }

    // A client gone mid-write must not kill the server.
    std::signal(SIGPIPE, SIG_IGN);
    SignalWatcher signalWatcher;
    if (!signalWatcher.isValid()) {
        qCCritical(lcServer) << "cannot catch SIGINT, SIGTERM and SIGHUP";
        return 1;
    }
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, [](int signal) {
        // There is no configuration to read again; a closed terminal must not stop us.
        if (signal == SIGHUP) {
            qCInfo(lcServer) << "SIGHUP ignored";
            return;
        }
        qCInfo(lcServer).noquote() << QStringLiteral("signal %1, stopping").arg(signal);
        QCoreApplication::quit();
    });

    ChatServer server;
    server.setLimits(limits);
    server.setIdentity(identity);
    server.setPlainRefused(parser.isSet(requireEncryptionOption));
    if (!allowed.isEmpty())
        server.setAllowed(allowed);
    raiseDescriptorLimit(rlim_t(limits.maxConnections) + 64);
    if (!server.listen(address)) {
        qCCritical(lcServer).noquote() << server.errorString();
        return 1;
    }
    qCInfo(lcServer).noquote() << QStringLiteral("certificate fingerprint (SHA-256): %1 (%2)")
                                      .arg(Fingerprint::toText(identity.fingerprint()),
                                           !certificateFile.isEmpty() ? certificateFile
                                           : identityNote.isEmpty()
                                               ? ServerIdentity::stateDirectory()
                                               : QStringLiteral("for this run only"));
    qCInfo(lcServer).noquote()
        << QStringLiteral("a connection silent for %1 s is probed every %2 s, up to %3 times; "
                          "one whose data or probes go unacknowledged for %4 s is given up, with "
                          "every connection and name from its address")
               .arg(limits.link.idle.count())
               .arg(limits.link.interval.count())
               .arg(limits.link.probes)
               .arg(std::chrono::duration_cast<std::chrono::seconds>(limits.link.sendTimeout)
                        .count());
    ServiceAnnouncer announcer;
    if (parser.isSet(noAnnounceOption))
        qCInfo(lcServer) << "not announced on the network (--no-announce)";
    else {
        announcer.setTxt(ServiceTxt{LinkPort, identity.fingerprint()});
        announcer.start(name, address);
    }
    const int status = app.exec();
    // Withdrawn first, so that no terminal is offered a server that no longer listens.
    announcer.stop();
    server.close();
    qCInfo(lcServer) << "stopped";
    return status;
}
