#include "linkclient.h"
#include "protocol/channel.h"
#include "protocol/fingerprint.h"
#include "protocol/linkframes.h"
#include "serveridentity.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// In this process, a descriptor of the socket the process pid holds for the connection whose
// other end is here at port; -1 with errno set where none is found.
int socketOf(qint64 pid, quint16 port)
{
    // By number: Debian 12's C library declares these wrappers unfit for C++.
    const int process = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (process < 0)
        return -1;
    int found = -1;
    int error = ESRCH;
    for (int target = 0; target < 256 && found < 0; ++target) {
        const int fd = int(::syscall(SYS_pidfd_getfd, process, target, 0));
        if (fd < 0) {
            if (errno != EBADF)
                error = errno;
            continue;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
            found = fd;
        else
            ::close(fd);
    }
    ::close(process);
    errno = error;
    return found;
}

int tcpOption(int fd, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    ::getsockopt(fd, IPPROTO_TCP, name, &value, &size);
    return value;
}

} // namespace

class TestServerCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionAndUsageErrors();
    void helpNamesEveryOption();
    void busyPortIsAnError();
    void stopsCleanlyOnSigtermNotOnSighup();
    void largestValuesAreTakenAndReachTheSocket();
    void journalLinesAndAllowedNetworks();
    void ownKeyKeptAcrossStartsAndAdminsUsed();
    void requireEncryptionClosesThePlainPorts();

private:
    static bool finish(QProcess &process);
    // The fingerprint a starting server logs, waiting for it.
    static QByteArray loggedFingerprint(QProcess &process, QByteArray &log);

    QTemporaryDir m_state;
};

void TestServerCli::initTestCase()
{
    // Every server started here keeps its key in the test's own place, not in a home.
    QVERIFY(m_state.isValid());
    qputenv("STATE_DIRECTORY", m_state.path().toLocal8Bit());
}

QByteArray TestServerCli::loggedFingerprint(QProcess &process, QByteArray &log)
{
    const QByteArray marker = "certificate fingerprint (SHA-256): ";
    connect(&process, &QProcess::readyReadStandardError, &process,
            [&] { log += process.readAllStandardError(); });
    if (!QTest::qWaitFor([&] { return log.contains("listening") && log.contains(marker); }))
        return {};
    const qsizetype at = log.indexOf(marker) + marker.size();
    return log.mid(at, 95);
}

bool TestServerCli::finish(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    QSignalSpy finished(&process, &QProcess::finished);
    return finished.wait(10000);
}

void TestServerCli::versionAndUsageErrors()
{
    QProcess process;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM), {QStringLiteral("--version")});
    QVERIFY(finish(process));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("vornel-server 1.0.0"));

    // Every one of them would otherwise start a server on all interfaces.
    const QList<QStringList> mistakes = {
        {QStringLiteral("--listen"), QStringLiteral("not-an-address")},
        {QStringLiteral("127.0.0.189")},
        {QStringLiteral("--bogus")},
        {QStringLiteral("--allow"), QStringLiteral("10.0.0.0/33")},
        {QStringLiteral("--max-names-per-host"), QStringLiteral("eight")},
        {QStringLiteral("--max-connections-per-host"), QStringLiteral("0")},
        {QStringLiteral("--keepalive-probes"), QStringLiteral("128")},
        {QStringLiteral("--send-timeout"), QStringLiteral("0")},
        {QStringLiteral("--name"), QString()},
        {QStringLiteral("--name"), QString(64, u'a')},
        {QStringLiteral("--name"), QString(32, u'ş')}, // 64 bytes in UTF-8
        {QStringLiteral("--name"), QStringLiteral("a\nb")},
        {QStringLiteral("--certificate"), QStringLiteral("/dev/null")},
        {QStringLiteral("--key"), QStringLiteral("/dev/null")},
    };
    for (const QStringList &arguments : mistakes) {
        process.start(QStringLiteral(VORNEL_SERVER_PROGRAM), arguments);
        QVERIFY(finish(process));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("--help"));
    }
}

void TestServerCli::helpNamesEveryOption()
{
    QProcess process;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM), {QStringLiteral("--help")});
    QVERIFY(finish(process));
    QCOMPARE(process.exitCode(), 0);
    const QString help = QString::fromUtf8(process.readAllStandardOutput()).simplified();
    QVERIFY2(help.startsWith(QStringLiteral("Usage: vornel-server [options]")), qPrintable(help));
    for (const char *option : {"--listen <ADDRESS>",
                               "--allow <CIDR>",
                               "--max-connections <N> Connections in all "
                               "(default: 4096)",
                               "--max-connections-per-host <N> Connections from one address "
                               "(default: 32)",
                               "--max-names-per-host <N> Nicknames listed from one address "
                               "(default: 8)",
                               "--max-messages-per-second <N>",
                               "--max-bytes-per-second <N>",
                               "--keepalive-idle <SECONDS>",
                               "(default: 20)",
                               "--keepalive-interval <SECONDS> Seconds between probes (default: 5)",
                               "--keepalive-probes <N>",
                               "(default: 4)",
                               "--send-timeout <SECONDS>",
                               "(default: 30)",
                               "--name <NAME>",
                               "--no-announce",
                               "_vornel._tcp",
                               "--certificate <FILE>",
                               "--key <FILE>",
                               "--fingerprint",
                               "--require-encryption"})
        QVERIFY2(help.contains(QLatin1StringView(option)), option);
    QVERIFY(help.contains(QStringLiteral("%1 for the encrypted link").arg(LinkPort)));
}

