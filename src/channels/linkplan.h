#pragma once

#include "protocol/linkframes.h"

#include <QByteArray>
#include <QList>
#include <QString>

// How one connect reaches its server, and what the encrypted link's certificate must be for
// the terminal to go on with it.
struct LinkPlan
{
    enum class Mode {
        Plain,     // the four channels on sockets of their own, as always
        LinkFirst, // the link where the server offers it, otherwise plain at once
        LinkOnly,  // the link or nothing: never plain
    };
    Mode mode = Mode::LinkFirst;
    quint16 port = LinkPort;
    // Certificates taken as they are: the one announced, the ones seen this run.
    QList<QByteArray> fingerprints;
    // The name the system's trust store may vouch for the certificate under.
    QString verifyName;

    // Whether a certificate goes: any one on a first contact by a name typed, otherwise one
    // taken as it is or one the trust store vouches for.
    bool accepts(const QByteArray &fingerprint, bool vouched) const
    {
        return mode == Mode::LinkFirst || vouched || fingerprints.contains(fingerprint);
    }
};
