#pragma once

#include "serveridentity.h"

#include <QByteArray>
#include <QSslCertificate>
#include <QString>

// A certificate authority of the test's own, made when the test runs, so that no key is ever
// committed: put in this process's trust store, it vouches for the server certificates it
// issues, each for a host name or an address.
class TestAuthority
{
public:
    // A key and its certificate, PEM, as an admin would hand them to the server.
    struct Issued
    {
        QByteArray certificate;
        QByteArray key;
    };

    // Named commonName; null, with error() saying why, where OpenSSL failed.
    explicit TestAuthority(const QString &commonName = QStringLiteral("Vornel Test CA"));

    bool isNull() const { return m_certificate.isEmpty(); }
    QString error() const { return m_error; }
    QSslCertificate certificate() const;

    // A new key and a certificate for name (an IPv4 or IPv6 address or a DNS name, named so as
    // its subjectAltName), for server authentication. Empty, with *error set, on failure.
    Issued issue(const QString &name, QString *error = nullptr) const;
    // The same, read by the server's own loader from files. Null, with *error set, on failure.
    ServerIdentity identity(const QString &name, QString *error = nullptr) const;

    // From now on every TLS connection of this process that starts from the default
    // configuration takes the authority as trusted.
    void trust() const;

private:
    QByteArray m_certificate;
    QByteArray m_key;
    QString m_error;
};
