// A scripted stand-in for KeyPorter's token: the test libraries forward their exports here, so
// tests decide the results and see exactly what the client passed and released.
#pragma once

#include <KeyPorter.h>

#include <string>
#include <vector>

#define TC_FAKE_API __attribute__((visibility("default")))

namespace tc_fake {

struct TokenScript {
    // What the coded exports return, and whether they hand out `output` as their buffer.
    int result = RES_OK;
    bool giveOutput = true;
    std::string output;
    // The listings: certificates per partition, public key records as one array.
    std::vector<std::string> gostCertificates;
    std::vector<std::string> pkiCertificates;
    std::string publicKeys;
    int publicKeyCount = 0;

    // What the client passed.
    std::vector<std::string> calls;
    std::string pin, label, id, ekuList, certificate, data;
    std::vector<std::string> subject;
    bool subjectRoomEmpty = false;  // the unused pointers of the subject array are null
    const void* releasedBuffer = nullptr;
    const TokenCertificate* releasedRecords = nullptr;
    CK_ULONG releasedCount = 0;

    // The certificate list last handed out.
    std::vector<TokenCertificate> records;
};

TC_FAKE_API TokenScript& Script();

TC_FAKE_API int GenerateRequest(const char* exportName, const char* pin, const char* label,
                                const char* id, const char* ekuList, SubjectArray subject,
                                CK_ULONG subjectCount, unsigned char** request,
                                CK_ULONG* requestLength);
TC_FAKE_API int Install(const char* pin, const char* label, const char* id,
                        const unsigned char* certificate, CK_ULONG certificateLength);
TC_FAKE_API TokenCertificate* ListCertificates(bool pki, CK_ULONG* count);
TC_FAKE_API int ListPublicKeys(unsigned char** keys);
TC_FAKE_API int Sign(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
                     const unsigned char* data, CK_ULONG dataLength, unsigned char** signature,
                     CK_ULONG* signatureLength);
TC_FAKE_API void ReleaseBuffer(void* buffer);
TC_FAKE_API void ReleaseCertificates(TokenCertificate* records, CK_ULONG count);

}  // namespace tc_fake
