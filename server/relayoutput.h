#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Identifies a connection for as long as the server runs.
using ConnectionId = quint64;

// What the relay core asks of the network after one input: messages to send, connections
// to close and log lines, each list in the order it was decided.
struct RelayOutput
{
    struct Send
    {
        ConnectionId to;
        QByteArray message;
    };
    struct Close
    {
        ConnectionId id;
        QString reason; // for the log
    };
    struct LogLine
    {
        QString host; // the address it is about, whose log budget it takes
        QString text;
        bool warning = false;
    };

    QList<Send> sends;
    QList<Close> closes;
    QList<LogLine> log;
};
