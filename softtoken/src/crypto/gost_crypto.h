// GOST R 34.10-2012 (256-bit) keys, Streebog-256, PKCS#10 requests and CMS SignedData,
// all through OpenSSL with the GOST engine. The token layers above see only this interface.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace softtoken::crypto {

using Bytes = std::vector<unsigned char>;
using StringPairs = std::vector<std::pair<std::string, std::string>>;

// A failure with the PKCS#11 result the token reports for it.
class CryptoError : public std::runtime_error {
  public:
    CryptoError(CK_RV rv, const std::string& what) : std::runtime_error(what), rv_(rv) {}
    CK_RV rv() const { return rv_; }

  private:
    CK_RV rv_;
};

struct KeyPair {
    Bytes privateKey;   // 32 bytes, little-endian, as a GOST private key's CKA_VALUE
    Bytes publicValue;  // 64 bytes, little-endian X || Y, as in a certificate's public key
};

// paramSet is the DER of the curve's OID (CKA_GOSTR3410_PARAMS).
bool IsSupportedParamSet(const Bytes& paramSet);
KeyPair GenerateKeyPair(const Bytes& paramSet);

Bytes Streebog256(const unsigned char* data, std::size_t length);

// The 64-byte signature CKM_GOSTR3410 gives over a 32-byte digest, and its check.
Bytes SignDigest(const Bytes& paramSet, const Bytes& privateKey, const Bytes& digest);
bool VerifyDigest(const Bytes& paramSet, const Bytes& publicValue, const Bytes& digest,
                  const Bytes& signature);

// A PKCS#10 request in PEM. subject: (type, UTF-8 value) pairs, one RDN each, in order; a type
// is CN, C, O, ST, L, OU or a dotted OID. extensions: (name, value) pairs of one
// extensionRequest attribute. Throws CryptoError(CKR_ARGUMENTS_BAD) for input it cannot carry.
std::string MakeCertificateRequest(const Bytes& paramSet, const Bytes& privateKey,
                                   const Bytes& publicValue, const StringPairs& subject,
                                   const StringPairs& extensions);

// A DER CMS SignedData over data, signed attributes included, the certificate included.
Bytes MakeSignedData(const Bytes& paramSet, const Bytes& privateKey, const Bytes& certificate,
                     const unsigned char* data, std::size_t length, bool detached);

// What a token derives from a certificate's DER value.
struct CertificateFields {
    Bytes subject;            // DER Name
    Bytes issuer;             // DER Name
    Bytes serialNumber;       // DER INTEGER
    Bytes publicValue;        // the bytes of the OCTET STRING in the subject public key
    std::string subjectText;  // one line, for listings
    long long notBefore = 0;  // seconds since 1970 UTC
    long long notAfter = 0;
};
std::optional<CertificateFields> DecodeCertificate(const Bytes& der);

// Random bytes and the authenticated encryption the store uses for private values.
Bytes RandomBytes(std::size_t count);
Bytes DeriveKey(const std::string& pin, const Bytes& salt, unsigned iterations);  // 32 bytes
Bytes Seal(const Bytes& key, const Bytes& plain);  // AES-256-GCM: nonce || ciphertext || tag
std::optional<Bytes> Open(const Bytes& key, const Bytes& sealed);  // none when tampered

}  // namespace softtoken::crypto
