#include "certdesk/cert_info.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <limits>

#include "certdesk/codec.h"
#include "certdesk/subject_string.h"
#include "certdesk/text_utils.h"

namespace certdesk {
namespace {

// The platform hands out names through a buffer of 1024 bytes with a terminating zero.
constexpr std::size_t kMaxNameValue = 1023;

struct ObjectFree {
    void operator()(ASN1_OBJECT* object) const { ASN1_OBJECT_free(object); }
};

struct NameAttribute {
    const char* label;
    const char* oid;
};

constexpr NameAttribute kSubjectAttributes[] = {
    {"O", "2.5.4.10"},
    {"L", "2.5.4.7"},
    {"ST", "2.5.4.8"},
    {"OU", "2.5.4.11"},
    {"C", "2.5.4.6"},
    {"T", "2.5.4.12"},
    {"SN", "2.5.4.4"},
    {"GN", "2.5.4.42"},
    {"E", "1.2.840.113549.1.9.1"},
    {"INN", "1.2.643.3.131.1.1"},
    {"RNS-FSS", "1.2.643.3.141.1.1"},
    {"KP-FSS", "1.2.643.3.141.1.2"},
    {"OGRN", "1.2.643.100.1"},
    {"OGRNIP", "1.2.643.100.5"},
    {"SNILS", "1.2.643.100.3"},
    {"streetAddress", "2.5.4.9"},
    {"unstructuredName", "1.2.840.113549.1.9.2"},
};

// The first value of the attribute in Windows-1251, as the platform gives it: up to a zero
// character, at most 1023 characters; "" when absent or not decodable.
std::string NameValue(const X509_NAME* name, const char* oid) {
    if (!name)
        return {};
    const std::unique_ptr<ASN1_OBJECT, ObjectFree> object(OBJ_txt2obj(oid, 1));
    if (!object)
        return {};
    const int index = X509_NAME_get_index_by_OBJ(name, object.get(), -1);
    if (index < 0)
        return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    text.resize(std::min(text.find('\0'), text.size()));
    std::string ansi = AnsiFromUtf8(text);
    if (ansi.size() > kMaxNameValue)
        ansi.resize(kMaxNameValue);
    return ansi;
}

std::string DisplayName(const X509_NAME* name) {
    for (const char* oid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1"}) {
        std::string value = NameValue(name, oid);
        if (!value.empty())
            return value;
    }
    return {};
}

// Seconds since 1970, clamped to what the record's unsigned 32-bit field holds.
std::uint32_t UnixSeconds(const ASN1_TIME* time) {
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return 0;
    // Days from 1970-01-01 of a civil date (H. Hinnant's algorithm).
    const long long y = static_cast<long long>(tm.tm_year) + 1900 - (tm.tm_mon < 2 ? 1 : 0);
    const long long m = tm.tm_mon + 1;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + tm.tm_mday - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = era * 146097 + doe - 719468;
    const long long seconds = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return static_cast<std::uint32_t>(
        std::clamp<long long>(seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

std::string ValidityText(const TCertInfo& info) {
    return Ansi(", действует с ") + DateText(UnixToDateTime(info.NotBefore)) + Ansi(" по ") +
           DateText(UnixToDateTime(info.NotAfter));
}

}  // namespace

void X509Free::operator()(x509_st* certificate) const {
    X509_free(certificate);
}

DecodedCertificate DecodeCertificate(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(std::numeric_limits<long>::max()))
        return {};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    return DecodedCertificate(d2i_X509(nullptr, &data, static_cast<long>(bytes.size())));
}

void TVCertMgr::GetCertInfo(std::string_view bytes, std::uint32_t mask, TCertInfo& info) {
    info = TCertInfo{};
    if (const DecodedCertificate certificate = DecodeCertificate(bytes))
        GetCertInfoFromContext(*certificate, mask, info);
}

void TVCertMgr::GetCertInfoFromContext(const x509_st& certificate, std::uint32_t mask,
                                       TCertInfo& info) {
    info = TCertInfo{};
    info.Mask = mask;
    if (mask & ciNotBefore)
        info.NotBefore = UnixSeconds(X509_get0_notBefore(&certificate));
    if (mask & ciNotAfter)
        info.NotAfter = UnixSeconds(X509_get0_notAfter(&certificate));
    if (mask & ciSubject)
        info.Subject = ComposeSubjectString(certificate);
}

void TVCertMgr::FreeCertInfo(TCertInfo& info) {
    if (info.Mask & ciSubject)
        std::string().swap(info.Subject);
}

std::string ComposeSubjectString(const x509_st& certificate) {
    const X509_NAME* subject = X509_get_subject_name(&certificate);
    std::string text = "CN=" + DisplayName(subject);
    for (const NameAttribute& attribute : kSubjectAttributes) {
        const std::string value = NameValue(subject, attribute.oid);
        if (!value.empty())
            text += std::string(",") + attribute.label + "=" + value;
    }
    return text;
}

std::string SubjectDisplayName(const x509_st& certificate) {
    return DisplayName(X509_get_subject_name(&certificate));
}

std::string IssuerDisplayName(const x509_st& certificate) {
    return DisplayName(X509_get_issuer_name(&certificate));
}

std::string GetCertMatchKey(std::string_view bytes) {
    const DecodedCertificate certificate = DecodeCertificate(bytes);
    if (!certificate)
        return {};
    const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(certificate.get());
    if (!key || key->length <= 0)
        return {};
    const auto* data = reinterpret_cast<const char*>(key->data);
    const auto length = static_cast<std::size_t>(key->length);
    const std::size_t keep = std::min<std::size_t>(length, 64);
    return std::string(data + (length - keep), keep);
}

std::string CertificateChoiceLine(const TCertInfo& info) {
    return GetDNValue(info.Subject, "CN") + ValidityText(info);
}

std::string CertificateListLine(int number, const TCertInfo& info) {
    return std::to_string(number) + ". " + info.Subject + ValidityText(info);
}

}  // namespace certdesk
