#pragma once

#include <QByteArrayView>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcServer)

// A nickname as it may go into the log: decoded, quoted, control bytes escaped, so that
// a client cannot forge log lines.
QString printableNickname(QByteArrayView nickname);
