#pragma once

#include "protocol/servicetxt.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>
#include <tuple>

// A Vornel server announced on the LAN, as the terminal offers it.
struct FoundServer
{
    QString name;     // the name it is announced under, unique on the LAN
    QString hostName; // its machine, such as "ofis.local"
    // Where to reach it: an IPv4 address where it has one, which every machine can use.
    QHostAddress address;
    quint16 port = 0;
    // Every address it was found at, IPv4 first; link-local IPv6 ones carry their interface.
    QList<QHostAddress> addresses;
    // What its announcement carries, as the latest resolution of any of its sightings read it.
    ServiceTxt txt;

    bool operator==(const FoundServer &other) const
    {
        return std::tie(name, hostName, address, port, addresses) ==
                   std::tie(other.name, other.hostName, other.address, other.port,
                            other.addresses) &&
               txt.toRecords() == other.txt.toRecords();
    }
};

// The servers found so far, one entry per announced name, kept from what DNS-SD reports: a
// service is seen once for each interface and IP protocol it is announced on, and is offered
// as long as any of those is left.
class FoundServers
{
public:
    // One sighting of a service: where it was seen, under which name.
    struct Sighting
    {
        int interfaceIndex = 0;
        int protocol = 0;
        QString name;

        bool operator==(const Sighting &) const = default;
    };

    // A sighting resolved to its machine, address, port and TXT record; a later resolution of
    // the same sighting replaces the earlier. True when the servers offered changed.
    bool resolved(const Sighting &sighting, const QString &hostName, const QHostAddress &address,
                  quint16 port, const ServiceTxt &txt = {});
    // The sighting went away. True when the servers offered changed.
    bool removed(const Sighting &sighting);
    // True when there was anything to forget.
    bool clear();

    // Ordered by name, letter case by Turkish rules.
    QList<FoundServer> servers() const;

    // The server announced under the name typed. The text typed stands without its trailing
    // blanks and line breaks; a name equal to it character for character is the one meant;
    // else the one name equal to it in letter case by Turkish rules, as nicknames compare
    // (i/İ and ı/I are pairs, so "ofis" finds "OFİS" but not "OFIS"). Nothing when no name
    // is, or when several differ from it in letter case alone: the terminal does not guess.
    // Names are matched whole: the beginning of a name finds nothing.
    std::optional<FoundServer> find(QStringView typed) const;

private:
    struct Resolution
    {
        Sighting sighting;
        QString hostName;
        QHostAddress address;
        quint16 port = 0;
        ServiceTxt txt;
    };

    QList<Resolution> m_resolutions; // in the order they came
};
