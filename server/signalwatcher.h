#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal, delivered from the event loop: the handler
// only writes the signal number to a pipe. One instance per process.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool isValid() const { return m_notifier != nullptr; }

signals:
    void caught(int signal);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
