#pragma once

#include "destination.h"
#include "linkplan.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// Decides how each connect reaches its server, and remembers for the rest of the run which
// hosts were reached on the encrypted link, with the certificates they showed: such a host is
// never reached in plain again, by a retry or by the user's next connect, and must show the
// same certificate (or one its announcement names, or one the trust store vouches for).
// Nothing is kept beyond the run.
class LinkPolicy
{
public:
    LinkPlan planFor(const Destination &destination) const;
    // The link to destination, found at address, showed this certificate; vouchedName is the
    // name the trust store vouched for it under, if any.
    void reached(const Destination &destination, const QString &address,
                 const QByteArray &fingerprint, const QString &vouchedName);

private:
    struct Seen
    {
        quint16 port = 0;
        QList<QByteArray> fingerprints;
        QString vouchedName;
    };
    static QString keyOf(const QString &host);

    QHash<QString, Seen> m_seen;
};
