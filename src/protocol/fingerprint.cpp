#include "fingerprint.h"

#include <QCryptographicHash>

namespace Fingerprint {

QByteArray ofCertificate(QByteArrayView der)
{
    return QCryptographicHash::hash(der, QCryptographicHash::Sha256);
}

QString toText(QByteArrayView digest)
{
    return QString::fromLatin1(digest.toByteArray().toHex(':').toUpper());
}

QByteArray toHex(QByteArrayView digest)
{
    return digest.toByteArray().toHex();
}

QByteArray fromHex(QByteArrayView hex)
{
    if (hex.size() != 2 * DigestBytes)
        return {};
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return {};
    }
    return QByteArray::fromHex(hex.toByteArray());
}

} // namespace Fingerprint
