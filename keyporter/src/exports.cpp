// The C entry points: argument and result translation, one lock, nothing thrown across.
#pragma GCC visibility push(default)
#include <KeyPorter.h>
#pragma GCC visibility pop

#include "operations.h"
#include "session_frame.h"

#include <softtoken_ext.h>

#include <mutex>

namespace keyporter {
namespace {

// Every export initialises and finalises the token interface, so two at once would pull it
// from under each other.
std::mutex exportLock;

// The caller never releases the public key array; the last one handed out is released by the
// next listing or when the library is unloaded.
PublicKeyArray lastPublicKeys;

template <typename Work>
int runWithLogin(const char* pin, Work&& work) noexcept {
    try {
        std::lock_guard lock(exportLock);
        SessionFrame frame(linkedApi(), SessionFrame::Login::user);
        const int code = frame.open(pin);
        return code == RES_OK ? work(frame.session()) : code;
    } catch (...) {
        // Only taking the lock can throw; nothing reached the token.
        return RES_ERR_INITIALIZE;
    }
}

int generateWithLogin(const char* pin, const char* label, const char* id, const char* ekuList,
                      SubjectArray subject, CK_ULONG subjectCount, unsigned char** request,
                      CK_ULONG* requestLength) noexcept {
    return runWithLogin(pin, [&](CK_SESSION_HANDLE session) noexcept {
        Request made;
        const int code = generateRequest(session, label, id, ekuList, subject, subjectCount, made);
        if (code == RES_OK) {
            *request = made.data;
            *requestLength = made.length;
        }
        return code;
    });
}

int signWithLogin(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
                  const unsigned char* data, CK_ULONG dataLength, CK_ULONG flags,
                  unsigned char** signature, CK_ULONG* signatureLength) noexcept {
    return runWithLogin(pin, [&](CK_SESSION_HANDLE session) noexcept {
        return sign(session, certificate, certificateLength, data, dataLength, flags, signature,
                    signatureLength);
    });
}

TokenCertificate* certificateListing(const Pkcs11Api& api, SessionFrame::TokenInfo tokenInfo,
                                     CK_ULONG& count) {
    SessionFrame frame(api, SessionFrame::Login::none);
    if (frame.open(nullptr, tokenInfo) != RES_OK) {
        return nullptr;
    }
    CertificateList list = listCertificates(api, frame.session());
    count = list.filled;
    return list.records.release();
}

}  // namespace
}  // namespace keyporter

using namespace keyporter;

extern "C" {

int GenCertRequestsEKU(const char* pin, const char* label, const char* id, const char* ekuList,
                       SubjectArray subject, CK_ULONG subjectCount, unsigned char** request,
                       CK_ULONG* requestLength) {
    return generateWithLogin(pin, label, id, ekuList, subject, subjectCount, request,
                             requestLength);
}

int GenCertRequests(const char* pin, const char* label, const char* id, SubjectArray subject,
                    CK_ULONG subjectCount, unsigned char** request, CK_ULONG* requestLength) {
    return generateWithLogin(pin, label, id, nullptr, subject, subjectCount, request,
                             requestLength);
}

int InstallCertificate(const char* pin, const char* label, const char* id,
                       const unsigned char* certificate, CK_ULONG certificateLength) {
    return runWithLogin(pin, [&](CK_SESSION_HANDLE session) noexcept {
        return installCertificate(session, label, id, certificate, certificateLength);
    });
}

TokenCertificate* GetTokenCertificates(CK_ULONG* count) {
    *count = 0;
    try {
        std::lock_guard lock(exportLock);
        CK_ULONG filled = 0;
        TokenCertificate* list =
            certificateListing(linkedApi(), SessionFrame::TokenInfo::unused, filled);
        *count = filled;
        return list;
    } catch (...) {
        return nullptr;
    }
}

TokenCertificate* GetTokenCertificatesPKI(CK_ULONG* count) {
    *count = 0;
    try {
        std::lock_guard lock(exportLock);
        std::optional<LoadedModule> module = LoadedModule::load("libasepkcs.so");
        if (!module) {
            return nullptr;
        }
        std::optional<Pkcs11Api> api = module->functions();
        if (!api) {
            return nullptr;
        }
        CK_ULONG filled = 0;
        TokenCertificate* list =
            certificateListing(*api, SessionFrame::TokenInfo::required, filled);
        *count = filled;
        return list;
    } catch (...) {
        return nullptr;
    }
}

int GetTokenPublicKeys(unsigned char** keys) {
    *keys = nullptr;
    try {
        std::lock_guard lock(exportLock);
        lastPublicKeys.reset();
        SessionFrame frame(linkedApi(), SessionFrame::Login::none);
        if (frame.open(nullptr) != RES_OK) {
            return 0;
        }
        PublicKeyList list = listPublicKeys(frame.session());
        lastPublicKeys = std::move(list.records);
        *keys = lastPublicKeys.get();
        return static_cast<int>(list.found);
    } catch (...) {
        return 0;
    }
}

void FreeTokenCertificates(TokenCertificate* records, CK_ULONG count) {
    try {
        std::lock_guard lock(exportLock);
        releaseCertificates(records, count);
    } catch (...) {
        // The lock could not be taken; the list stays with the caller.
    }
}

int GetSign(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
            const unsigned char* data, CK_ULONG dataLength, unsigned char** signature,
            CK_ULONG* signatureLength) {
    return signWithLogin(pin, certificate, certificateLength, data, dataLength,
                         SOFTTOKEN_PKCS7_DETACHED, signature, signatureLength);
}

int GetSignEx(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
              const unsigned char* data, CK_ULONG dataLength, int detached,
              unsigned char** signature, CK_ULONG* signatureLength) {
    return signWithLogin(pin, certificate, certificateLength, data, dataLength,
                         detached != 0 ? SOFTTOKEN_PKCS7_DETACHED : SOFTTOKEN_PKCS7_ATTACHED,
                         signature, signatureLength);
}

void FreeBuffMemory(void* buffer) {
    if (buffer == nullptr) {
        return;
    }
    try {
        std::lock_guard lock(exportLock);
        freeBuffer(static_cast<CK_BYTE_PTR>(buffer));
    } catch (...) {
        // The lock could not be taken; the buffer stays with the caller.
    }
}

}  // extern "C"
