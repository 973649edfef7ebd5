#include "winsock.h"

#include "protocol/cp1254.h"
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
    : QObject(parent), m_worker(new SocketWorker(socket))
{
    if (ioThread) {
        m_worker->moveToThread(ioThread);
        connect(ioThread, &QThread::finished, m_worker, &QObject::deleteLater);
    }
    connect(m_worker, &SocketWorker::connected, this, &Winsock::connected);
    connect(m_worker, &SocketWorker::received, this, &Winsock::arrived);
    connect(m_worker, &SocketWorker::failed, this, &Winsock::failed);
}

Winsock::~Winsock()
{
    if (!m_worker)
        return;
    m_worker->disconnect(this);
    if (m_worker->thread() == QThread::currentThread())
        delete m_worker;
    else
        m_worker->deleteLater();
}

template <typename Call> void Winsock::onWorker(Call call)
{
    if (!m_worker)
        return;
    if (m_worker->thread() == QThread::currentThread())
        call(*m_worker);
    else
        QMetaObject::invokeMethod(
            m_worker, [worker = m_worker.data(), call] { call(*worker); }, Qt::QueuedConnection);
}

void Winsock::Close()
{
    ++m_generation;
    m_state = State::Closed;
    m_localPort = 0;
    onWorker([](SocketWorker &worker) { worker.close(); });
    dropArrivals();
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
    onWorker([host = m_remoteHost, port = quint16(m_remotePort), timeout = m_connectTimeout,
              timers = m_linkTimers, generation = ++m_generation](SocketWorker &worker) {
        worker.connectTo(host, port, timeout, timers, generation);
    });
    return {};
}

WinsockResult Winsock::SendData(const QString &data)
{
    if (m_state != State::Connected)
        return failure(SocketErrors::WrongProtocolOrState);
    onWorker([bytes = Cp1254::encode(data)](SocketWorker &worker) { worker.write(bytes); });
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
    if (m_worker)
        m_worker->taken(bytes);
}
