#include "operations.h"

#include <softtoken_ext.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace keyporter {

namespace {

constexpr CK_ULONG kMaxObjects = 128;
constexpr CK_ULONG kCertificateBufferSize = 8192;

// id-GostR3410-2001-CryptoPro-A-ParamSet, DER.
constexpr std::array<CK_BYTE, 9> kGostParams{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

constexpr const char* kDefaultExtendedKeyUsage =
    "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
    "1.2.643.5.1.28.4,1.2.643.3.6.0.15,1.2.643.3.6.78.4.5";

constexpr const char* kSignToolValue =
    "DER:0C59D0A1D09AD097D09820C2ABD09AD180D0B8D0BFD182D0BED182D0BED0BAD0B5D0BDC2BB20D0B220D181D0"
    "BED181D182D0B0D0B2D0B520D0B8D0B7D0B4D0B5D0BBD0B8D18F20C2AB4A61436172746120D093D09ED0A1D0A2C2"
    "BB";

constexpr const char* kPoliciesValue = "DER:3014300806062A8503647101300806062A8503647102";

// The token library takes these as char* and only reads them.
char* writable(const char* text) noexcept {
    return const_cast<char*>(text);
}

CK_ATTRIBUTE textAttribute(CK_ATTRIBUTE_TYPE type, const char* text) noexcept {
    return {type, writable(text), std::strlen(text)};
}

CK_ATTRIBUTE bytesAttribute(CK_ATTRIBUTE_TYPE type, const unsigned char* bytes,
                            CK_ULONG length) noexcept {
    return {type, const_cast<unsigned char*>(bytes), length};
}

// One C_FindObjects for at most 128 handles; false when the search cannot run.
bool findAll(const Pkcs11Api& api, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
             std::array<CK_OBJECT_HANDLE, kMaxObjects>& handles, CK_ULONG& found) noexcept {
    CK_ATTRIBUTE search{CKA_CLASS, &objectClass, sizeof objectClass};
    if (api.findObjectsInit(session, &search, 1) != CKR_OK) {
        return false;
    }
    found = 0;
    if (api.findObjects(session, handles.data(), kMaxObjects, &found) != CKR_OK) {
        return false;
    }
    found = std::min(found, kMaxObjects);
    return true;
}

// Closes the search when the listing is done with it, also when an allocation fails.
class SearchFinal {
  public:
    SearchFinal(const Pkcs11Api& api, CK_SESSION_HANDLE session) noexcept
        : api_(api), session_(session) {}
    ~SearchFinal() { api_.findObjectsFinal(session_); }
    SearchFinal(const SearchFinal&) = delete;
    SearchFinal& operator=(const SearchFinal&) = delete;

  private:
    const Pkcs11Api& api_;
    CK_SESSION_HANDLE session_;
};

}  // namespace

void releaseCertificates(TokenCertificate* records, CK_ULONG count) noexcept {
    if (records == nullptr) {
        return;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        std::free(records[i].data);
    }
    std::free(records);
}

int generateRequest(CK_SESSION_HANDLE session, const char* label, const char* id,
                    const char* ekuList, SubjectArray subject, CK_ULONG subjectCount,
                    Request& request) noexcept {
    CK_BBOOL onToken = CK_TRUE;
    std::array<CK_ATTRIBUTE, 4> publicTemplate{
        CK_ATTRIBUTE{CKA_TOKEN, &onToken, sizeof onToken},
        textAttribute(CKA_LABEL, label),
        bytesAttribute(CKA_GOSTR3410_PARAMS, kGostParams.data(), kGostParams.size()),
        textAttribute(CKA_ID, id),
    };
    std::array<CK_ATTRIBUTE, 4> privateTemplate = publicTemplate;
    CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};

    std::array<char*, 8> extensions{
        writable("keyUsage"),
        writable("digitalSignature,keyEncipherment,dataEncipherment,nonRepudiation"),
        writable("extendedKeyUsage"),
        writable(kDefaultExtendedKeyUsage),
        writable("1.2.643.100.111"),
        writable(kSignToolValue),
        writable("2.5.29.32"),
        writable(kPoliciesValue),
    };

    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    if (C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                          privateTemplate.data(), privateTemplate.size(), &publicKey,
                          &privateKey) != CKR_OK) {
        return RES_ERR_GENERATE_KEY_PAIR;
    }
    if (ekuList != nullptr && ekuList[0] != '\0') {
        extensions[3] = writable(ekuList);
    }
    CK_BYTE_PTR data = nullptr;
    CK_ULONG length = 0;
    if (createCSR(session, publicKey, subject, subjectCount, &data, &length, 0, nullptr, 0,
                  extensions.data(), extensions.size()) != CKR_OK) {
        return RES_ERR_CREATE_REQUEST;
    }
    request = Request{data, length};
    return RES_OK;
}

