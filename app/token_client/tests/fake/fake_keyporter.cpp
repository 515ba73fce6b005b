// A test KeyPorter: exports the groups of names its build selects and forwards them to the
// scripted token.
#include "fake_token.h"

extern "C" {

#ifdef TC_EXPORT_MAIN
int GenCertRequests(const char* pin, const char* label, const char* id, SubjectArray subject,
                    CK_ULONG subjectCount, unsigned char** request, CK_ULONG* requestLength) {
    return tc_fake::GenerateRequest("GenCertRequests", pin, label, id, nullptr, subject,
                                    subjectCount, request, requestLength);
}

int InstallCertificate(const char* pin, const char* label, const char* id,
                       const unsigned char* certificate, CK_ULONG certificateLength) {
    return tc_fake::Install(pin, label, id, certificate, certificateLength);
}

TokenCertificate* GetTokenCertificates(CK_ULONG* count) {
    return tc_fake::ListCertificates(false, count);
}

TokenCertificate* GetTokenCertificatesPKI(CK_ULONG* count) {
    return tc_fake::ListCertificates(true, count);
}

int GetTokenPublicKeys(unsigned char** keys) {
    return tc_fake::ListPublicKeys(keys);
}

int GetSign(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
            const unsigned char* data, CK_ULONG dataLength, unsigned char** signature,
            CK_ULONG* signatureLength) {
    return tc_fake::Sign(pin, certificate, certificateLength, data, dataLength, signature,
                         signatureLength);
}
#endif

#ifdef TC_EXPORT_EKU
int GenCertRequestsEKU(const char* pin, const char* label, const char* id, const char* ekuList,
                       SubjectArray subject, CK_ULONG subjectCount, unsigned char** request,
                       CK_ULONG* requestLength) {
    return tc_fake::GenerateRequest("GenCertRequestsEKU", pin, label, id, ekuList, subject,
                                    subjectCount, request, requestLength);
}
#endif

#ifdef TC_EXPORT_RELEASE
void FreeTokenCertificates(TokenCertificate* records, CK_ULONG count) {
    tc_fake::ReleaseCertificates(records, count);
}

void FreeBuffMemory(void* buffer) {
    tc_fake::ReleaseBuffer(buffer);
}
#endif

#ifdef TC_EXPORT_VENDOR_USE
// The vendor library the real KeyPorter links against, here a library of its own.
int TcVendorPresent();

int TcVendorUse() {
    return TcVendorPresent();
}
#endif
}
