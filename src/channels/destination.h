#pragma once

#include "protocol/servicetxt.h"

#include <QString>

// Where a connect goes: the host the user named, or a server found on the LAN with what its
// announcement said.
struct Destination
{
    QString host; // a name or address, as the channels are aimed at it
    bool announced = false;
    ServiceTxt txt;   // what the announcement carried
    QString hostName; // the announcing machine ("ofis.local")

    static Destination typed(const QString &host) { return {host, false, {}, {}}; }
};
