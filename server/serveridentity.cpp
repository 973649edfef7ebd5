#include "serveridentity.h"

#include "opensslobjects.h"
#include "protocol/fingerprint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace OpenSsl;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// A host name a certificate can carry as a DNS subjectAltName: letters, digits and inner
// hyphens, labels of up to 63, and not an IPv4 address.
bool isDnsName(const QString &name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    const QStringList labels = name.split(QLatin1Char('.'));
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!(c.isDigit() || c == QLatin1Char('-') || (c.unicode() < 0x80 && c.isLetter())))
                return false;
        }
    }
    bool numeric = false;
    labels.last().toUInt(&numeric);
    return !numeric;
}

bool addExtension(X509 *certificate, X509V3_CTX *context, int nid, const char *value)
{
    const Extension extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

// The key as PKCS#8 PEM, which Qt reads for either algorithm; null for any other algorithm.
QSslKey toQt(EVP_PKEY *key, QString *error)
{
    QSsl::KeyAlgorithm algorithm;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_EC:
        algorithm = QSsl::Ec;
        break;
    case EVP_PKEY_RSA:
        algorithm = QSsl::Rsa;
        break;
    default:
        setError(error, QStringLiteral("the key is neither EC nor RSA"));
        return {};
    }
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        setError(error, OpenSsl::error(QLatin1StringView("cannot write the key")));
        return {};
    }
    QSslKey qtKey(bioContents(bio.get()), algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (qtKey.isNull())
        setError(error, QStringLiteral("Qt's TLS backend does not take the key"));
    return qtKey;
}

// A passphrase callback that has none: an encrypted key is refused rather than asked for
// on the terminal.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

// Writes data to path by way of a file of our own beside it, so that path is either
// whole or absent.
bool writeWhole(const QString &path, const QByteArray &data, QString *reason)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            break;
        }
        written += n;
    }
    bool ok = written == data.size() && ::fsync(fd) == 0;
    if (!ok)
        *reason = qt_error_string(errno);
    if (::close(fd) != 0 && ok) {
        *reason = qt_error_string(errno);
        ok = false;
    }
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        *reason = qt_error_string(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}

// The directory, made readable by its owner alone where it is new.
bool makeDirectory(const QString &directory, QString *reason)
{
    const QFileInfo info(directory);
    if (info.isDir())
        return true;
    QDir().mkpath(info.absolutePath());
    if (::mkdir(QFile::encodeName(directory).constData(), 0700) != 0 && errno != EEXIST) {
        *reason = qt_error_string(errno);
        return false;
    }
    return true;
}

void syncDirectory(const QString &directory)
{
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

QString forThisRunOnly(const QString &directory, const QString &reason)
{
    return QStringLiteral("cannot keep the server's key in %1 (%2): a new one is made for this "
                          "run only, and terminals will see another fingerprint after a restart")
        .arg(directory, reason);
}

} // namespace

QByteArray ServerIdentity::fingerprint() const
{
    if (m_certificate.isNull())
        return {};
    return Fingerprint::ofCertificate(m_certificate.toDer());
}

ServerIdentity ServerIdentity::generate(const QString &commonName, QString *error)
{
    ERR_clear_error();
    const PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        setError(error, OpenSsl::error(QLatin1StringView("cannot make the key")));
        return {};
    }

    const Certificate certificate = newCertificate(key.get(), commonName);
    bool made =
        certificate &&
        // No well-defined expiration date, as RFC 5280 spells it.
        ASN1_TIME_set_string_X509(X509_getm_notAfter(certificate.get()), "99991231235959Z") == 1 &&
        X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get())) == 1;
    if (made) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
        made =
            addExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:FALSE") &&
            addExtension(certificate.get(), &context, NID_key_usage, "digitalSignature") &&
            addExtension(certificate.get(), &context, NID_ext_key_usage, "serverAuth") &&
            addExtension(certificate.get(), &context, NID_subject_key_identifier, "hash") &&
            (!isDnsName(commonName) ||
             addExtension(certificate.get(), &context, NID_subject_alt_name,
                          QByteArray("DNS:" + commonName.toLatin1()).constData())) &&
            X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    }
    if (!made) {
        setError(error, OpenSsl::error(QLatin1StringView("cannot make the certificate")));
        return {};
    }

    const Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_X509(pem.get(), certificate.get()) != 1) {
        setError(error, OpenSsl::error(QLatin1StringView("cannot write the certificate")));
        return {};
    }
    ServerIdentity identity;
    identity.m_certificate = QSslCertificate(bioContents(pem.get()), QSsl::Pem);
    if (identity.m_certificate.isNull()) {
        setError(error, QStringLiteral("Qt's TLS backend does not take the certificate"));
        return {};
    }
    identity.m_key = toQt(key.get(), error);
    if (identity.m_key.isNull())
        return {};
    return identity;
}

