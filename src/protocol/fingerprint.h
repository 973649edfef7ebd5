#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// A server is known by the SHA-256 digest of its certificate (DER): shown to people as
// "AB:CD:…", 32 pairs of upper-case hex digits with colons, as `vornel-server --fingerprint`
// prints it, and announced on the LAN as 64 lower-case hex digits.
namespace Fingerprint {

inline constexpr int DigestBytes = 32;

QByteArray ofCertificate(QByteArrayView der);
QString toText(QByteArrayView digest);
QByteArray toHex(QByteArrayView digest);
// The digest 64 hex digits spell (either case); empty for anything else.
QByteArray fromHex(QByteArrayView hex);

} // namespace Fingerprint
