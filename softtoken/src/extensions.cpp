// The vendor extensions: a certificate request for a key pair on the token, a CMS signature
// with the key of a certificate on the token, and the release of their buffers.
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "gost_crypto.h"
#include "module.h"

namespace softtoken {

namespace {

crypto::StringPairs Pairs(char** strings, CK_ULONG count) {
    if (count % 2 != 0 || (count > 0 && strings == nullptr)) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    crypto::StringPairs pairs;
    for (CK_ULONG i = 0; i < count; i += 2) {
        if (strings[i] == nullptr || strings[i + 1] == nullptr) {
            throw Error(CKR_ARGUMENTS_BAD);
        }
        pairs.emplace_back(strings[i], strings[i + 1]);
    }
    return pairs;
}

Bytes ValueOf(const ObjectRecord& object, CK_ATTRIBUTE_TYPE type) {
    auto it = object.attributes.find(type);
    return it == object.attributes.end() ? Bytes{} : it->second;
}

}  // namespace

std::optional<ObjectRecord> Module::MatchingPrivateKey(const Session& session, const Bytes& id,
                                                       const Bytes& publicValue) {
    for (const ObjectRecord& object : VisibleObjects(session)) {
        if (UlongOf(object.attributes, CKA_CLASS) != CKO_PRIVATE_KEY ||
            UlongOf(object.attributes, CKA_KEY_TYPE) != CKK_GOSTR3410 ||
            ValueOf(object, CKA_ID) != id) {
            continue;
        }
        Bytes params = ValueOf(object, CKA_GOSTR3410_PARAMS);
        if (!crypto::IsSupportedParamSet(params)) {
            continue;
        }
        // The pair belongs together when a signature of the one checks with the other.
        Bytes digest = crypto::RandomBytes(32);
        try {
            Bytes signature = crypto::SignDigest(params, PrivateValue(session, object), digest);
            if (crypto::VerifyDigest(params, publicValue, digest, signature)) {
                return object;
            }
        } catch (const crypto::CryptoError&) {
            // A public value that is no point of this curve belongs to no key here.
        }
    }
    return std::nullopt;
}

void Module::CreateCsr(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE publicKey, char** subject,
                       CK_ULONG subjectCount, CK_BYTE_PTR* request, CK_ULONG_PTR requestLength,
                       char** extensions, CK_ULONG extensionCount) {
    Session& session = SessionOf(handle);
    if (!UserLoggedIn(session.slot)) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    if (request == nullptr || requestLength == nullptr || subjectCount == 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    crypto::StringPairs subjectPairs = Pairs(subject, subjectCount);
    crypto::StringPairs extensionPairs = Pairs(extensions, extensionCount);
    ObjectRecord key = KeyObject(session, publicKey);
    Bytes params = ValueOf(key, CKA_GOSTR3410_PARAMS);
    Bytes publicValue = ValueOf(key, CKA_VALUE);
    if (UlongOf(key.attributes, CKA_CLASS) != CKO_PUBLIC_KEY ||
        UlongOf(key.attributes, CKA_KEY_TYPE) != CKK_GOSTR3410 || publicValue.size() != 64 ||
        !crypto::IsSupportedParamSet(params)) {
        throw Error(CKR_KEY_TYPE_INCONSISTENT);
    }
    std::optional<ObjectRecord> privateKey =
        MatchingPrivateKey(session, ValueOf(key, CKA_ID), publicValue);
    if (!privateKey) {
        throw Error(CKR_KEY_HANDLE_INVALID);
    }
    std::string pem = crypto::MakeCertificateRequest(params, PrivateValue(session, *privateKey),
                                                     publicValue, subjectPairs, extensionPairs);
    // Terminated as well, for callers that treat the PEM as a C string.
    auto* buffer = static_cast<CK_BYTE_PTR>(std::malloc(pem.size() + 1));
    if (buffer == nullptr) {
        throw Error(CKR_HOST_MEMORY);
    }
    std::memcpy(buffer, pem.data(), pem.size());
    buffer[pem.size()] = 0;
    buffers_.insert(buffer);
    *request = buffer;
    *requestLength = pem.size();
}

void Module::Pkcs7Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length,
                       CK_OBJECT_HANDLE certificate, CK_BYTE_PTR* signature,
                       CK_ULONG_PTR signatureLength, CK_ULONG flags) {
    Session& session = SessionOf(handle);
    if (!UserLoggedIn(session.slot)) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    if (signature == nullptr || signatureLength == nullptr || (data == nullptr && length > 0) ||
        (flags != 0 && flags != 1)) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    ObjectRecord object = FindObject(session, certificate);
    if (UlongOf(object.attributes, CKA_CLASS) != CKO_CERTIFICATE) {
        throw Error(CKR_OBJECT_HANDLE_INVALID);
    }
    Bytes der = PrivateValue(session, object);
    std::optional<crypto::CertificateFields> fields = crypto::DecodeCertificate(der);
    if (!fields) {
        throw Error(CKR_ATTRIBUTE_VALUE_INVALID);
    }
    std::optional<ObjectRecord> privateKey =
        MatchingPrivateKey(session, ValueOf(object, CKA_ID), fields->publicValue);
    if (!privateKey) {
        throw Error(CKR_KEY_HANDLE_INVALID);
    }
    Bytes cms =
        crypto::MakeSignedData(ValueOf(*privateKey, CKA_GOSTR3410_PARAMS),
                               PrivateValue(session, *privateKey), der, data, length, flags == 1);
    auto* buffer = static_cast<CK_BYTE_PTR>(std::malloc(cms.empty() ? 1 : cms.size()));
    if (buffer == nullptr) {
        throw Error(CKR_HOST_MEMORY);
    }
    std::memcpy(buffer, cms.data(), cms.size());
    buffers_.insert(buffer);
    *signature = buffer;
    *signatureLength = cms.size();
}

void Module::FreeBuffer(CK_BYTE_PTR buffer) {
    if (buffer == nullptr) {
        return;
    }
    // Only what this module handed out is released, and only once.
    if (buffers_.erase(buffer) == 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    std::free(buffer);
}

}  // namespace softtoken
