#include "foundservers.h"

#include "protocol/namesearch.h"

#include <QMap>

#include <algorithm>

namespace {

bool isIPv4(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol;
}

QStringView withoutTrailingBlanks(QStringView text)
{
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t' ||
                               text.back() == u'\r' || text.back() == u'\n'))
        text.chop(1);
    return text;
}

} // namespace

bool FoundServers::resolved(const Sighting &sighting, const QString &hostName,
                            const QHostAddress &address, quint16 port, const ServiceTxt &txt)
{
    const QList<FoundServer> before = servers();
    m_resolutions.removeIf([&](const Resolution &r) { return r.sighting == sighting; });
    m_resolutions.append({sighting, hostName, address, port, txt});
    return servers() != before;
}

bool FoundServers::removed(const Sighting &sighting)
{
    const QList<FoundServer> before = servers();
    m_resolutions.removeIf([&](const Resolution &r) { return r.sighting == sighting; });
    return servers() != before;
}

bool FoundServers::clear()
{
    const bool any = !m_resolutions.isEmpty();
    m_resolutions.clear();
    return any;
}

QList<FoundServer> FoundServers::servers() const
{
    // Keyed by the folded name first, so that the list reads in alphabetical order.
    QMap<std::pair<QString, QString>, FoundServer> byName;
    for (const Resolution &r : m_resolutions) {
        FoundServer &server = byName[{NameSearch::key(r.sighting.name), r.sighting.name}];
        const bool first = server.name.isEmpty();
        // The first IPv4 resolution, or the first at all where there is none.
        if (first || (isIPv4(r.address) && !isIPv4(server.address))) {
            server.name = r.sighting.name;
            server.hostName = r.hostName;
            server.address = r.address;
            server.port = r.port;
        }
        // One service has one TXT record: the newest reading of it holds, whichever sighting.
        server.txt = r.txt;
        if (!server.addresses.contains(r.address))
            server.addresses.append(r.address);
    }
    QList<FoundServer> out;
    out.reserve(byName.size());
    for (FoundServer &server : byName) {
        std::stable_partition(server.addresses.begin(), server.addresses.end(), isIPv4);
        out.append(std::move(server));
    }
    return out;
}

std::optional<FoundServer> FoundServers::find(QStringView typed) const
{
    const QStringView wanted = withoutTrailingBlanks(typed);
    if (wanted.isEmpty())
        return std::nullopt;
    const QString key = NameSearch::key(wanted);
    std::optional<FoundServer> alike;
    int alikeCount = 0;
    for (const FoundServer &server : servers()) {
        if (server.name == wanted)
            return server;
        if (NameSearch::key(server.name) == key) {
            alike = server;
            ++alikeCount;
        }
    }
    if (alikeCount == 1)
        return alike;
    return std::nullopt;
}
