#pragma once

#include "protocol/linktimers.h"
#include "resetprobe.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>

// The socket behind one Winsock, on the thread that reads it. Every read is handed on at
// once as received(), so that reads stay apart however busy the thread that handles them is.
// Each event carries the generation of the connection attempt it belongs to. Nothing here
// answers its caller: whatever the owner needs to know comes as an event.
class SocketWorker : public QObject
{
    Q_OBJECT

public:
    // Reads handed on but not yet taken beyond this stop reading, leaving the rest to the
    // kernel's buffers and so slowing the sender, as a terminal that did not read would.
    static constexpr qint64 MaxUntaken = 32 * 1024 * 1024;

    // Takes over the socket, unconnected, or makes one of its own (tests pass one that fails
    // on cue).
    explicit SocketWorker(QTcpSocket *socket = nullptr);
    ~SocketWorker() override;

    // On the worker's thread only.
    void close();
    // Ends whatever connection came before.
    void connectTo(const QString &host, quint16 port, int timeoutMs, const LinkTimers &timers,
                   quint64 generation);
    // Hands the bytes to the system at once, as a send of their own. A write that fails ends
    // the connection with failed(); on a connection already ended it is dropped, that end
    // being reported already.
    void write(const QByteArray &bytes);

    // From any thread: so many bytes of earlier reads have been taken or dropped.
    void taken(qint64 bytes);

signals:
    void connected(quint64 generation, quint16 localPort);
    void received(quint64 generation, const QByteArray &bytes);
    // The attempt failed, or the connection ended (closed, reset or timed out).
    void failed(quint64 generation, int number);

private:
    void readWaiting();
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectTimeout();
    void end(int number);
    void assertOwnThread() const;

    QTcpSocket *m_socket;
    QTimer m_connectTimer;
    ResetProbe m_resetProbe;
    LinkTimers m_linkTimers;
    quint64 m_generation = 0;
    std::atomic<qint64> m_untaken{0};
    std::atomic<bool> m_paused{false};
};
