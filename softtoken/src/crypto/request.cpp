#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

#include "openssl_util.h"

namespace softtoken::crypto {
namespace {

using detail::BadArgument;
using detail::Owned;

// Name attributes OpenSSL's own string table leaves to the default mask but whose values are
// digits only.
struct NumericAttribute {
    int nid;
    long maxLength;
};
constexpr std::array<NumericAttribute, 4> kNumeric{{
    {NID_INN, 12},
    {NID_OGRN, 13},
    {NID_OGRNIP, 15},
    {NID_SNILS, 11},
}};

// Arcs of digits separated by single dots, at least two of them; OpenSSL alone lets "1..2" by.
bool IsDottedOid(const std::string& text) {
    std::size_t arcs = 0;
    std::size_t start = 0;
    while (true) {
        auto end = text.find('.', start);
        std::string arc = text.substr(start, end == std::string::npos ? end : end - start);
        if (arc.empty() || arc.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        ++arcs;
        if (end == std::string::npos) {
            return arcs >= 2;
        }
        start = end + 1;
    }
}

detail::Object AttributeType(const std::string& type) {
    static constexpr std::array<const char*, 6> kShortNames{"CN", "C", "O", "ST", "L", "OU"};
    for (const char* name : kShortNames) {
        if (type == name) {
            return detail::Object(OBJ_nid2obj(OBJ_sn2nid(name)));
        }
    }
    detail::Object oid(IsDottedOid(type) ? OBJ_txt2obj(type.c_str(), 1) : nullptr);
    if (!oid) {
        BadArgument("unknown subject attribute type \"" + type + "\"");
    }
    return oid;
}

// The string type and length limits as OpenSSL's table gives them, with only UTF8String where
// the table lets the global mask choose: a foreign process may have set another mask.
void AddAttribute(X509_NAME* name, const std::string& type, const std::string& value) {
    detail::Object object = AttributeType(type);
    int nid = OBJ_obj2nid(object.get());
    unsigned long mask = B_ASN1_UTF8STRING;
    long minLength = -1;
    long maxLength = -1;
    if (const ASN1_STRING_TABLE* table = nid == NID_undef ? nullptr : ASN1_STRING_TABLE_get(nid)) {
        mask = (table->flags & STABLE_NO_MASK) ? table->mask : table->mask & B_ASN1_UTF8STRING;
        minLength = table->minsize;
        maxLength = table->maxsize;
    }
    for (const auto& numeric : kNumeric) {
        if (numeric.nid == nid && mask == B_ASN1_UTF8STRING) {
            mask = B_ASN1_NUMERICSTRING;
            minLength = 1;
            maxLength = numeric.maxLength;
        }
    }
    if (mask == 0) {
        mask = B_ASN1_UTF8STRING;
    }
    ASN1_STRING* raw = nullptr;
    if (value.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        ASN1_mbstring_ncopy(&raw, reinterpret_cast<const unsigned char*>(value.data()),
                            static_cast<int>(value.size()), MBSTRING_UTF8, mask, minLength,
                            maxLength) < 0) {
        BadArgument("the value of subject attribute \"" + type + "\" is not valid for it");
    }
    Owned<ASN1_STRING, ASN1_STRING_free> string(raw);
    Owned<X509_NAME_ENTRY, X509_NAME_ENTRY_free> entry(X509_NAME_ENTRY_create_by_OBJ(
        nullptr, object.get(), ASN1_STRING_type(string.get()), ASN1_STRING_get0_data(string.get()),
        ASN1_STRING_length(string.get())));
    if (!entry || !X509_NAME_add_entry(name, entry.get(), -1, 0)) {
        detail::Fail("request subject");
    }
}

std::vector<std::string> SplitList(const std::string& list, const std::string& what) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (true) {
        auto end = list.find(',', start);
        std::string item = list.substr(start, end == std::string::npos ? end : end - start);
        if (item.empty()) {
            BadArgument("an empty entry in the " + what + " list");
        }
        items.push_back(item);
        if (end == std::string::npos) {
            return items;
        }
        start = end + 1;
    }
}

detail::Extension KeyUsage(const std::string& list) {
    static constexpr std::array<const char*, 9> kBits{
        "digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment", "keyAgreement",
        "keyCertSign",      "cRLSign",        "encipherOnly",    "decipherOnly"};
    Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free> bits(ASN1_BIT_STRING_new());
    if (!bits) {
        detail::Fail("key usage");
    }
    for (const auto& name : SplitList(list, "key usage")) {
        auto found = std::find(kBits.begin(), kBits.end(), std::string_view(name));
        if (found == kBits.end()) {
            BadArgument("unknown key usage \"" + name + "\"");
        }
        if (!ASN1_BIT_STRING_set_bit(bits.get(), static_cast<int>(found - kBits.begin()), 1)) {
            detail::Fail("key usage");
        }
    }
    detail::Extension extension(X509V3_EXT_i2d(NID_key_usage, 0, bits.get()));
    if (!extension) {
        detail::Fail("key usage");
    }
    return extension;
}

detail::Extension ExtendedKeyUsage(const std::string& list) {
    Owned<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free> usages(EXTENDED_KEY_USAGE_new());
    if (!usages) {
        detail::Fail("extended key usage");
    }
    for (const auto& text : SplitList(list, "extended key usage")) {
        detail::Object oid(IsDottedOid(text) ? OBJ_txt2obj(text.c_str(), 1) : nullptr);
        if (!oid) {
            BadArgument("\"" + text + "\" is not a dotted OID");
        }
        if (!sk_ASN1_OBJECT_push(usages.get(), oid.get())) {
            detail::Fail("extended key usage");
        }
        oid.release();
    }
    detail::Extension extension(X509V3_EXT_i2d(NID_ext_key_usage, 0, usages.get()));
    if (!extension) {
        detail::Fail("extended key usage");
    }
    return extension;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The hex must hold exactly one DER element: the extension value as it goes into the request.
Bytes DerValue(const std::string& name, std::string_view hex) {
    Bytes der;
    if (hex.empty() || hex.size() % 2 != 0) {
        BadArgument("the value of extension \"" + name + "\" is not DER in hexadecimal");
    }
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]);
        int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            BadArgument("the value of extension \"" + name + "\" is not DER in hexadecimal");
        }
        der.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    const unsigned char* p = der.data();
    long length = 0;
    int tag = 0;
    int cls = 0;
    int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size()));
    // 0x80 is a parse error, bit 0 the indefinite length form DER does not allow.
    if ((flags & 0x80) || (flags & 1) || p + length != der.data() + der.size()) {
        BadArgument("the value of extension \"" + name + "\" is not one DER element");
    }
    return der;
}

