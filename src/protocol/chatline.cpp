#include "chatline.h"

#include "cp1254.h"

QByteArray joinNotice(QByteArrayView nickname)
{
    static const QByteArray suffix = Cp1254::encode(JoinSuffix);
    return nickname.toByteArray() + suffix;
}

QByteArray logLine(QByteArrayView text)
{
    return text.toByteArray() + "\r\n";
}

QByteArray leaveLine(QByteArrayView nickname)
{
    static const QByteArray suffix = Cp1254::encode(LeaveSuffix) + "\r\n";
    return nickname.toByteArray() + suffix;
}