void TestServerCli::busyPortIsAnError()
{
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress(QStringLiteral("127.0.0.186")), portOf(Channel::Leave)));
    QProcess process;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.186")});
    QVERIFY(finish(process));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains(QByteArray::number(portOf(Channel::Leave))));
}

void TestServerCli::stopsCleanlyOnSigtermNotOnSighup()
{
    QProcess process;
    QByteArray log;
    connect(&process, &QProcess::readyReadStandardError, this,
            [&] { log += process.readAllStandardError(); });
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.187"),
                   QStringLiteral("--keepalive-idle"), QStringLiteral("1"),
                   QStringLiteral("--keepalive-interval"), QStringLiteral("2"),
                   QStringLiteral("--keepalive-probes"), QStringLiteral("3"),
                   QStringLiteral("--send-timeout"), QStringLiteral("4")});
    QTRY_VERIFY(log.contains("listening"));
    QTRY_VERIFY2(log.contains("silent for 1 s is probed every 2 s, up to 3 times; one whose data "
                              "or probes go unacknowledged for 4 s"),
                 log.constData());

    QTcpSocket client;
    client.connectToHost(QHostAddress(QStringLiteral("127.0.0.187")), portOf(Channel::UserList));
    client.write("ALI");
    QTRY_VERIFY(log.contains("\"ALI\" is on the list"));
    ::kill(pid_t(process.processId()), SIGHUP);
    QTRY_VERIFY(log.contains("SIGHUP ignored"));
    QCOMPARE(process.state(), QProcess::Running);

    process.terminate();
    QVERIFY(finish(process));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    QVERIFY(log.contains("stopped"));
}

void TestServerCli::largestValuesAreTakenAndReachTheSocket()
{
    const QString at = QStringLiteral("127.0.1.200");
    QStringList arguments = {QStringLiteral("--listen"), at};
    for (const char *option :
         {"--max-connections", "2147483647", "--max-connections-per-host", "2147483647",
          "--max-names-per-host", "2147483647", "--max-messages-per-second", "2147483647",
          "--max-bytes-per-second", "9223372036854775807", "--keepalive-idle", "32767",
          "--keepalive-interval", "32767", "--keepalive-probes", "127", "--send-timeout",
          "2147483"})
        arguments.append(QString::fromLatin1(option));
    QProcess process;
    QByteArray log;
    connect(&process, &QProcess::readyReadStandardError, this,
            [&] { log += process.readAllStandardError(); });
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM), arguments);
    QTRY_VERIFY(log.contains("listening") || process.state() == QProcess::NotRunning);
    QVERIFY2(log.contains("listening"), log.constData());
    QVERIFY2(log.contains("silent for 32767 s is probed every 32767 s, up to 127 times; one whose "
                          "data or probes go unacknowledged for 2147483 s"),
             log.constData());

    // What the kernel was told for a connection it accepted.
    QTcpSocket client;
    client.connectToHost(QHostAddress(at), portOf(Channel::Chat));
    QVERIFY(client.waitForConnected());
    QTRY_VERIFY(
        log.contains(QByteArray(":" + QByteArray::number(client.localPort()) + ": connected")));
    const int fd = socketOf(process.processId(), client.localPort());
    if (fd < 0 && (errno == EPERM || errno == ENOSYS))
        QSKIP(qPrintable(QStringLiteral("cannot look at the server's sockets: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)))));
    QVERIFY(fd >= 0);
    QCOMPARE(tcpOption(fd, TCP_KEEPIDLE), 32767);
    QCOMPARE(tcpOption(fd, TCP_KEEPINTVL), 32767);
    QCOMPARE(tcpOption(fd, TCP_KEEPCNT), 127);
    QCOMPARE(tcpOption(fd, TCP_USER_TIMEOUT), 2147483000);
    ::close(fd);
    process.terminate();
    QVERIFY(finish(process));
    QCOMPARE(process.exitCode(), 0);
}

void TestServerCli::journalLinesAndAllowedNetworks()
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
    process.setProcessEnvironment(environment);
    QByteArray log;
    connect(&process, &QProcess::readyReadStandardError, this,
            [&] { log += process.readAllStandardError(); });
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.189"),
                   QStringLiteral("--allow"), QStringLiteral("10.0.0.0/8"),
                   QStringLiteral("--allow"), QStringLiteral("fd00::/8")});
    QTRY_VERIFY(log.contains("listening"));
    QVERIFY2(log.startsWith("<6>listening on 127.0.0.189"), log.constData());

    QTcpSocket outsider;
    outsider.connectToHost(QHostAddress(QStringLiteral("127.0.0.189")), portOf(Channel::Chat));
    QTRY_VERIFY(log.contains("refused"));
    QVERIFY2(log.contains("\n<4>chat 127.0.0.1:"), log.constData());
    QTRY_COMPARE(outsider.state(), QAbstractSocket::UnconnectedState);
    process.terminate();
    QVERIFY(finish(process));
}

