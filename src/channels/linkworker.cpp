#include "linkworker.h"

#include "protocol/fingerprint.h"
#include "socketerrors.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>

namespace {

// Bounds what the socket itself buffers while reading is paused.
constexpr qint64 SocketBufferSize = 1024 * 1024;

QString addressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

LinkWorker::LinkWorker() : m_timeout(this), m_answerTimeout(this)
{
    m_timeout.setSingleShot(true);
    m_answerTimeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { fail(SocketErrors::TimedOut); });
    connect(&m_answerTimeout, &QTimer::timeout, this, [this] { fail(SocketErrors::TimedOut); });
}

LinkWorker::~LinkWorker()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    m_resetProbe.release();
}

void LinkWorker::makeSocket()
{
    // Made at the first link only: TLS is loaded when a connect needs it, not at start-up.
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(SocketBufferSize);
    connect(m_socket, &QSslSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        // A filtered port answers nothing: the wait for it starts once the name is resolved.
        if (s == QAbstractSocket::ConnectingState && m_plan.mode == LinkPlan::Mode::LinkFirst)
            m_answerTimeout.start(AnswerTimeoutMs);
        else if (s == QAbstractSocket::UnconnectedState)
            m_resetProbe.release();
    });
    connect(m_socket, &QSslSocket::connected, this, &LinkWorker::onConnected);
    connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &) {
        // Judged once the handshake is done, against the plan; a pinned certificate needs no
        // authority to vouch for it.
        m_vouched = false;
        m_socket->ignoreSslErrors();
    });
    connect(m_socket, &QSslSocket::encrypted, this, &LinkWorker::onEncrypted);
    connect(m_socket, &QSslSocket::readyRead, this, &LinkWorker::readWaiting);
    connect(m_socket, &QSslSocket::errorOccurred, this, &LinkWorker::onSocketError);
}

void LinkWorker::open(const QString &host, const LinkPlan &plan, int timeoutMs,
                      const LinkTimers &timers, quint64 generation)
{
    Q_ASSERT(thread() == QThread::currentThread());
    close();
    if (!m_socket)
        makeSocket();
    m_plan = plan;
    m_timers = timers;
    m_generation = generation;
    m_phase = Phase::Connecting;
    m_vouched = !plan.verifyName.isEmpty();
    m_decoder = FrameDecoder(FrameDecoder::Sender::Server);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_3OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Every handshake a whole one, its certificate verified anew: a session resumed would
    // bring no certificate to judge.
    tls.setSslOption(QSsl::SslOptionDisableSessionTickets, true);
    tls.setSslOption(QSsl::SslOptionDisableSessionSharing, true);
    tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, true);
    m_socket->setSslConfiguration(tls);
    m_socket->setPeerVerifyName(plan.verifyName);
    m_timeout.start(timeoutMs);
    m_socket->connectToHostEncrypted(host, plan.port);
}

void LinkWorker::close()
{
    m_timeout.stop();
    m_answerTimeout.stop();
    m_phase = Phase::Idle;
    if (m_socket)
        m_socket->abort();
    m_resetProbe.release();
}

void LinkWorker::onConnected()
{
    m_answerTimeout.stop();
    m_phase = Phase::Handshaking;
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_timers.applyTo(m_socket->socketDescriptor());
    m_resetProbe.watch(m_socket->socketDescriptor());
}

void LinkWorker::onEncrypted()
{
    const QList<QSslCertificate> chain = m_socket->peerCertificateChain();
    const QByteArray fingerprint =
        chain.isEmpty() ? QByteArray() : Fingerprint::ofCertificate(chain.constFirst().toDer());
    // Vouched for only where verification ran and found nothing wrong.
    const bool vouched = m_vouched && !chain.isEmpty() && m_socket->sslHandshakeErrors().isEmpty();
    if (fingerprint.isEmpty() || !m_plan.accepts(fingerprint, vouched)) {
        fail(SocketErrors::ServerIdentityRefused, true);
        return;
    }
    m_timeout.stop();
    m_phase = Phase::Open;
    emit opened(m_generation, fingerprint, vouched ? m_plan.verifyName : QString(),
                addressText(m_socket->peerAddress()), m_socket->localPort());
    readWaiting();
}

void LinkWorker::write(const QByteArray &frame)
{
    if (m_phase != Phase::Open)
        return;
    m_socket->write(frame);
    // Encrypted and handed to the system now, not when this thread next polls the socket.
    m_socket->flush();
}

void LinkWorker::taken(qint64 bytes)
{
    const qint64 left = m_untaken.fetch_sub(bytes) - bytes;
    if (left < MaxUntaken && m_paused.exchange(false))
        QMetaObject::invokeMethod(this, &LinkWorker::readWaiting, Qt::QueuedConnection);
}

void LinkWorker::readWaiting()
{
    if (m_phase != Phase::Open)
        return;
    if (m_untaken.load() >= MaxUntaken) {
        m_paused = true;
        if (m_untaken.load() >= MaxUntaken || !m_paused.exchange(false))
            return;
    }
    m_decoder.feed(m_socket->readAll());
    while (m_phase == Phase::Open) {
        const std::optional<LinkFrame> frame = m_decoder.next();
        if (!frame)
            break;
        if (frame->kind != FrameKind::PlainUsers)
            m_untaken += frame->payload.size();
        emit received(m_generation, int(frame->kind), frame->payload);
    }
    // A server that breaks the frames cannot be read on: nothing after would be whole.
    if (m_decoder.error() != FrameDecoder::Error::None && m_phase == Phase::Open)
        fail(SocketErrors::Unexpected);
}

void LinkWorker::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_phase == Phase::Idle)
        return;
    int number = SocketErrors::fromSocketError(error);
    if (m_phase == Phase::Open) {
        // As a plain channel tells them: a close is an abort unless it was a reset, and a
        // time-out found while writing is a time-out.
        if (error == QAbstractSocket::RemoteHostClosedError && !m_resetProbe.wasReset())
            number = SocketErrors::ConnectionAborted;
        else if (error != QAbstractSocket::RemoteHostClosedError && m_resetProbe.timedOut())
            number = SocketErrors::TimedOut;
    } else if (m_phase == Phase::Handshaking) {
        number = SocketErrors::SecureHandshakeFailed;
    }
    fail(number, m_phase == Phase::Handshaking);
}

void LinkWorker::fail(int number, bool identity)
{
    const Phase phase = m_phase;
    if (phase == Phase::Idle)
        return;
    close();
    if (phase != Phase::Open && m_plan.mode == LinkPlan::Mode::LinkFirst)
        emit unanswered(m_generation, number);
    else if (identity)
        emit refused(m_generation, number);
    else
        emit ended(m_generation, number);
}
