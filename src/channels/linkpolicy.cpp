#include "linkpolicy.h"

LinkPlan LinkPolicy::planFor(const Destination &destination) const
{
    LinkPlan plan;
    if (destination.txt.linkPort != 0)
        plan.port = destination.txt.linkPort;
    if (!destination.txt.fingerprint.isEmpty())
        plan.fingerprints.append(destination.txt.fingerprint);
    plan.verifyName = destination.announced ? destination.hostName : destination.host;
    if (plan.verifyName.endsWith(u'.'))
        plan.verifyName.chop(1);

    const auto seen = m_seen.constFind(keyOf(destination.host));
    if (seen != m_seen.cend()) {
        plan.mode = LinkPlan::Mode::LinkOnly;
        if (destination.txt.linkPort == 0)
            plan.port = seen->port;
        plan.fingerprints += seen->fingerprints;
        if (!seen->vouchedName.isEmpty())
            plan.verifyName = seen->vouchedName;
    } else if (destination.announced) {
        // A server announced without a link speaks the plain protocol alone.
        plan.mode =
            destination.txt.linkPort != 0 ? LinkPlan::Mode::LinkOnly : LinkPlan::Mode::Plain;
    }
    return plan;
}

void LinkPolicy::reached(const Destination &destination, const QString &address,
                         const QByteArray &fingerprint, const QString &vouchedName)
{
    const quint16 port = planFor(destination).port;
    for (const QString &host : {destination.host, address}) {
        if (host.isEmpty())
            continue;
        Seen &seen = m_seen[keyOf(host)];
        seen.port = port;
        if (!seen.fingerprints.contains(fingerprint))
            seen.fingerprints.append(fingerprint);
        if (!vouchedName.isEmpty())
            seen.vouchedName = vouchedName;
    }
}

QString LinkPolicy::keyOf(const QString &host)
{
    // Host names are alike in any letter case; an address is written one way by Qt.
    return host.trimmed().toLower();
}
