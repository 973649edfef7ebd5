#pragma once

#include <QThread>

// The thread a session's channels read on; stopped and waited for when it is destroyed, so
// that whatever still lives on it is deleted first.
class IoThread : public QThread
{
    Q_OBJECT

public:
    explicit IoThread(QObject *parent = nullptr);
    ~IoThread() override;
};
