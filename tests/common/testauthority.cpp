#include "testauthority.h"

#include "opensslobjects.h"

#include <QFile>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <initializer_list>
#include <memory>
#include <utility>

namespace {

using namespace OpenSsl;

QByteArray contents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

QByteArray pemOf(X509 *certificate)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return {};
    return contents(bio.get());
}

QByteArray pemOf(EVP_PKEY *key)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return contents(bio.get());
}

Certificate certificateOf(const QByteArray &pem)
{
    const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

PrivateKey keyOf(const QByteArray &pem)
{
    const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return PrivateKey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                          : nullptr);
}

// A certificate for key, named commonName, valid for a day, with the extensions given; signed
// by issuerKey under issuer's name, or by key itself where issuer is null.
Certificate makeCertificate(EVP_PKEY *key, const QString &commonName, X509 *issuer,
                            EVP_PKEY *issuerKey,
                            std::initializer_list<std::pair<int, QByteArray>> extensions)
{
    Certificate certificate = newCertificate(key, commonName);
    const bool made =
        certificate && X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 60 * 60) &&
        X509_set_issuer_name(certificate.get(),
                             X509_get_subject_name(issuer ? issuer : certificate.get())) == 1;
    if (!made)
        return nullptr;
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : certificate.get(), certificate.get(), nullptr,
                   nullptr, 0);
    for (const auto &[nid, value] : extensions) {
        const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData()));
        if (!extension || X509_add_ext(certificate.get(), extension.get(), -1) != 1)
            return nullptr;
    }
    if (X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

TestAuthority::TestAuthority(const QString &commonName)
{
    ERR_clear_error();
    const PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const Certificate certificate =
        key ? makeCertificate(key.get(), commonName, nullptr, nullptr,
                              {{NID_basic_constraints, "critical,CA:TRUE"},
                               {NID_key_usage, "critical,keyCertSign,cRLSign"},
                               {NID_subject_key_identifier, "hash"}})
            : nullptr;
    if (certificate) {
        m_key = pemOf(key.get());
        m_certificate = pemOf(certificate.get());
    }
    if (m_key.isEmpty() || m_certificate.isEmpty()) {
        m_certificate.clear();
        m_error = OpenSsl::error(QLatin1StringView("cannot make the authority"));
    }
}

QSslCertificate TestAuthority::certificate() const
{
    return QSslCertificate(m_certificate, QSsl::Pem);
}

TestAuthority::Issued TestAuthority::issue(const QString &name, QString *error) const
{
    if (isNull()) {
        setError(error, m_error);
        return {};
    }
    ERR_clear_error();
    const Certificate authority = certificateOf(m_certificate);
    const PrivateKey authorityKey = keyOf(m_key);
    const PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const QHostAddress address(name);
    const QByteArray alternativeName =
        (address.isNull() ? QByteArray("DNS:") : QByteArray("IP:")) + name.toLatin1();
    const Certificate certificate =
        authority && authorityKey && key
            ? makeCertificate(key.get(), name, authority.get(), authorityKey.get(),
                              {{NID_basic_constraints, "critical,CA:FALSE"},
                               {NID_key_usage, "critical,digitalSignature"},
                               {NID_ext_key_usage, "serverAuth"},
                               {NID_subject_alt_name, alternativeName},
                               {NID_subject_key_identifier, "hash"},
                               {NID_authority_key_identifier, "keyid:always"}})
            : nullptr;
    Issued issued;
    if (certificate) {
        issued.certificate = pemOf(certificate.get());
        issued.key = pemOf(key.get());
    }
    if (issued.certificate.isEmpty() || issued.key.isEmpty()) {
        setError(error, OpenSsl::error(QLatin1StringView("cannot issue a certificate")));
        return {};
    }
    return issued;
}

ServerIdentity TestAuthority::identity(const QString &name, QString *error) const
{
    const Issued issued = issue(name, error);
    if (issued.certificate.isEmpty())
        return {};
    const QTemporaryDir directory;
    const QString certificateFile = directory.filePath(QStringLiteral("certificate.pem"));
    const QString keyFile = directory.filePath(QStringLiteral("key.pem"));
    for (const auto &[path, data] :
         {std::pair(certificateFile, issued.certificate), std::pair(keyFile, issued.key)}) {
        QFile file(path);
        if (!directory.isValid() || !file.open(QIODevice::WriteOnly) ||
            file.write(data) != data.size()) {
            setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
            return {};
        }
    }
    return ServerIdentity::load(certificateFile, keyFile, error);
}

void TestAuthority::trust() const
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificate(certificate());
    QSslConfiguration::setDefaultConfiguration(tls);
}
