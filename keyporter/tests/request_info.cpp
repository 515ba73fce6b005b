#include "request_info.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace kptest {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

std::string oidText(const ASN1_OBJECT* object) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

void freeExtensions(STACK_OF(X509_EXTENSION) * list) {
    sk_X509_EXTENSION_pop_free(list, X509_EXTENSION_free);
}

}  // namespace

RequestInfo readRequest(const Bytes& request) {
    std::unique_ptr<BIO, Deleter<BIO_free>> bio(
        BIO_new_mem_buf(request.data(), static_cast<int>(request.size())));
    std::unique_ptr<X509_REQ, Deleter<X509_REQ_free>> parsed(
        PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    if (!parsed) {
        const unsigned char* cursor = request.data();
        parsed.reset(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(request.size())));
    }
    if (!parsed) {
        throw std::runtime_error("the request does not parse");
    }
    RequestInfo info;
    const X509_NAME* name = X509_REQ_get_subject_name(parsed.get());
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        info.subject.emplace_back(
            oidText(X509_NAME_ENTRY_get_object(entry)),
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                        static_cast<std::size_t>(ASN1_STRING_length(value))));
    }
    std::unique_ptr<STACK_OF(X509_EXTENSION), Deleter<freeExtensions>> extensions(
        X509_REQ_get_extensions(parsed.get()));
    for (int i = 0; extensions && i < sk_X509_EXTENSION_num(extensions.get()); ++i) {
        X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions.get(), i);
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        const std::string oid = oidText(X509_EXTENSION_get_object(extension));
        info.extensions[oid] = Bytes(data->data, data->data + data->length);
        if (oid == "2.5.29.37") {
            std::unique_ptr<EXTENDED_KEY_USAGE, Deleter<EXTENDED_KEY_USAGE_free>> usage(
                static_cast<EXTENDED_KEY_USAGE*>(X509V3_EXT_d2i(extension)));
            for (int k = 0; usage && k < sk_ASN1_OBJECT_num(usage.get()); ++k) {
                info.extendedKeyUsage.push_back(oidText(sk_ASN1_OBJECT_value(usage.get(), k)));
            }
        }
    }
    const unsigned char* keyBits = nullptr;
    int keyLength = 0;
    X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLength, nullptr,
                           X509_REQ_get_X509_PUBKEY(parsed.get()));
    // The bit string holds an OCTET STRING of the 64 key bytes.
    if (keyLength == 66 && keyBits[0] == 0x04 && keyBits[1] == 0x40) {
        info.publicKey.assign(keyBits + 2, keyBits + keyLength);
    }
    return info;
}

SignatureInfo readSignature(const Bytes& cms) {
    const unsigned char* cursor = cms.data();
    std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>> parsed(
        d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(cms.size())));
    if (!parsed) {
        throw std::runtime_error("the signature does not parse");
    }
    SignatureInfo info;
    info.detached = CMS_is_detached(parsed.get()) == 1;
    if (ASN1_OCTET_STRING** content = CMS_get0_content(parsed.get()); content && *content) {
        info.content.assign((*content)->data, (*content)->data + (*content)->length);
    }
    return info;
}

std::string toHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace kptest
