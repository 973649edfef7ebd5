#include "testclient.h"

#include "chatserver.h"
#include "common/testaddresses.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTest>

#include <algorithm>

namespace {

QStringList serverLog;
QtMessageHandler otherHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "vornel.server") == 0)
        serverLog.append(message);
    else if (otherHandler)
        otherHandler(type, context, message);
}

double nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

TestClient::TestClient(const QHostAddress &server, Channel channel, const QHostAddress &from)
{
    TestAddresses::check(server);
    if (!from.isNull())
        TestAddresses::check(from);
    // As the terminal does: each send leaves at once, in a segment of its own.
    connect(&m_socket, &QTcpSocket::connected, this,
            [this] { m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        m_readTimes.append(nowMs());
        m_reads.append(m_socket.readAll());
        m_bytesRead += m_reads.last().size();
    });
    if (!from.isNull())
        m_socket.bind(from);
    m_socket.connectToHost(server, portOf(channel));
}

void TestClient::captureServerLog()
{
    otherHandler = qInstallMessageHandler(handleMessage);
}

bool TestClient::serverLogContains(const QString &text)
{
    return serverLogCount(text) > 0;
}

int TestClient::serverLogCount(const QString &text)
{
    return int(std::count_if(serverLog.cbegin(), serverLog.cend(),
                             [&text](const QString &line) { return line.contains(text); }));
}

bool Speaker::isReady(const ChatServer &server, int connections)
{
    return QTest::qWaitFor(
        [&] { return server.connectionCount() == connections && server.nicknames().size() == 1; });
}
