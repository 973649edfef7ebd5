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

Winsock::Winsock(QThread *ioThread, QObject *parent) : QObject(parent), m_worker(new SocketWorker)
{
    if (ioThread)
        m_worker->moveToThread(ioThread);
    // Events of an attempt that was closed since are dropped here, on our own thread.
    connect(m_worker, &SocketWorker::connected, this, [this](quint64 generation) {
        if (generation == m_generation)
            emit Connected();
    });
    connect(m_worker, &SocketWorker::received, this, &Winsock::arrived);
    connect(m_worker, &SocketWorker::failed, this, [this](quint64 generation, int number) {
        if (generation == m_generation)
            emit Error(number, SocketErrors::description(number));
    });
}

Winsock::~Winsock()
{
    m_worker->disconnect(this);
    if (m_worker->thread() == QThread::currentThread()) {
        delete m_worker;
        return;
    }
    // Closed now; deleted by its own thread, at the latest when that thread finishes.
    onWorker([worker = m_worker] { worker->close(); });
    m_worker->deleteLater();
}

template <typename Call> void Winsock::onWorker(Call call) const
{
    if (m_worker->thread() == QThread::currentThread())
        call();
    else
        QMetaObject::invokeMethod(m_worker, call, Qt::BlockingQueuedConnection);
}

void Winsock::Close()
{
    ++m_generation;
    onWorker([this] { m_worker->close(); });
    dropArrivals();
}

WinsockResult Winsock::setRemoteHost(const QString &host)
{
    bool idle = false;
    onWorker([&] { idle = m_worker->state() == QAbstractSocket::UnconnectedState; });
    if (!idle)
        return failure(SocketErrors::InvalidOperation);
    m_remoteHost = host;
    return {};
}

WinsockResult Winsock::setRemotePort(qint32 port)
{
    if (port < 0 || port > 65535)
        return failure(SocketErrors::InvalidPropertyValue);
    bool idle = false;
    onWorker([&] { idle = m_worker->state() == QAbstractSocket::UnconnectedState; });
    if (!idle)
        return failure(SocketErrors::InvalidOperation);
    m_remotePort = port;
    return {};
}

WinsockResult Winsock::Connect()
{
    // The new attempt's events may come before the call returns.
    bool started = false;
    const quint64 previous = m_generation;
    const quint64 generation = ++m_generation;
    onWorker([&] {
        if (m_worker->state() != QAbstractSocket::UnconnectedState)
            return;
        m_worker->connectTo(m_remoteHost, quint16(m_remotePort), m_connectTimeout, m_linkTimers,
                            generation);
        started = true;
    });
    if (!started) {
        m_generation = previous;
        return failure(SocketErrors::InvalidOperation);
    }
    dropArrivals();
    return {};
}

WinsockResult Winsock::SendData(const QString &data)
{
    const QByteArray bytes = Cp1254::encode(data);
    int number = 0;
    onWorker([&] { number = m_worker->write(bytes); });
    if (number != 0)
        return failure(number);
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
        m_worker->taken(data.size());
    }
    return {};
}

bool Winsock::isConnected() const
{
    bool connected = false;
    onWorker([&] { connected = m_worker->state() == QAbstractSocket::ConnectedState; });
    return connected;
}

quint16 Winsock::localPort() const
{
    quint16 port = 0;
    onWorker([&] { port = m_worker->localPort(); });
    return port;
}

void Winsock::arrived(quint64 generation, const QByteArray &bytes)
{
    if (generation != m_generation) {
        m_worker->taken(bytes.size());
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
        m_worker->taken(dropped);
}
