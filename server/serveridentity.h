#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// What the server's encrypted link presents: a private key and its certificate. By default
// the server's own, made at its first start and kept in its state directory; or an admin's,
// such as one the organisation's CA issued for the server's DNS name.
class ServerIdentity
{
public:
    bool isNull() const { return m_certificate.isNull() || m_key.isNull(); }
    const QSslCertificate &certificate() const { return m_certificate; }
    const QSslKey &key() const { return m_key; }
    // The authorities between the certificate and the one terminals trust, as an admin's file
    // lists them after it; presented with it.
    const QList<QSslCertificate> &chain() const { return m_chain; }
    // The SHA-256 digest of the certificate (DER).
    QByteArray fingerprint() const;

    // A new EC key (P-256) and a certificate for it signed by itself, naming commonName;
    // made with OpenSSL's own API. Null, with *error set, if OpenSSL fails.
    static ServerIdentity generate(const QString &commonName, QString *error);
    // An admin's, from PEM files. Null, with *error set, where either cannot be read or the
    // key is not the certificate's.
    static ServerIdentity load(const QString &certificateFile, const QString &keyFile,
                               QString *error);
    // The server's own, read from directory where it was kept, otherwise made and kept there
    // (the key readable by its owner alone) for every later start. One that cannot be kept is
    // made for this run only: *note then says why (for the log), and is empty otherwise.
    // Null, with *note set, only where a kept one is unreadable or generating fails.
    static ServerIdentity own(const QString &directory, const QString &commonName, QString *note);
    // Where the server keeps its own: systemd's $STATE_DIRECTORY (the first, where it names
    // several); run by hand, $XDG_STATE_HOME/vornel-server, by default
    // ~/.local/state/vornel-server.
    static QString stateDirectory();

private:
    QSslCertificate m_certificate;
    QList<QSslCertificate> m_chain;
    QSslKey m_key;
};
