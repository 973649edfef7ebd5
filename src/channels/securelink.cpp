#include "securelink.h"

#include "linkworker.h"
#include "protocol/linkframes.h"

#include <QThread>

#include <algorithm>
#include <climits>

SecureLink::SecureLink(QThread *ioThread, QObject *parent)
    : QObject(parent), m_worker(new LinkWorker, ioThread)
{
    const auto current = [this](quint64 generation) { return generation == m_generation; };
    connect(m_worker.get(), &LinkWorker::opened, this,
            [this, current](quint64 generation, const QByteArray &fingerprint,
                            const QString &vouchedName, const QString &address, quint16 port) {
                if (!current(generation))
                    return;
                m_open = true;
                m_fingerprint = fingerprint;
                m_vouchedName = vouchedName;
                m_peerAddress = address;
                m_localPort = port;
                emit opened();
            });
    const auto ending = [this, current](void (SecureLink::*signal)(int)) {
        return [this, current, signal](quint64 generation, int number) {
            if (!current(generation))
                return;
            ++m_generation;
            m_open = false;
            emit(this->*signal)(number);
        };
    };
    connect(m_worker.get(), &LinkWorker::unanswered, this, ending(&SecureLink::unanswered));
    connect(m_worker.get(), &LinkWorker::refused, this, ending(&SecureLink::refused));
    connect(m_worker.get(), &LinkWorker::ended, this, ending(&SecureLink::ended));
    connect(m_worker.get(), &LinkWorker::received, this,
            [this, current](quint64 generation, int kind, const QByteArray &payload) {
                if (FrameKind(kind) == FrameKind::PlainUsers) {
                    const std::optional<quint32> count = LinkFrames::plainUsers(payload);
                    if (current(generation) && count) {
                        m_plainUsers = int(std::min<quint32>(*count, INT_MAX));
                        emit plainUsersChanged(m_plainUsers);
                    }
                    return;
                }
                if (!current(generation)) {
                    taken(payload.size());
                    return;
                }
                emit arrived(Channel(kind), payload);
            });
}

SecureLink::~SecureLink()
{
    if (m_worker)
        m_worker->disconnect(this);
}

void SecureLink::open(const QString &host, const LinkPlan &plan, int timeoutMs,
                      const LinkTimers &timers)
{
    m_open = false;
    m_fingerprint.clear();
    m_vouchedName.clear();
    m_peerAddress.clear();
    m_localPort = 0;
    m_plainUsers = -1;
    m_worker.call([host, plan, timeoutMs, timers, generation = ++m_generation](LinkWorker &worker) {
        worker.open(host, plan, timeoutMs, timers, generation);
    });
}

void SecureLink::close()
{
    ++m_generation;
    m_open = false;
    m_worker.call([](LinkWorker &worker) { worker.close(); });
}

bool SecureLink::send(Channel channel, const QByteArray &message)
{
    if (!m_open)
        return false;
    // A message no frame holds would be dropped by the server as too long on a plain
    // channel too; it is not sent.
    if (message.isEmpty() || message.size() > LinkFrames::MaxPayloadBytes)
        return true;
    m_worker.call([frame = LinkFrames::encode(channel, message)](LinkWorker &worker) {
        worker.write(frame);
    });
    return true;
}

void SecureLink::taken(qint64 bytes)
{
    if (m_worker)
        m_worker->taken(bytes);
}
