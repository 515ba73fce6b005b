#include <openssl/err.h>
#include <openssl/objects.h>

#include <ctime>
#include <limits>

#include "openssl_util.h"

namespace softtoken::crypto {
namespace {

template <typename T, int (*Encode)(const T*, unsigned char**)>
Bytes Der(const T* value) {
    unsigned char* raw = nullptr;
    int size = Encode(value, &raw);
    if (size < 0) {
        detail::Fail("DER encoding");
    }
    Bytes out(raw, raw + size);
    OPENSSL_free(raw);
    return out;
}

std::optional<long long> Seconds(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        return std::nullopt;
    }
    return static_cast<long long>(timegm(&tm));
}

// GOST keys put their point inside an OCTET STRING; other keys are taken as they stand.
Bytes PublicValue(X509* certificate) {
    X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate);
    ASN1_OBJECT* algorithm = nullptr;
    const unsigned char* bits = nullptr;
    int size = 0;
    if (key == nullptr || !X509_PUBKEY_get0_param(&algorithm, &bits, &size, nullptr, key)) {
        return {};
    }
    int nid = OBJ_obj2nid(algorithm);
    if (nid == NID_id_GostR3410_2012_256 || nid == NID_id_GostR3410_2001) {
        const unsigned char* p = bits;
        detail::OctetString inner(d2i_ASN1_OCTET_STRING(nullptr, &p, size));
        if (inner && p == bits + size) {
            const unsigned char* data = ASN1_STRING_get0_data(inner.get());
            return Bytes(data, data + ASN1_STRING_length(inner.get()));
        }
    }
    return Bytes(bits, bits + size);
}

std::string OneLine(const X509_NAME* name) {
    detail::Bio out(BIO_new(BIO_s_mem()));
    if (!out ||
        X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        detail::Fail("name text");
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<CertificateFields> DecodeCertificate(const Bytes& der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
        return std::nullopt;
    }
    const unsigned char* p = der.data();
    detail::Certificate certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!certificate || p != der.data() + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    auto notBefore = Seconds(X509_get0_notBefore(certificate.get()));
    auto notAfter = Seconds(X509_get0_notAfter(certificate.get()));
    if (!notBefore || !notAfter) {
        ERR_clear_error();
        return std::nullopt;
    }
    CertificateFields fields;
    fields.subject = Der<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(certificate.get()));
    fields.issuer = Der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(certificate.get()));
    fields.serialNumber =
        Der<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(certificate.get()));
    fields.publicValue = PublicValue(certificate.get());
    fields.subjectText = OneLine(X509_get_subject_name(certificate.get()));
    fields.notBefore = *notBefore;
    fields.notAfter = *notAfter;
    ERR_clear_error();
    return fields;
}

}  // namespace softtoken::crypto
