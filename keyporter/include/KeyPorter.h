/* KeyPorter: token operations over PKCS#11, one complete transaction per call. */
#ifndef KEYPORTER_H
#define KEYPORTER_H

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the five operations that return one. Success is 1, not 0. */
enum {
    RES_OK = 1,
    RES_ERR_INITIALIZE = -1,
    RES_ERR_SLOT_COUNT = -2,
    RES_ERR_SLOT_LIST = -3,
    RES_ERR_NO_TOKEN = -4,
    RES_ERR_OPEN_SESSION = -5,
    RES_ERR_LOGIN = -6,
    RES_ERR_GENERATE_KEY_PAIR = -7,
    RES_ERR_CREATE_REQUEST = -8,
    RES_ERR_CREATE_OBJECT = -10,
    RES_ERR_CERT_NOT_FOUND = -20,
    RES_ERR_SIGN = -30
};

/* One certificate of a listing: its DER bytes on KeyPorter's heap. */
typedef struct TokenCertificate {
    CK_ULONG length;
    unsigned char* data;
} TokenCertificate;

/* A public key record: CKA_VALUE, zero-filled at the end when shorter. */
#define TOKEN_PUBLIC_KEY_SIZE 64

/* The request subject: UTF-8 strings alternating attribute type and value. */
typedef char** SubjectArray;

int GenCertRequests(const char* pin, const char* label, const char* id, SubjectArray subject,
                    CK_ULONG subjectCount, unsigned char** request, CK_ULONG* requestLength);
int GenCertRequestsEKU(const char* pin, const char* label, const char* id, const char* ekuList,
                       SubjectArray subject, CK_ULONG subjectCount, unsigned char** request,
                       CK_ULONG* requestLength);
int InstallCertificate(const char* pin, const char* label, const char* id,
                       const unsigned char* certificate, CK_ULONG certificateLength);
TokenCertificate* GetTokenCertificates(CK_ULONG* count);
TokenCertificate* GetTokenCertificatesPKI(CK_ULONG* count);
int GetTokenPublicKeys(unsigned char** keys);
void FreeTokenCertificates(TokenCertificate* records, CK_ULONG count);
int GetSign(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
            const unsigned char* data, CK_ULONG dataLength, unsigned char** signature,
            CK_ULONG* signatureLength);
int GetSignEx(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
              const unsigned char* data, CK_ULONG dataLength, int detached,
              unsigned char** signature, CK_ULONG* signatureLength);
void FreeBuffMemory(void* buffer);

/* The exports' types, for callers that bind them by name at run time. */
typedef int (*GenCertRequestsFn)(const char*, const char*, const char*, SubjectArray, CK_ULONG,
                                 unsigned char**, CK_ULONG*);
typedef int (*GenCertRequestsEKUFn)(const char*, const char*, const char*, const char*,
                                    SubjectArray, CK_ULONG, unsigned char**, CK_ULONG*);
typedef int (*InstallCertificateFn)(const char*, const char*, const char*, const unsigned char*,
                                    CK_ULONG);
typedef TokenCertificate* (*GetTokenCertificatesFn)(CK_ULONG*);
typedef int (*GetTokenPublicKeysFn)(unsigned char**);
typedef void (*FreeTokenCertificatesFn)(TokenCertificate*, CK_ULONG);
typedef int (*GetSignFn)(const char*, const unsigned char*, CK_ULONG, const unsigned char*,
                         CK_ULONG, unsigned char**, CK_ULONG*);
typedef int (*GetSignExFn)(const char*, const unsigned char*, CK_ULONG, const unsigned char*,
                           CK_ULONG, int, unsigned char**, CK_ULONG*);
typedef void (*FreeBuffMemoryFn)(void*);

#ifdef __cplusplus
}
#endif

#endif
