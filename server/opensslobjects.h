#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringBuilder>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

// OpenSSL's objects, each freed with its own function, and its errors as the log says them.
namespace OpenSsl {

template <auto free> struct Free
{
    template <typename T> void operator()(T *p) const { free(p); }
};
using Bignum = std::unique_ptr<BIGNUM, Free<BN_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Certificate = std::unique_ptr<X509, Free<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Free<X509_EXTENSION_free>>;
using PrivateKey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;

// The first error OpenSSL queued, after what we were doing. The queue is emptied: Qt's TLS
// code shares it and would take an error left behind for one of its own.
inline QString error(QLatin1StringView doing)
{
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    return doing % QLatin1StringView(": ") % QLatin1StringView(reason);
}

// A version 3 certificate for key named commonName (cut to the 64 characters a name may
// have), with a random serial, valid from a minute ago; its end, issuer, extensions and
// signature are the caller's. Null where OpenSSL fails.
Certificate newCertificate(EVP_PKEY *key, const QString &commonName);

} // namespace OpenSsl
