#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// The networks whose hosts may connect.
class SourceFilter
{
public:
    using Subnet = QPair<QHostAddress, int>;

    // Loopback, the private ranges (10/8, 172.16/12, 192.168/16, fc00::/7) and link-local.
    SourceFilter();

    // "192.168.1.0/24", "fd00::/8", or one address; false if it is neither.
    static bool parse(const QString &text, Subnet *subnet);
    void setAllowed(const QList<Subnet> &subnets) { m_allowed = subnets; }
    bool admits(const QHostAddress &address) const;

private:
    QList<Subnet> m_allowed;
};
