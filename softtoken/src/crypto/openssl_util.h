// Ownership of OpenSSL objects and the GOST engine's keys, shared by the crypto sources.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "gost_crypto.h"

namespace softtoken::crypto::detail {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using PKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtx = Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using Bio = Owned<BIO, BIO_free_all>;
using BigNum = Owned<BIGNUM, BN_free>;
using Object = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using OctetString = Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Certificate = Owned<X509, X509_free>;
using Request = Owned<X509_REQ, X509_REQ_free>;
using Name = Owned<X509_NAME, X509_NAME_free>;
using Extension = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using Cms = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;

inline void FreeExtensions(STACK_OF(X509_EXTENSION) * s) {
    sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free);
}
using Extensions = Owned<STACK_OF(X509_EXTENSION), FreeExtensions>;

// Throws CryptoError(CKR_FUNCTION_FAILED) naming the step and OpenSSL's first queued error.
[[noreturn]] void Fail(const std::string& step);
// Throws CryptoError(CKR_ARGUMENTS_BAD) and drops OpenSSL's queued errors.
[[noreturn]] void BadArgument(const std::string& what);

// The curve's NID for a supported parameter set, NID_undef otherwise.
int CurveNid(const Bytes& paramSet);
// The curve's NID, or CryptoError(CKR_DOMAIN_PARAMS_INVALID).
int RequireCurve(const Bytes& paramSet);

// GOST R 34.10-2012 256 keys handled by the GOST engine, built from the token's raw values.
PKey PrivateKey(const Bytes& paramSet, const Bytes& privateKey);
PKey PublicKey(const Bytes& paramSet, const Bytes& publicValue);
// The 64-byte little-endian X || Y of a GOST key, empty when the key is not a GOST EC key.
Bytes GostPublicValue(const EVP_PKEY* key);

// The GOST engine, loaded once for the process.
ENGINE* GostEngine();

// Streebog-256 from the GOST engine.
const EVP_MD* Streebog256Md();

}  // namespace softtoken::crypto::detail
