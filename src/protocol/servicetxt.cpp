#include "servicetxt.h"

#include "protocol/fingerprint.h"

#include <QHash>

namespace {

constexpr QByteArrayView VersionKey = "txtvers";
constexpr QByteArrayView PortKey = "tls";
constexpr QByteArrayView FingerprintKey = "fp";

} // namespace

QList<QByteArray> ServiceTxt::toRecords() const
{
    QList<QByteArray> records{VersionKey.toByteArray() + '=' + QByteArray::number(Version)};
    if (linkPort != 0)
        records.append(PortKey.toByteArray() + '=' + QByteArray::number(linkPort));
    if (!fingerprint.isEmpty())
        records.append(FingerprintKey.toByteArray() + '=' + Fingerprint::toHex(fingerprint));
    return records;
}

ServiceTxt ServiceTxt::fromRecords(const QList<QByteArray> &records)
{
    QHash<QByteArray, QByteArray> values;
    for (const QByteArray &record : records) {
        const qsizetype equals = record.indexOf('=');
        const QByteArray key = (equals < 0 ? record : record.left(equals)).toLower();
        if (!key.isEmpty() && !values.contains(key))
            values.insert(key, equals < 0 ? QByteArray() : record.mid(equals + 1));
    }
    ServiceTxt txt;
    if (values.value(VersionKey.toByteArray()) != QByteArray::number(Version))
        return txt;
    bool ok = false;
    const uint port = values.value(PortKey.toByteArray()).toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        txt.linkPort = quint16(port);
    txt.fingerprint = Fingerprint::fromHex(values.value(FingerprintKey.toByteArray()));
    return txt;
}
