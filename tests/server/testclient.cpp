#include "testclient.h"

#include <QStringList>

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

} // namespace

TestClient::TestClient(const QHostAddress &address, Channel channel)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        m_reads.append(m_socket.readAll());
        m_bytesRead += m_reads.last().size();
    });
    m_socket.connectToHost(address, portOf(channel));
}

void TestClient::captureServerLog()
{
    otherHandler = qInstallMessageHandler(handleMessage);
}

bool TestClient::serverLogContains(const QString &text)
{
    return std::any_of(serverLog.cbegin(), serverLog.cend(),
                       [&text](const QString &line) { return line.contains(text); });
}