ServerIdentity ServerIdentity::load(const QString &certificateFile, const QString &keyFile,
                                    QString *error)
{
    const auto read = [error](const QString &path, QByteArray *data) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
            return false;
        }
        *data = file.readAll();
        return true;
    };
    QByteArray certificatePem;
    QByteArray keyPem;
    if (!read(certificateFile, &certificatePem) || !read(keyFile, &keyPem))
        return {};

    ServerIdentity identity;
    // The server's own first, then whatever intermediate authorities an admin's file holds.
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromData(certificatePem, QSsl::Pem);
    identity.m_certificate = certificates.value(0);
    identity.m_chain = certificates.mid(1);
    if (identity.m_certificate.isNull()) {
        setError(error, QStringLiteral("%1 holds no PEM certificate").arg(certificateFile));
        return {};
    }

    ERR_clear_error();
    const Bio keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    const PrivateKey key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, nullptr) : nullptr);
    if (!key) {
        ERR_clear_error();
        setError(
            error,
            QStringLiteral("%1 holds no private key (PEM, without a passphrase)").arg(keyFile));
        return {};
    }
    const QByteArray der = identity.m_certificate.toDer();
    const auto *derData = reinterpret_cast<const unsigned char *>(der.constData());
    const Certificate certificate(d2i_X509(nullptr, &derData, long(der.size())));
    if (!certificate || X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        setError(error, QStringLiteral("the key in %1 is not the certificate's").arg(keyFile));
        return {};
    }

    QString reason;
    identity.m_key = toQt(key.get(), &reason);
    if (identity.m_key.isNull()) {
        setError(error, keyFile % QLatin1StringView(": ") % reason);
        return {};
    }
    return identity;
}

ServerIdentity ServerIdentity::own(const QString &directory, const QString &commonName,
                                   QString *note)
{
    const QString keyFile = directory + QLatin1StringView("/key.pem");
    const QString certificateFile = directory + QLatin1StringView("/certificate.pem");
    const bool keyKept = QFileInfo::exists(keyFile);
    const bool certificateKept = QFileInfo::exists(certificateFile);
    note->clear();

    if (keyKept && certificateKept) {
        QString error;
        ServerIdentity kept = load(certificateFile, keyFile, &error);
        if (kept.isNull())
            *note = QStringLiteral("the server's key kept in %1 cannot be used: %2")
                        .arg(directory, error);
        return kept;
    }

    QString error;
    ServerIdentity made = generate(commonName, &error);
    if (made.isNull()) {
        *note = error;
        return made;
    }
    // Half of a pair is no key to go on with, nor one to replace unasked.
    if (keyKept || certificateKept) {
        *note = forThisRunOnly(directory, QStringLiteral("%1 is there without %2")
                                              .arg(keyKept ? keyFile : certificateFile,
                                                   keyKept ? certificateFile : keyFile));
        return made;
    }

    QString reason;
    if (!makeDirectory(directory, &reason) || !writeWhole(keyFile, made.m_key.toPem(), &reason)) {
        *note = forThisRunOnly(directory, reason);
        return made;
    }
    if (!writeWhole(certificateFile, made.m_certificate.toPem(), &reason)) {
        // A key alone would stop every later start from keeping one.
        ::unlink(QFile::encodeName(keyFile).constData());
        *note = forThisRunOnly(directory, reason);
        return made;
    }
    syncDirectory(directory);
    return made;
}

QString ServerIdentity::stateDirectory()
{
    const QString systemd = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!systemd.isEmpty())
        return systemd;
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(xdg))
        return xdg + QLatin1StringView("/vornel-server");
    return QDir::homePath() + QLatin1StringView("/.local/state/vornel-server");
}