detail::Object ExtensionName(const std::string& name) {
    int nid = OBJ_sn2nid(name.c_str());
    detail::Object oid(nid != NID_undef    ? OBJ_nid2obj(nid)
                       : IsDottedOid(name) ? OBJ_txt2obj(name.c_str(), 1)
                                           : nullptr);
    if (!oid) {
        BadArgument("unknown extension \"" + name + "\"");
    }
    return oid;
}

detail::Extension MakeExtension(const std::string& name, const std::string& value) {
    static constexpr std::string_view kDer = "DER:";
    if (value.compare(0, kDer.size(), kDer) == 0) {
        detail::Object oid = ExtensionName(name);
        Bytes der = DerValue(name, std::string_view(value).substr(kDer.size()));
        detail::OctetString octets(ASN1_OCTET_STRING_new());
        if (!octets ||
            !ASN1_OCTET_STRING_set(octets.get(), der.data(), static_cast<int>(der.size()))) {
            detail::Fail("request extension");
        }
        detail::Extension extension(
            X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, octets.get()));
        if (!extension) {
            detail::Fail("request extension");
        }
        return extension;
    }
    if (name == "keyUsage") {
        return KeyUsage(value);
    }
    if (name == "extendedKeyUsage") {
        return ExtendedKeyUsage(value);
    }
    BadArgument("extension \"" + name + "\" needs a DER: value");
}

}  // namespace

std::string MakeCertificateRequest(const Bytes& paramSet, const Bytes& privateKey,
                                   const Bytes& publicValue, const StringPairs& subject,
                                   const StringPairs& extensions) {
    detail::PKey key = detail::PrivateKey(paramSet, privateKey);
    if (detail::GostPublicValue(key.get()) != publicValue) {
        BadArgument("the public value is not the private key's");
    }
    detail::Request request(X509_REQ_new());
    detail::Name name(X509_NAME_new());
    if (!request || !name) {
        detail::Fail("request");
    }
    for (const auto& [type, value] : subject) {
        AddAttribute(name.get(), type, value);
    }
    detail::Extensions requested(sk_X509_EXTENSION_new_null());
    if (!requested) {
        detail::Fail("request extensions");
    }
    for (const auto& [extensionName, value] : extensions) {
        detail::Extension extension = MakeExtension(extensionName, value);
        if (!sk_X509_EXTENSION_push(requested.get(), extension.get())) {
            detail::Fail("request extensions");
        }
        extension.release();
    }
    if (!X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) ||
        !X509_REQ_set_subject_name(request.get(), name.get()) ||
        !X509_REQ_set_pubkey(request.get(), key.get()) ||
        (!extensions.empty() && !X509_REQ_add_extensions(request.get(), requested.get())) ||
        X509_REQ_sign(request.get(), key.get(), detail::Streebog256Md()) <= 0) {
        detail::Fail("request signature");
    }
    detail::Bio out(BIO_new(BIO_s_mem()));
    if (!out || !PEM_write_bio_X509_REQ(out.get(), request.get())) {
        detail::Fail("request encoding");
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    ERR_clear_error();
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace softtoken::crypto
