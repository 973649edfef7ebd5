#include "winsock.h"

#include "protocol/cp1254.h"
#include "securelink.h"
#include "socketerrors.h"
#include "socketworker.h"

#include <QThread>

#include <limits>

namespace {

WinsockResult failure(int number)
{
    return WinsockResult::failure(number, SocketErrors::description(number));
}

} // namespace

Winsock::Winsock(QObject *parent) : Winsock(nullptr, parent) {}

Winsock::Winsock(QThread *ioThread, QObject *parent, QTcpSocket *socket)
    : QObject(parent), m_worker(new SocketWorker(socket), ioThread)
{
    connect(m_worker.get(), &SocketWorker::connected, this, &Winsock::connected);
    connect(m_worker.get(), &SocketWorker::received, this, &Winsock::arrived);
    connect(m_worker.get(), &SocketWorker::failed, this, &Winsock::failed);
}

Winsock::~Winsock()
{
    if (m_worker)
        m_worker->disconnect(this);
}

void Winsock::Close()
{
    ++m_generation;
    m_state = State::Closed;
    m_localPort = 0;
    // The link is its opener's to close; the channel only stops following it.
    if (!m_link)
        m_worker.call([](SocketWorker &worker) { worker.close(); });
    dropArrivals();
}

void Winsock::setLink(SecureLink *link, Channel channel)
{
    if (m_link == link && m_linkChannel == channel)
        return;
    if (m_link)
        m_link->disconnect(this);
    m_link = link;
    m_linkChannel = channel;
    if (!link)
        return;
    connect(link, &SecureLink::opened, this, &Winsock::linkOpened);
    connect(link, &SecureLink::arrived, this, &Winsock::linkArrived);
    connect(link, &SecureLink::ended, this, [this](int number) { failed(m_generation, number); });
}

void Winsock::linkOpened()
{
    connected(m_generation, m_link->localPort());
}

void Winsock::linkArrived(Channel channel, const QByteArray &bytes)
{
    if (channel != m_linkChannel)
        return;
    if (m_state != State::Connected) {
        taken(bytes.size());
        return;
    }
    arrived(m_generation, bytes);
}

WinsockResult Winsock::setRemoteHost(const QString &host)
{
    if (m_state != State::Closed)
        return failure(SocketErrors::InvalidOperation);
    m_remoteHost = host;
    return {};
}

WinsockResult Winsock::setRemotePort(qint32 port)
{
    if (port < 0 || port > 65535)
        return failure(SocketErrors::InvalidPropertyValue);
    if (m_state != State::Closed)
        return failure(SocketErrors::InvalidOperation);
    m_remotePort = port;
    return {};
}

WinsockResult Winsock::Connect()
{
    if (m_state != State::Closed)
        return failure(SocketErrors::InvalidOperation);
    dropArrivals();
    // On the caller's thread the attempt's events may come before the call returns.
    m_state = State::Connecting;
    if (m_link) {
        ++m_generation;
        // Opened already: told as an event, as a connection's completion always is.
        if (m_link->isOpen())
            QMetaObject::invokeMethod(this, &Winsock::linkOpened, Qt::QueuedConnection);
        return {};
    }
    m_worker.call([host = m_remoteHost, port = quint16(m_remotePort), timeout = m_connectTimeout,
                   timers = m_linkTimers, generation = ++m_generation](SocketWorker &worker) {
        worker.connectTo(host, port, timeout, timers, generation);
    });
    return {};
}

WinsockResult Winsock::SendData(const QString &data)
{
    if (m_state != State::Connected)
        return failure(SocketErrors::WrongProtocolOrState);
    if (m_link) {
        if (!m_link->send(m_linkChannel, Cp1254::encode(data)))
            return failure(SocketErrors::WrongProtocolOrState);
        return {};
    }
    m_worker.call([bytes = Cp1254::encode(data)](SocketWorker &worker) { worker.write(bytes); });
    return {};
}

WinsockResult Winsock::GetData(QString &data)
{
    QByteArray bytes;
    const WinsockResult result = GetData(bytes);
    data = Cp1254::decode(bytes);
    return result;
}

WinsockResult Winsock::GetData(QByteArray &data)
{
    data.clear();
    if (!m_arrivals.empty()) {
        data = std::move(m_arrivals.front());
        m_arrivals.pop_front();
        taken(data.size());
    }
    return {};
}

void Winsock::connected(quint64 generation, quint16 localPort)
{
    if (generation != m_generation || m_state != State::Connecting)
        return;
    m_state = State::Connected;
    m_localPort = localPort;
    emit Connected();
}

void Winsock::failed(quint64 generation, int number)
{
    if (generation != m_generation || m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_localPort = 0;
    emit Error(number, SocketErrors::description(number));
}

void Winsock::arrived(quint64 generation, const QByteArray &bytes)
{
    if (generation != m_generation) {
        taken(bytes.size());
        return;
    }
    m_arrivals.push_back(bytes);
    emit DataArrival(qint32(qMin<qsizetype>(bytes.size(), std::numeric_limits<qint32>::max())));
}

void Winsock::dropArrivals()
{
    qint64 dropped = 0;
    for (const QByteArray &bytes : m_arrivals)
        dropped += bytes.size();
    m_arrivals.clear();
    if (dropped > 0)
        taken(dropped);
}

void Winsock::taken(qint64 bytes)
{
    if (m_link)
        m_link->taken(bytes);
    else if (m_worker)
        m_worker->taken(bytes);
}
