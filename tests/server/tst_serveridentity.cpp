// The server's key and certificate: made, kept, and read back; OpenSSL here checks what
// Qt alone cannot, that a key and a certificate belong together.
#include "serveridentity.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <sys/stat.h>

namespace {

template <auto free> struct Free
{
    template <typename T> void operator()(T *p) const { free(p); }
};
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Certificate = std::unique_ptr<X509, Free<X509_free>>;
using PrivateKey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;

Bio memory(const QByteArray &data)
{
    return Bio(BIO_new_mem_buf(data.constData(), int(data.size())));
}

// The SubjectPublicKeyInfo of a private key, as QSslCertificate::publicKey() gives it.
QByteArray publicPart(const QSslKey &key)
{
    const PrivateKey pkey(
        PEM_read_bio_PrivateKey(memory(key.toPem()).get(), nullptr, nullptr, nullptr));
    unsigned char *der = nullptr;
    const int size = pkey ? i2d_PUBKEY(pkey.get(), &der) : 0;
    const QByteArray result(reinterpret_cast<const char *>(der), size);
    OPENSSL_free(der);
    return result;
}

bool signedByItself(const QSslCertificate &certificate)
{
    const Certificate x509(
        PEM_read_bio_X509(memory(certificate.toPem()).get(), nullptr, nullptr, nullptr));
    return x509 && X509_verify(x509.get(), X509_get0_pubkey(x509.get())) == 1;
}

// An admin's pair of another kind: an RSA key and a certificate for it.
QPair<QByteArray, QByteArray> rsaPair()
{
    const PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048)));
    const Certificate certificate(X509_new());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("admin"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    X509_set_pubkey(certificate.get(), key.get());
    X509_sign(certificate.get(), key.get(), EVP_sha256());
    const Bio keyPem(BIO_new(BIO_s_mem()));
    const Bio certificatePem(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(certificatePem.get(), certificate.get());
    const auto contents = [](BIO *bio) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        return QByteArray(data, size);
    };
    return {contents(certificatePem.get()), contents(keyPem.get())};
}

void write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(data), data.size());
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int mode(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class TestServerIdentity : public QObject
{
    Q_OBJECT

private slots:
    void generated();
    void keptInItsDirectory();
    void notKept();
    void loaded();
    void stateDirectory();
};

void TestServerIdentity::generated()
{
    QString error;
    const ServerIdentity one = ServerIdentity::generate(QStringLiteral("vornel.example"), &error);
    QVERIFY2(!one.isNull(), qPrintable(error));
    const QSslCertificate &certificate = one.certificate();
    QCOMPARE(one.key().algorithm(), QSsl::Ec);
    QCOMPARE(certificate.publicKey().toDer(), publicPart(one.key()));
    QVERIFY(signedByItself(certificate));
    const QStringList name{QStringLiteral("vornel.example")};
    QCOMPARE(certificate.subjectInfo(QSslCertificate::CommonName), name);
    QCOMPARE(certificate.issuerInfo(QSslCertificate::CommonName), name);
    QCOMPARE(certificate.subjectAlternativeNames().values(QSsl::DnsEntry), name);
    QVERIFY(certificate.effectiveDate() <= QDateTime::currentDateTimeUtc());
    QCOMPARE(certificate.expiryDate().date().year(), 9999);
    QCOMPARE(one.fingerprint().size(), 32);
    QCOMPARE(one.fingerprint(),
             QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256));

    // A name that is no DNS name is the common name alone, in UTF-8.
    const QString hostName = QStringLiteral("Çay ocağı");
    const ServerIdentity other = ServerIdentity::generate(hostName, &error);
    QVERIFY2(!other.isNull(), qPrintable(error));
    QCOMPARE(other.certificate().subjectInfo(QSslCertificate::CommonName), QStringList{hostName});
    QVERIFY(other.certificate().subjectAlternativeNames().isEmpty());

    const ServerIdentity again = ServerIdentity::generate(QStringLiteral("vornel.example"), &error);
    QVERIFY(again.fingerprint() != one.fingerprint());
    QVERIFY(again.certificate().serialNumber() != one.certificate().serialNumber());
    QVERIFY(publicPart(again.key()) != publicPart(one.key()));
}

void TestServerIdentity::keptInItsDirectory()
{
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const QString directory = temporary.filePath(QStringLiteral("state/vornel-server"));
    QString note = QStringLiteral("stale");
    const ServerIdentity made = ServerIdentity::own(directory, QStringLiteral("host"), &note);
    QVERIFY(!made.isNull());
    QCOMPARE(note, QString());
    QCOMPARE(mode(directory), 0700);
    QCOMPARE(mode(directory + QStringLiteral("/key.pem")), 0600);
    QVERIFY(QFile::exists(directory + QStringLiteral("/certificate.pem")));
    QCOMPARE(QDir(directory).entryList(QDir::Files).size(), 2);

    const ServerIdentity kept = ServerIdentity::own(directory, QStringLiteral("host"), &note);
    QVERIFY(!kept.isNull());
    QCOMPARE(note, QString());
    QCOMPARE(kept.fingerprint(), made.fingerprint());
    QCOMPARE(kept.key().toDer(), made.key().toDer());
}

