// The work each export does inside an open session frame.
#pragma once

#include "pkcs11_api.h"

#include <KeyPorter.h>

#include <cstdlib>
#include <memory>

namespace keyporter {

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
using PublicKeyArray = std::unique_ptr<unsigned char[], FreeDeleter>;

// Releases the data blocks of the first `count` records, then the array.
void releaseCertificates(TokenCertificate* records, CK_ULONG count) noexcept;

struct CertificateList {
    struct Releaser {
        CK_ULONG capacity;
        void operator()(TokenCertificate* records) const noexcept {
            releaseCertificates(records, capacity);
        }
    };
    std::unique_ptr<TokenCertificate[], Releaser> records{nullptr, Releaser{0}};
    CK_ULONG filled = 0;
};

struct PublicKeyList {
    PublicKeyArray records;
    CK_ULONG found = 0;
};

struct Request {
    CK_BYTE_PTR data = nullptr;
    CK_ULONG length = 0;
};

// Key pair labelled `label`/`id`, then the request for it. ekuList null or empty keeps the
// built-in extended key usage list. Returns RES_OK, -7 or -8.
int generateRequest(CK_SESSION_HANDLE session, const char* label, const char* id,
                    const char* ekuList, SubjectArray subject, CK_ULONG subjectCount,
                    Request& request) noexcept;

// Returns RES_OK or RES_ERR_CREATE_OBJECT.
int installCertificate(CK_SESSION_HANDLE session, const char* label, const char* id,
                       const unsigned char* certificate, CK_ULONG certificateLength) noexcept;

// Throws std::bad_alloc when a block cannot be allocated; nothing is kept then.
CertificateList listCertificates(const Pkcs11Api& api, CK_SESSION_HANDLE session);
PublicKeyList listPublicKeys(CK_SESSION_HANDLE session);

// Returns RES_OK, RES_ERR_CERT_NOT_FOUND or RES_ERR_SIGN.
int sign(CK_SESSION_HANDLE session, const unsigned char* certificate, CK_ULONG certificateLength,
         const unsigned char* data, CK_ULONG dataLength, CK_ULONG flags, unsigned char** signature,
         CK_ULONG* signatureLength) noexcept;

}  // namespace keyporter
