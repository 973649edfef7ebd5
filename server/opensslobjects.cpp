#include "opensslobjects.h"

#include <openssl/rand.h>

namespace OpenSsl {

Certificate newCertificate(EVP_PKEY *key, const QString &commonName)
{
    Certificate certificate(X509_new());
    unsigned char serial[16];
    // The serial's sign bit is cleared: it must be positive.
    const bool serialMade = RAND_bytes(serial, sizeof serial) == 1;
    serial[0] &= 0x7f;
    const Bignum serialNumber(serialMade ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr);
    // Certificates allow 64 characters for a common name.
    const QByteArray name = commonName.left(64).toUtf8();
    X509_NAME *subject = certificate ? X509_get_subject_name(certificate.get()) : nullptr;
    const bool made =
        certificate && serialNumber && subject &&
        X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
        BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(certificate.get())) &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60) &&
        X509_NAME_add_entry_by_NID(subject, NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(name.constData()),
                                   int(name.size()), -1, 0) == 1 &&
        X509_set_pubkey(certificate.get(), key) == 1;
    return made ? std::move(certificate) : nullptr;
}

} // namespace OpenSsl