int installCertificate(CK_SESSION_HANDLE session, const char* label, const char* id,
                       const unsigned char* certificate, CK_ULONG certificateLength) noexcept {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    std::array<CK_ATTRIBUTE, 5> attributes{
        CK_ATTRIBUTE{CKA_CLASS, &objectClass, sizeof objectClass},
        CK_ATTRIBUTE{CKA_TOKEN, &onToken, sizeof onToken},
        textAttribute(CKA_LABEL, label),
        textAttribute(CKA_ID, id),
        bytesAttribute(CKA_VALUE, certificate, certificateLength),
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    if (C_CreateObject(session, attributes.data(), attributes.size(), &object) != CKR_OK) {
        return RES_ERR_CREATE_OBJECT;
    }
    return RES_OK;
}

CertificateList listCertificates(const Pkcs11Api& api, CK_SESSION_HANDLE session) {
    CertificateList list;
    std::array<CK_OBJECT_HANDLE, kMaxObjects> handles{};
    CK_ULONG found = 0;
    if (!findAll(api, session, CKO_CERTIFICATE, handles, found)) {
        return list;
    }
    SearchFinal searchFinal(api, session);
    if (found == 0) {
        return list;
    }
    auto* records = static_cast<TokenCertificate*>(std::calloc(found, sizeof(TokenCertificate)));
    if (records == nullptr) {
        throw std::bad_alloc();
    }
    list.records = {records, CertificateList::Releaser{found}};

    auto buffer = std::make_unique<std::array<unsigned char, kCertificateBufferSize>>();
    for (CK_ULONG i = 0; i < found; ++i) {
        buffer->fill(0);
        CK_ATTRIBUTE value{CKA_VALUE, buffer->data(), buffer->size()};
        // A length beyond the buffer would be the library's fault; such a value is unreadable.
        if (api.getAttributeValue(session, handles[i], &value, 1) != CKR_OK ||
            value.ulValueLen > buffer->size()) {
            continue;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(value.ulValueLen));
        if (block == nullptr && value.ulValueLen != 0) {
            throw std::bad_alloc();
        }
        if (value.ulValueLen != 0) {
            std::memcpy(block, buffer->data(), value.ulValueLen);
        }
        records[list.filled] = TokenCertificate{value.ulValueLen, block};
        ++list.filled;
    }
    return list;
}

PublicKeyList listPublicKeys(CK_SESSION_HANDLE session) {
    const Pkcs11Api& api = linkedApi();
    PublicKeyList list;
    std::array<CK_OBJECT_HANDLE, kMaxObjects> handles{};
    CK_ULONG found = 0;
    if (!findAll(api, session, CKO_PUBLIC_KEY, handles, found)) {
        return list;
    }
    SearchFinal searchFinal(api, session);
    if (found == 0) {
        return list;
    }
    list.records.reset(static_cast<unsigned char*>(std::calloc(found, TOKEN_PUBLIC_KEY_SIZE)));
    if (!list.records) {
        throw std::bad_alloc();
    }
    list.found = found;
    CK_ULONG next = 0;
    for (CK_ULONG i = 0; i < found; ++i) {
        std::array<unsigned char, TOKEN_PUBLIC_KEY_SIZE> buffer{};
        CK_ATTRIBUTE value{CKA_VALUE, buffer.data(), buffer.size()};
        if (api.getAttributeValue(session, handles[i], &value, 1) != CKR_OK) {
            continue;
        }
        std::memcpy(list.records.get() + next * TOKEN_PUBLIC_KEY_SIZE, buffer.data(),
                    buffer.size());
        ++next;
    }
    return list;
}

int sign(CK_SESSION_HANDLE session, const unsigned char* certificate, CK_ULONG certificateLength,
         const unsigned char* data, CK_ULONG dataLength, CK_ULONG flags, unsigned char** signature,
         CK_ULONG* signatureLength) noexcept {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    std::array<CK_ATTRIBUTE, 2> search{
        CK_ATTRIBUTE{CKA_CLASS, &objectClass, sizeof objectClass},
        bytesAttribute(CKA_VALUE, certificate, certificateLength),
    };
    if (C_FindObjectsInit(session, search.data(), search.size()) != CKR_OK) {
        return RES_ERR_CERT_NOT_FOUND;
    }
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    if (C_FindObjects(session, &object, 1, &found) != CKR_OK) {
        return RES_ERR_CERT_NOT_FOUND;
    }
    C_FindObjectsFinal(session);
    if (found == 0) {
        return RES_ERR_CERT_NOT_FOUND;
    }
    if (pkcs7Sign(session, const_cast<unsigned char*>(data), dataLength, object, signature,
                  signatureLength, 0, nullptr, 0, flags) != CKR_OK) {
        return RES_ERR_SIGN;
    }
    return RES_OK;
}

}  // namespace keyporter
