// The module's C entry points: each translates its arguments for the token layers, reports
// every failure as a CK_RV, and passes through the test facilities (journal, injected failures).
// The partition this library serves is fixed when it is built.
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <mutex>
#include <new>
#include <type_traits>

#include "error.h"
#include "gost_crypto.h"
#include "module.h"
#include "softtoken_ext.h"
#include "test_hooks.h"

#ifndef SOFTTOKEN_PARTITION
#error "SOFTTOKEN_PARTITION names the partition this library serves"
#endif

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex moduleMutex;

softtoken::Module& TheModule() {
    static softtoken::Module module(SOFTTOKEN_PARTITION);
    return module;
}

template <class F>
CK_RV Run(const char* name, F&& work) {
    CK_RV rv = CKR_OK;
    if (std::optional<CK_RV> injected =
            softtoken::hooks::InjectedFailure(SOFTTOKEN_PARTITION, name)) {
        rv = *injected;
    } else {
        try {
            std::lock_guard<std::mutex> lock(moduleMutex);
            if constexpr (std::is_void_v<decltype(work(TheModule()))>) {
                work(TheModule());
            } else {
                rv = work(TheModule());
            }
        } catch (const softtoken::Error& e) {
            rv = e.rv();
            if (*e.what() != '\0') {
                std::fprintf(stderr, "softtoken: %s\n", e.what());
            }
        } catch (const softtoken::crypto::CryptoError& e) {
            rv = e.rv();
        } catch (const std::bad_alloc&) {
            rv = CKR_HOST_MEMORY;
        } catch (...) {
            rv = CKR_GENERAL_ERROR;
        }
    }
    softtoken::hooks::Journal(SOFTTOKEN_PARTITION, name, rv);
    return rv;
}

CK_RV Unsupported(const char* name) {
    return Run(name, [](softtoken::Module&) { return CK_RV{CKR_FUNCTION_NOT_SUPPORTED}; });
}

}  // namespace

EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return Run("C_Initialize", [&](softtoken::Module& m) { m.Initialize(pInitArgs); });
}

EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return Run("C_Finalize", [&](softtoken::Module& m) { m.Finalize(pReserved); });
}

EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return Run("C_GetInfo", [&](softtoken::Module& m) { m.GetInfo(pInfo); });
}

EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return Run("C_GetSlotList",
               [&](softtoken::Module& m) { m.GetSlotList(tokenPresent, pSlotList, pulCount); });
}

EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return Run("C_GetSlotInfo", [&](softtoken::Module& m) { m.GetSlotInfo(slotID, pInfo); });
}

EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return Run("C_GetTokenInfo", [&](softtoken::Module& m) { m.GetTokenInfo(slotID, pInfo); });
}

EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                CK_ULONG_PTR pulCount) {
    return Run("C_GetMechanismList",
               [&](softtoken::Module& m) { m.GetMechanismList(slotID, pMechanismList, pulCount); });
}

EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                CK_MECHANISM_INFO_PTR pInfo) {
    return Run("C_GetMechanismInfo",
               [&](softtoken::Module& m) { m.GetMechanismInfo(slotID, type, pInfo); });
}

EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                         CK_UTF8CHAR_PTR pLabel) {
    return Run("C_InitToken",
               [&](softtoken::Module& m) { m.InitToken(slotID, pPin, ulPinLen, pLabel); });
}

EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return Run("C_InitPIN", [&](softtoken::Module& m) { m.InitPIN(hSession, pPin, ulPinLen); });
}

EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                      CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return Run("C_SetPIN", [&](softtoken::Module& m) {
        m.SetPIN(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen);
    });
}

EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                           CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    (void)pApplication;
    (void)Notify;
    return Run("C_OpenSession",
               [&](softtoken::Module& m) { m.OpenSession(slotID, flags, phSession); });
}

EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return Run("C_CloseSession", [&](softtoken::Module& m) { m.CloseSession(hSession); });
}

EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return Run("C_CloseAllSessions", [&](softtoken::Module& m) { m.CloseAllSessions(slotID); });
}

EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return Run("C_GetSessionInfo",
               [&](softtoken::Module& m) { m.GetSessionInfo(hSession, pInfo); });
}

EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_GetOperationState");
}

EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
                                 CK_OBJECT_HANDLE) {
    return Unsupported("C_SetOperationState");
}

EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                     CK_ULONG ulPinLen) {
    return Run("C_Login",
               [&](softtoken::Module& m) { m.Login(hSession, userType, pPin, ulPinLen); });
}

EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return Run("C_Logout", [&](softtoken::Module& m) { m.Logout(hSession); });
}

EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                            CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    return Run("C_CreateObject", [&](softtoken::Module& m) {
        m.CreateObject(hSession, pTemplate, ulCount, phObject);
    });
}

EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                          CK_OBJECT_HANDLE_PTR) {
    return Unsupported("C_CopyObject");
}

EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return Run("C_DestroyObject",
               [&](softtoken::Module& m) { m.DestroyObject(hSession, hObject); });
}

EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) {
    return Unsupported("C_GetObjectSize");
}

EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                 CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return Run("C_GetAttributeValue", [&](softtoken::Module& m) {
        return m.GetAttributeValue(hSession, hObject, pTemplate, ulCount);
    });
}

EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                 CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return Run("C_SetAttributeValue", [&](softtoken::Module& m) {
        m.SetAttributeValue(hSession, hObject, pTemplate, ulCount);
    });
}

EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                               CK_ULONG ulCount) {
    return Run("C_FindObjectsInit",
               [&](softtoken::Module& m) { m.FindObjectsInit(hSession, pTemplate, ulCount); });
}

EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                           CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return Run("C_FindObjects", [&](softtoken::Module& m) {
        m.FindObjects(hSession, phObject, ulMaxObjectCount, pulObjectCount);
    });
}

EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return Run("C_FindObjectsFinal", [&](softtoken::Module& m) { m.FindObjectsFinal(hSession); });
}

EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Unsupported("C_EncryptInit");
}

EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_Encrypt");
}

EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_EncryptUpdate");
}

EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_EncryptFinal");
}

EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Unsupported("C_DecryptInit");
}

EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_Decrypt");
}

EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_DecryptUpdate");
}

EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_DecryptFinal");
}

EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return Run("C_DigestInit", [&](softtoken::Module& m) { m.DigestInit(hSession, pMechanism); });
}

EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                      CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return Run("C_Digest", [&](softtoken::Module& m) {
        m.Digest(hSession, pData, ulDataLen, pDigest, pulDigestLen);
    });
}

EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) {
    return Unsupported("C_DigestUpdate");
}

EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) {
    return Unsupported("C_DigestKey");
}

EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_DigestFinal");
}

EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_OBJECT_HANDLE hKey) {
    return Run("C_SignInit", [&](softtoken::Module& m) { m.SignInit(hSession, pMechanism, hKey); });
}

EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                    CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return Run("C_Sign", [&](softtoken::Module& m) {
        m.Sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
    });
}

EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return Run("C_SignUpdate",
               [&](softtoken::Module& m) { m.SignUpdate(hSession, pPart, ulPartLen); });
}

EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                         CK_ULONG_PTR pulSignatureLen) {
    return Run("C_SignFinal",
               [&](softtoken::Module& m) { m.SignFinal(hSession, pSignature, pulSignatureLen); });
}

EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Unsupported("C_SignRecoverInit");
}

EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_SignRecover");
}

EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                          CK_OBJECT_HANDLE hKey) {
    return Run("C_VerifyInit",
               [&](softtoken::Module& m) { m.VerifyInit(hSession, pMechanism, hKey); });
}

EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                      CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return Run("C_Verify", [&](softtoken::Module& m) {
        m.Verify(hSession, pData, ulDataLen, pSignature, ulSignatureLen);
    });
}

EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return Run("C_VerifyUpdate",
               [&](softtoken::Module& m) { m.VerifyUpdate(hSession, pPart, ulPartLen); });
}

EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                           CK_ULONG ulSignatureLen) {
    return Run("C_VerifyFinal",
               [&](softtoken::Module& m) { m.VerifyFinal(hSession, pSignature, ulSignatureLen); });
}

EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Unsupported("C_VerifyRecoverInit");
}

EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_VerifyRecover");
}

EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                   CK_ULONG_PTR) {
    return Unsupported("C_DigestEncryptUpdate");
}

EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                   CK_ULONG_PTR) {
    return Unsupported("C_DecryptDigestUpdate");
}

EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                 CK_ULONG_PTR) {
    return Unsupported("C_SignEncryptUpdate");
}

EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                   CK_ULONG_PTR) {
    return Unsupported("C_DecryptVerifyUpdate");
}

EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                           CK_OBJECT_HANDLE_PTR) {
    return Unsupported("C_GenerateKey");
}

EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                               CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                               CK_ULONG ulPublicKeyAttributeCount,
                               CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                               CK_ULONG ulPrivateKeyAttributeCount,
                               CK_OBJECT_HANDLE_PTR phPublicKey,
                               CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return Run("C_GenerateKeyPair", [&](softtoken::Module& m) {
        m.GenerateKeyPair(hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                          pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey,
                          phPrivateKey);
    });
}

EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
                       CK_BYTE_PTR, CK_ULONG_PTR) {
    return Unsupported("C_WrapKey");
}

EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                         CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return Unsupported("C_UnwrapKey");
}

EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR,
                         CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return Unsupported("C_DeriveKey");
}

EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) {
    return Unsupported("C_SeedRandom");
}

EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData,
                              CK_ULONG ulRandomLen) {
    return Run("C_GenerateRandom",
               [&](softtoken::Module& m) { m.GenerateRandom(hSession, RandomData, ulRandomLen); });
}

EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return Unsupported("C_GetFunctionStatus");
}

EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return Unsupported("C_CancelFunction");
}

EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return Unsupported("C_WaitForSlotEvent");
}

namespace {

CK_FUNCTION_LIST functionList = {
    {2, 40},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return Run("C_GetFunctionList", [&](softtoken::Module&) {
        if (ppFunctionList == nullptr) {
            return CK_RV{CKR_ARGUMENTS_BAD};
        }
        *ppFunctionList = &functionList;
        return CK_RV{CKR_OK};
    });
}

EXPORT CK_RV createCSR(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey, char** subject,
                       CK_ULONG subjectCount, CK_BYTE_PTR* request, CK_ULONG_PTR requestLength,
                       CK_OBJECT_HANDLE, void*, CK_ULONG, char** extensions,
                       CK_ULONG extensionCount) {
    return Run("createCSR", [&](softtoken::Module& m) {
        m.CreateCsr(session, publicKey, subject, subjectCount, request, requestLength, extensions,
                    extensionCount);
    });
}

EXPORT CK_RV pkcs7Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
                       CK_OBJECT_HANDLE certificate, CK_BYTE_PTR* signature,
                       CK_ULONG_PTR signatureLength, CK_OBJECT_HANDLE, void*, CK_ULONG,
                       CK_ULONG flags) {
    return Run("pkcs7Sign", [&](softtoken::Module& m) {
        m.Pkcs7Sign(session, data, dataLength, certificate, signature, signatureLength, flags);
    });
}

EXPORT CK_RV freeBuffer(CK_BYTE_PTR buffer) {
    return Run("freeBuffer", [&](softtoken::Module& m) { m.FreeBuffer(buffer); });
}
