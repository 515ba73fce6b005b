/* Vendor extensions of the software token, beside the standard PKCS#11 functions. */
#ifndef SOFTTOKEN_EXT_H
#define SOFTTOKEN_EXT_H

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Flags of pkcs7Sign. */
#define SOFTTOKEN_PKCS7_ATTACHED 0UL
#define SOFTTOKEN_PKCS7_DETACHED 1UL

/*
 * Builds a PKCS#10 request (PEM, "CERTIFICATE REQUEST") for the key pair of publicKey.
 * subject: subjectCount UTF-8 strings alternating attribute type and value, one RDN each,
 * in the given order. extensions: extensionCount strings alternating extension name and value.
 * The three reserved arguments are passed as 0, NULL and 0.
 * On CKR_OK *request holds a buffer released with freeBuffer.
 */
CK_RV createCSR(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey, char** subject,
                CK_ULONG subjectCount, CK_BYTE_PTR* request, CK_ULONG_PTR requestLength,
                CK_OBJECT_HANDLE reservedHandle, void* reservedPointer, CK_ULONG reservedCount,
                char** extensions, CK_ULONG extensionCount);

/*
 * Makes a CMS SignedData (DER) over data with the private key that belongs to the certificate
 * object: detached when flags is SOFTTOKEN_PKCS7_DETACHED, carrying the data when it is
 * SOFTTOKEN_PKCS7_ATTACHED. On CKR_OK *signature holds a buffer released with freeBuffer.
 */
CK_RV pkcs7Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
                CK_OBJECT_HANDLE certificate, CK_BYTE_PTR* signature, CK_ULONG_PTR signatureLength,
                CK_OBJECT_HANDLE reservedHandle, void* reservedPointer, CK_ULONG reservedCount,
                CK_ULONG flags);

/* Releases a buffer of createCSR or pkcs7Sign; NULL is ignored. */
CK_RV freeBuffer(CK_BYTE_PTR buffer);

#ifdef __cplusplus
}
#endif

#endif
