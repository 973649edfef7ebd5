#include "sourcefilter.h"

SourceFilter::SourceFilter()
{
    for (const char *range : {"127.0.0.0/8", "::1/128", "10.0.0.0/8", "172.16.0.0/12",
                              "192.168.0.0/16", "fc00::/7", "169.254.0.0/16", "fe80::/10"})
        m_allowed.append(QHostAddress::parseSubnet(QString::fromLatin1(range)));
}

bool SourceFilter::parse(const QString &text, Subnet *subnet)
{
    Subnet parsed = QHostAddress::parseSubnet(text);
    if (parsed.first.isNull()) {
        QHostAddress single;
        if (!single.setAddress(text))
            return false;
        parsed = {single, single.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
    }
    *subnet = parsed;
    return true;
}

bool SourceFilter::admits(const QHostAddress &address) const
{
    // An IPv4 client of a dual-stack socket shows as ::ffff:a.b.c.d.
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    const QHostAddress plain = isV4 ? QHostAddress(v4) : address;
    for (const Subnet &subnet : m_allowed) {
        if (plain.isInSubnet(subnet))
            return true;
    }
    return false;
}
