#include "protocol/channel.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestServerCli : public QObject
{
    Q_OBJECT

private slots:
    void versionAndBadAddress();
    void busyPortIsAnError();
    void stopsCleanlyOnSigterm();

private:
    static bool finish(QProcess &process);
};

bool TestServerCli::finish(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    QSignalSpy finished(&process, &QProcess::finished);
    return finished.wait(10000);
}

void TestServerCli::versionAndBadAddress()
{
    QProcess process;
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM), {QStringLiteral("--version")});
    QVERIFY(finish(process));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("vornel-server 1.0.0"));

    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), QStringLiteral("not-an-address")});
    QVERIFY(finish(process));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
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

void TestServerCli::stopsCleanlyOnSigterm()
{
    QProcess process;
    QByteArray log;
    connect(&process, &QProcess::readyReadStandardError, this,
            [&] { log += process.readAllStandardError(); });
    process.start(QStringLiteral(VORNEL_SERVER_PROGRAM),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.187")});
    QTRY_VERIFY(log.contains("listening"));

    QTcpSocket client;
    client.connectToHost(QHostAddress(QStringLiteral("127.0.0.187")), portOf(Channel::UserList));
    client.write("ALI");
    QTRY_VERIFY(log.contains("\"ALI\" is on the list"));

    process.terminate();
    QVERIFY(finish(process));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    QVERIFY(log.contains("stopped"));
}

QTEST_GUILESS_MAIN(TestServerCli)
#include "tst_server_cli.moc"
