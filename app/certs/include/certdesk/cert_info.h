// X.509 certificates: decoding DER bytes, the certificate-information record, the key the token's
// public keys are compared with, and the lines the certificate lists show.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct x509_st;

namespace certdesk {

struct X509Free {
    void operator()(x509_st* certificate) const;
};
// A decoded certificate, released with its owner; empty for bytes that are not a certificate.
using DecodedCertificate = std::unique_ptr<x509_st, X509Free>;

// One DER-encoded X.509 certificate (bytes after it are ignored); PEM, Base64 or anything else
// gives none.
DecodedCertificate DecodeCertificate(std::string_view bytes);

// Mask bits of TCertInfo.
constexpr std::uint32_t ciSubject = 0x4;
constexpr std::uint32_t ciNotBefore = 0x20;
constexpr std::uint32_t ciNotAfter = 0x40;

struct TCertInfo {
    std::uint32_t Mask = 0;
    std::string Subject;
    // Seconds since 1970-01-01 UTC; times outside the 32-bit range are clamped to it.
    std::uint32_t NotBefore = 0;
    std::uint32_t NotAfter = 0;
};

class TVCertMgr {
  public:
    TVCertMgr() = delete;
    // An empty record (Mask 0) when the bytes are not a certificate.
    static void GetCertInfo(std::string_view bytes, std::uint32_t mask, TCertInfo& info);
    static void GetCertInfoFromContext(const x509_st& certificate, std::uint32_t mask,
                                       TCertInfo& info);
    static void FreeCertInfo(TCertInfo& info);
};

// "CN=" + the simple display name, then ",label=value" for the non-empty attributes in their
// fixed order. Values are Windows-1251 ("?" for what it lacks), cut to 1023 characters.
std::string ComposeSubjectString(const x509_st& certificate);

// The subject's (or issuer's) common name; for a name without one, its first organisational
// unit, else organisation, else e-mail address, else "".
std::string SubjectDisplayName(const x509_st& certificate);
std::string IssuerDisplayName(const x509_st& certificate);

// The subject public key's bit string, its last 64 bytes when longer; "" for bytes that are not a
// certificate.
std::string GetCertMatchKey(std::string_view bytes);

// "<CN>, действует с dd.mm.yyyy по dd.mm.yyyy" for a record filled with all three bits.
std::string CertificateChoiceLine(const TCertInfo& info);
// "<number>. <subject string>, действует с dd.mm.yyyy по dd.mm.yyyy"
std::string CertificateListLine(int number, const TCertInfo& info);

}  // namespace certdesk
