#pragma once

#include <QByteArrayView>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcServer)

// A nickname as it may go into the log: decoded, quoted, control bytes escaped, so that
// a client cannot forge log lines.
QString printableNickname(QByteArrayView nickname);

// Log lines go to stderr, each with its time; under systemd's journal (JOURNAL_STREAM set)
// with the syslog priority prefix instead, so that warnings and errors are stored as such.
void setUpServerLog();
