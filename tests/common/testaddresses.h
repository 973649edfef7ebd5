#pragma once

#include <QHostAddress>
#include <QString>

#include <array>
#include <cstdint>
#include <string_view>

// The loopback addresses each test program (and benchmark) binds or connects from. The chat
// ports are fixed, so two programs run in parallel must never share an address: the table
// below is checked for overlaps when it compiles, and the stand-in servers and clients check
// at run time that they stay inside their own program's ranges.
namespace TestAddresses {

struct Range
{
    std::string_view program;
    std::uint32_t first;
    std::uint32_t last;
};

constexpr std::uint32_t ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

constexpr Range range(std::string_view program, std::uint32_t c, std::uint32_t first,
                      std::uint32_t last)
{
    return {program, ip(127, 0, c, first), ip(127, 0, c, last)};
}

inline constexpr std::array ranges{
    range("tst_connection", 0, 10, 29),
    range("tst_chat", 0, 30, 49),
    range("tst_userlist", 0, 50, 69),
    range("tst_session", 0, 70, 89),
    range("tst_endtoend", 0, 90, 109),
    range("tst_hostile", 0, 110, 139),
    range("tst_textstyle", 0, 140, 149),
    range("tst_wire", 0, 150, 159),
    range("tst_wire", 0, 201, 205),
    range("tst_about", 0, 160, 169),
    range("tst_server_chat", 0, 170, 179),
    range("tst_server_chat", 1, 100, 189), // hosts the chat tests play
    range("tst_server_presence", 0, 180, 185),
    range("tst_server_presence", 0, 188, 188),
    range("tst_server_cli", 0, 186, 187),
    range("tst_server_cli", 0, 189, 189),
    range("tst_server_cli", 1, 200, 200),
    range("tst_server_link", 0, 190, 199),
    range("tst_server_link", 1, 190, 199),
    range("tst_server_tls", 6, 1, 29),
    range("tst_securesession", 7, 1, 29),
    range("vornel-screenshots", 0, 200, 200),
    range("bench_flood", 0, 210, 219),
    range("bench_arrivals", 0, 220, 229),
    range("bench_serverload", 0, 230, 250),
    Range{"bench_serverload", ip(127, 0, 2, 1), ip(127, 0, 4, 2)}, // its LAN of terminals
    range("tst_desktop", 5, 10, 19),
};

constexpr bool disjoint(const Range &a, const Range &b)
{
    return a.last < b.first || b.last < a.first;
}

constexpr bool noneOverlap()
{
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].first > ranges[i].last)
            return false;
        for (std::size_t j = i + 1; j < ranges.size(); ++j) {
            if (!disjoint(ranges[i], ranges[j]))
                return false;
        }
    }
    return true;
}
static_assert(noneOverlap(), "two test programs share loopback addresses");

// Whether the address lies in one of the program's own ranges.
bool belongsTo(const QString &program, const QHostAddress &address);

// Stops the running program at once when it is about to use an address of another's.
void check(const QHostAddress &address);

} // namespace TestAddresses
