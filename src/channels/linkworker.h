#pragma once

#include "linkplan.h"
#include "protocol/framedecoder.h"
#include "protocol/linktimers.h"
#include "resetprobe.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>

class QSslSocket;

// The encrypted link's socket, on the thread that reads it: connects, makes the TLS 1.3
// handshake, judges the certificate by its plan, and cuts what arrives into frames, each
// handed on at once. Nothing is sent before the certificate has been judged. Each event
// carries the generation of the attempt it belongs to.
class LinkWorker : public QObject
{
    Q_OBJECT

public:
    // Reads handed on but not yet taken beyond this stop reading, as on a plain channel.
    static constexpr qint64 MaxUntaken = 32 * 1024 * 1024;
    // On a first contact by a name typed, a link port that has not answered by then is taken
    // as not there, and the plain channels go ahead.
    static constexpr int AnswerTimeoutMs = 1000;

    LinkWorker();
    ~LinkWorker() override;

    // On the worker's thread only. Ends whatever link came before.
    void open(const QString &host, const LinkPlan &plan, int timeoutMs, const LinkTimers &timers,
              quint64 generation);
    void close();
    // Sends one frame; dropped on a link not open.
    void write(const QByteArray &frame);

    // From any thread: so many bytes of earlier arrivals have been taken or dropped.
    void taken(qint64 bytes);

signals:
    // The certificate went: fingerprint, the name the trust store vouched for it under (empty
    // where it did not), the server's address and our port.
    void opened(quint64 generation, const QByteArray &fingerprint, const QString &vouchedName,
                const QString &address, quint16 localPort);
    // A first contact found no link to use: the port refused, did not answer, or no TLS.
    void unanswered(quint64 generation, int number);
    // The link was reached but is not the server it must be: its certificate was refused,
    // or no TLS where a link was expected.
    void refused(quint64 generation, int number);
    // Any other end, before or after it opened.
    void ended(quint64 generation, int number);
    void received(quint64 generation, int kind, const QByteArray &payload);

private:
    enum class Phase { Idle, Connecting, Handshaking, Open };

    void makeSocket();
    void onConnected();
    void onEncrypted();
    void onSocketError(QAbstractSocket::SocketError error);
    void readWaiting();
    // Ends the attempt or the link, telling it as the plan and the phase say.
    void fail(int number, bool identity = false);

    QSslSocket *m_socket = nullptr;
    QTimer m_timeout;
    QTimer m_answerTimeout;
    ResetProbe m_resetProbe;
    FrameDecoder m_decoder{FrameDecoder::Sender::Server};
    LinkPlan m_plan;
    LinkTimers m_timers;
    quint64 m_generation = 0;
    Phase m_phase = Phase::Idle;
    bool m_vouched = false;
    std::atomic<qint64> m_untaken{0};
    std::atomic<bool> m_paused{false};
};
