#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// While it lives, holds what Qt logs, so that starting without any platform able to show the
// window ends with one line of our own and status 1 instead of Qt's plugin messages and an
// abort. What was held goes out as usual when it ends.
class StartupMessages
{
public:
    explicit StartupMessages(QByteArray failure);
    ~StartupMessages();
    StartupMessages(const StartupMessages &) = delete;
    StartupMessages &operator=(const StartupMessages &) = delete;

private:
    struct Message
    {
        QtMsgType type;
        QByteArray category;
        QString text;
    };
    static void hold(QtMsgType type, const QMessageLogContext &context, const QString &text);

    QByteArray m_failure;
    QList<Message> m_held;
    QtMessageHandler m_previous = nullptr;
};
