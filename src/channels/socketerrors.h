#pragma once

#include <QAbstractSocket>
#include <QString>

// Error numbers of the classic socket control, and of the encrypted link, with Turkish
// descriptions.
namespace SocketErrors {

enum Number : int {
    InvalidPropertyValue = 380,
    AccessDenied = 10013,
    AddressInUse = 10048,
    AddressNotAvailable = 10049,
    NetworkUnreachable = 10051,
    ConnectionAborted = 10053,
    ConnectionReset = 10054,
    NoBufferSpace = 10055,
    TimedOut = 10060,
    ConnectionRefused = 10061,
    HostNotFound = 11001,
    WrongProtocolOrState = 40006,
    InvalidOperation = 40020,
    Unexpected = 40021,
    // The encrypted link's own: not a server the terminal can trust, or no TLS where a link
    // was expected.
    ServerIdentityRefused = 40101,
    SecureHandshakeFailed = 40102,
};

QString description(int number);

// Maps a Qt socket error to the classic number.
int fromSocketError(QAbstractSocket::SocketError error);

} // namespace SocketErrors
