#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// What a server's DNS-SD announcement says beside its name, address and chat port: where its
// encrypted link listens and the fingerprint of its certificate, as TXT strings "key=value"
// with short keys, the version first (RFC 6763, 6.4 and 6.7).
struct ServiceTxt
{
    static constexpr int Version = 1;

    quint16 linkPort = 0;   // 0 where the announcement offers no link
    QByteArray fingerprint; // the certificate's SHA-256 digest, when announced

    QList<QByteArray> toRecords() const;
    // Keys in any letter case, the first of each counting; an announcement of another
    // version, or one whose values do not parse, offers nothing.
    static ServiceTxt fromRecords(const QList<QByteArray> &records);
};