void TestServerIdentity::notKept()
{
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    QString note;

    // A directory that cannot be made: a new identity for this run.
    write(temporary.filePath(QStringLiteral("file")), "not a directory");
    const QString blocked = temporary.filePath(QStringLiteral("file/sub"));
    QVERIFY(!ServerIdentity::own(blocked, QStringLiteral("host"), &note).isNull());
    QVERIFY2(note.contains(QStringLiteral("this run only")), qPrintable(note));
    QVERIFY2(note.contains(blocked), qPrintable(note));

    // A kept key that cannot be read is left for the admin to see to, never replaced.
    const QString broken = temporary.filePath(QStringLiteral("broken"));
    QVERIFY(!ServerIdentity::own(broken, QStringLiteral("host"), &note).isNull());
    const QString keyFile = broken + QStringLiteral("/key.pem");
    // The key just made, cut short, as a disk that filled up would leave it.
    const QByteArray cut = contents(keyFile).first(40);
    write(keyFile, cut);
    QVERIFY(ServerIdentity::own(broken, QStringLiteral("host"), &note).isNull());
    QVERIFY2(note.contains(keyFile), qPrintable(note));
    QCOMPARE(contents(keyFile), cut);

    // Half a pair: neither half is replaced.
    const QString half = temporary.filePath(QStringLiteral("half"));
    const ServerIdentity first = ServerIdentity::own(half, QStringLiteral("host"), &note);
    QVERIFY(QFile::remove(half + QStringLiteral("/certificate.pem")));
    const QByteArray key = contents(half + QStringLiteral("/key.pem"));
    const ServerIdentity second = ServerIdentity::own(half, QStringLiteral("host"), &note);
    QVERIFY(!second.isNull());
    QVERIFY2(note.contains(QStringLiteral("this run only")), qPrintable(note));
    QVERIFY(second.fingerprint() != first.fingerprint());
    QCOMPARE(contents(half + QStringLiteral("/key.pem")), key);
    QVERIFY(!QFile::exists(half + QStringLiteral("/certificate.pem")));
}

void TestServerIdentity::loaded()
{
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    QString error;
    const ServerIdentity one = ServerIdentity::generate(QStringLiteral("one"), &error);
    const ServerIdentity two = ServerIdentity::generate(QStringLiteral("two"), &error);
    const QString certificateFile = temporary.filePath(QStringLiteral("one.crt"));
    const QString keyFile = temporary.filePath(QStringLiteral("one.key"));
    const QString otherKeyFile = temporary.filePath(QStringLiteral("two.key"));
    write(certificateFile, one.certificate().toPem());
    write(keyFile, one.key().toPem());
    write(otherKeyFile, two.key().toPem());

    const ServerIdentity loaded = ServerIdentity::load(certificateFile, keyFile, &error);
    QVERIFY2(!loaded.isNull(), qPrintable(error));
    QCOMPARE(loaded.fingerprint(), one.fingerprint());
    QCOMPARE(loaded.key().toDer(), one.key().toDer());

    QVERIFY(ServerIdentity::load(certificateFile, otherKeyFile, &error).isNull());
    QCOMPARE(error, QStringLiteral("the key in %1 is not the certificate's").arg(otherKeyFile));
    QVERIFY(ServerIdentity::load(certificateFile, certificateFile, &error).isNull());
    QVERIFY2(error.startsWith(certificateFile + QStringLiteral(" holds no private key")),
             qPrintable(error));
    QVERIFY(ServerIdentity::load(keyFile, keyFile, &error).isNull());
    QCOMPARE(error, QStringLiteral("%1 holds no PEM certificate").arg(keyFile));
    const QString missing = temporary.filePath(QStringLiteral("missing.crt"));
    QVERIFY(ServerIdentity::load(missing, keyFile, &error).isNull());
    QVERIFY2(error.startsWith(QStringLiteral("cannot read ") + missing), qPrintable(error));

    const auto [rsaCertificate, rsaKey] = rsaPair();
    write(certificateFile, rsaCertificate);
    write(keyFile, rsaKey);
    const ServerIdentity rsa = ServerIdentity::load(certificateFile, keyFile, &error);
    QVERIFY2(!rsa.isNull(), qPrintable(error));
    QCOMPARE(rsa.key().algorithm(), QSsl::Rsa);
    QCOMPARE(rsa.certificate().publicKey().toDer(), publicPart(rsa.key()));
}

void TestServerIdentity::stateDirectory()
{
    const QByteArray stateDirectory = qgetenv("STATE_DIRECTORY");
    const QByteArray stateHome = qgetenv("XDG_STATE_HOME");
    const bool hadStateDirectory = qEnvironmentVariableIsSet("STATE_DIRECTORY");
    const bool hadStateHome = qEnvironmentVariableIsSet("XDG_STATE_HOME");
    const auto restore = qScopeGuard([&] {
        hadStateDirectory ? qputenv("STATE_DIRECTORY", stateDirectory)
                          : qunsetenv("STATE_DIRECTORY");
        hadStateHome ? qputenv("XDG_STATE_HOME", stateHome) : qunsetenv("XDG_STATE_HOME");
    });

    qputenv("STATE_DIRECTORY", "/var/lib/vornel-server:/var/lib/other");
    qputenv("XDG_STATE_HOME", "/home/someone/.state");
    QCOMPARE(ServerIdentity::stateDirectory(), QStringLiteral("/var/lib/vornel-server"));
    qunsetenv("STATE_DIRECTORY");
    QCOMPARE(ServerIdentity::stateDirectory(),
             QStringLiteral("/home/someone/.state/vornel-server"));
    qputenv("XDG_STATE_HOME", "relative");
    QCOMPARE(ServerIdentity::stateDirectory(),
             QDir::homePath() + QStringLiteral("/.local/state/vornel-server"));
}

QTEST_GUILESS_MAIN(TestServerIdentity)
#include "tst_serveridentity.moc"
