#pragma once

#include <QLatin1StringView>

// How a Vornel server is found on a LAN without its address: it announces itself as a DNS-SD
// service of this type, on its chat port, and terminals browse for the type.
inline constexpr QLatin1StringView ServiceType("_vornel._tcp");