void TestServerCli::ownKeyKeptAcrossStartsAndAdminsUsed()
{
    QProcess printer;
    printer.start(QStringLiteral(VORNEL_SERVER_PROGRAM), {QStringLiteral("--fingerprint")});
    QVERIFY(finish(printer));
    QCOMPARE(printer.exitCode(), 0);
    const QByteArray printed = printer.readAllStandardOutput().trimmed();
    QCOMPARE(Fingerprint::toText(QByteArray(32, '\0')).size(), printed.size());

    // Started twice, it logs what --fingerprint printed, and presents that certificate.
    const QString at = QStringLiteral("127.0.0.186");
    for (int start = 0; start < 2; ++start) {
        QProcess process;
        QByteArray log;
        process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                      {QStringLiteral("--listen"), at, QStringLiteral("--no-announce")});
        QCOMPARE(loggedFingerprint(process, log), printed);
        LinkClient link{QHostAddress(at)};
        QTRY_VERIFY(link.isEncrypted());
        QCOMPARE(
            Fingerprint::toText(Fingerprint::ofCertificate(link.socket().peerCertificate().toDer()))
                .toLatin1(),
            printed);
        process.terminate();
        QVERIFY(finish(process));
    }

    // An admin's certificate instead; the key never shows in the log.
    QString error;
    const ServerIdentity admin = ServerIdentity::generate(QStringLiteral("chat.example"), &error);
    QVERIFY2(!admin.isNull(), qPrintable(error));
    QTemporaryDir files;
    QFile certificate(files.filePath(QStringLiteral("cert.pem")));
    QFile key(files.filePath(QStringLiteral("key.pem")));
    QVERIFY(certificate.open(QIODevice::WriteOnly) && key.open(QIODevice::WriteOnly));
    certificate.write(admin.certificate().toPem());
    key.write(admin.key().toPem());
    certificate.close();
    key.close();
    QProcess process;
    QByteArray log;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), at, QStringLiteral("--no-announce"),
                   QStringLiteral("--certificate"), certificate.fileName(), QStringLiteral("--key"),
                   key.fileName()});
    QCOMPARE(loggedFingerprint(process, log), Fingerprint::toText(admin.fingerprint()).toLatin1());
    process.terminate();
    QVERIFY(finish(process));
    log += process.readAllStandardError();
    QVERIFY(!log.contains("PRIVATE KEY"));

    // The same handed over by systemd as credentials.
    QVERIFY(certificate.rename(files.filePath(QStringLiteral("certificate"))));
    QVERIFY(key.copy(files.filePath(QStringLiteral("key"))));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CREDENTIALS_DIRECTORY"), files.path());
    process.setProcessEnvironment(environment);
    log.clear();
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), at, QStringLiteral("--no-announce")});
    QCOMPARE(loggedFingerprint(process, log), Fingerprint::toText(admin.fingerprint()).toLatin1());
    process.terminate();
    QVERIFY(finish(process));
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());

    // A key that is not the certificate's is refused at start.
    QVERIFY(key.open(QIODevice::WriteOnly));
    key.write(ServerIdentity::generate(QStringLiteral("other"), &error).key().toPem());
    key.close();
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), at, QStringLiteral("--no-announce"),
                   QStringLiteral("--certificate"), certificate.fileName(), QStringLiteral("--key"),
                   key.fileName()});
    QVERIFY(finish(process));
    QCOMPARE(process.exitCode(), 1);
}

void TestServerCli::requireEncryptionClosesThePlainPorts()
{
    const QString at = QStringLiteral("127.0.0.187");
    QProcess process;
    QByteArray log;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), at, QStringLiteral("--no-announce"),
                   QStringLiteral("--require-encryption")});
    QVERIFY(!loggedFingerprint(process, log).isEmpty());
    QVERIFY2(log.contains("plain connections refused"), log.constData());
    QTcpSocket plain;
    plain.connectToHost(QHostAddress(at), portOf(Channel::Chat));
    QTRY_COMPARE(plain.error(), QAbstractSocket::ConnectionRefusedError);
    LinkClient link{QHostAddress(at)};
    link.send(Channel::UserList, "ALI");
    QTRY_COMPARE(link.frames(Channel::UserList), QList<QByteArray>{"ALI"});
    process.terminate();
    QVERIFY(finish(process));
}

QTEST_GUILESS_MAIN(TestServerCli)
#include "tst_server_cli.moc"
