// The token as PKCS#11 sees it: slots and tokens from the store, sessions, login state,
// objects, searches and signing. Every method throws Error with the result to report.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "attributes.h"
#include "store.h"

namespace softtoken {

class Module {
  public:
    explicit Module(std::string partition);

    const std::string& partition() const { return partition_; }

    void Initialize(CK_VOID_PTR args);
    void Finalize(CK_VOID_PTR reserved);
    void GetInfo(CK_INFO_PTR info);
    void GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
    void GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
    void GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
    void GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
    void GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);
    void InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength, CK_UTF8CHAR_PTR label);
    void InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength);
    void SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                CK_UTF8CHAR_PTR newPin, CK_ULONG newLength);
    void OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session);
    void CloseSession(CK_SESSION_HANDLE session);
    void CloseAllSessions(CK_SLOT_ID slot);
    void GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info);
    void Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
               CK_ULONG pinLength);
    void Logout(CK_SESSION_HANDLE session);
    void CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                      CK_OBJECT_HANDLE_PTR object);
    void DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);
    // Returns rather than throws the per-attribute results, as the lengths are written anyway.
    CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
    void SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                           CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
    void FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
    void FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum,
                     CK_ULONG_PTR count);
    void FindObjectsFinal(CK_SESSION_HANDLE session);
    void GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                         CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                         CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                         CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey);
    void SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    void Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
              CK_ULONG_PTR signatureLength);
    void SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length);
    void SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength);
    void VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    void Verify(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                CK_ULONG signatureLength);
    void VerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length);
    void VerifyFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG signatureLength);
    void DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism);
    void Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR digest,
                CK_ULONG_PTR digestLength);
    void GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length);

    void CreateCsr(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey, char** subject,
                   CK_ULONG subjectCount, CK_BYTE_PTR* request, CK_ULONG_PTR requestLength,
                   char** extensions, CK_ULONG extensionCount);
    void Pkcs7Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length,
                   CK_OBJECT_HANDLE certificate, CK_BYTE_PTR* signature,
                   CK_ULONG_PTR signatureLength, CK_ULONG flags);
    void FreeBuffer(CK_BYTE_PTR buffer);

    // Slot administration, beside PKCS#11 (softtoken-util).
    CK_SLOT_ID AddSlot();
    void SetTokenPresent(CK_SLOT_ID slot, bool present);

  private:
    enum class Operation { None, Find, Sign, Verify, Digest };

    struct Session {
        CK_SESSION_HANDLE handle = 0;
        CK_SLOT_ID slot = 0;
        bool readWrite = false;
        Operation operation = Operation::None;
        std::vector<CK_OBJECT_HANDLE> found;
        std::size_t foundNext = 0;
        CK_MECHANISM_TYPE mechanism = 0;
        CK_OBJECT_HANDLE key = 0;
        Bytes buffered;  // data of a multi-part operation so far
    };

    struct LoginState {
        CK_USER_TYPE user = CKU_USER;
        Bytes tokenKey;
    };

    void RequireInitialized() const;
    const StoreData& Data();
    const SlotRecord& SlotOf(CK_SLOT_ID slot);
    Session& SessionOf(CK_SESSION_HANDLE handle);
    bool UserLoggedIn(CK_SLOT_ID slot) const;
    const Bytes* TokenKey(CK_SLOT_ID slot) const;
    std::size_t SessionCount(CK_SLOT_ID slot, bool readWriteOnly = false) const;

    // Copies, as a reload of the store replaces what it holds.
    ObjectRecord FindObject(const Session& session, CK_OBJECT_HANDLE handle);
    std::vector<ObjectRecord> VisibleObjects(const Session& session);
    // The value of an attribute as a reader may see it: nullopt when the object lacks it.
    // Throws Error(CKR_ATTRIBUTE_SENSITIVE) when it may not leave the token.
    std::optional<Bytes> ReadAttribute(const Session& session, const ObjectRecord& object,
                                       CK_ATTRIBUTE_TYPE type);
    Bytes PrivateValue(const Session& session, const ObjectRecord& object);
    // Moves sealed attributes out of the clear, under the token key of the session's slot.
    ObjectRecord Seal(const Session& session, Attributes attributes);
    // Keeps token objects in the store and the others in memory; returns their handles.
    std::vector<CK_OBJECT_HANDLE> Keep(const Session& session, std::vector<ObjectRecord> records);
    // The private key with this CKA_ID whose public half is publicValue.
    std::optional<ObjectRecord> MatchingPrivateKey(const Session& session, const Bytes& id,
                                                   const Bytes& publicValue);
    // A key by its handle; an unknown handle is reported as a key handle.
    ObjectRecord KeyObject(const Session& session, CK_OBJECT_HANDLE key);
    void BeginKeyOperation(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                           CK_OBJECT_HANDLE key, Operation operation);
    // The session, which must be in the middle of this operation.
    Session& SessionIn(CK_SESSION_HANDLE session, Operation operation);
    void ContinueOperation(CK_SESSION_HANDLE session, Operation operation, CK_BYTE_PTR part,
                           CK_ULONG length);
    // What the mechanism signs: the data itself (a 32-byte digest) or its Streebog-256.
    Bytes OperationDigest(const Session& session, const Bytes& data);
    void FinishSign(Session& session, const Bytes& data, CK_BYTE_PTR signature,
                    CK_ULONG_PTR signatureLength);
    void FinishVerify(Session& session, const Bytes& data, CK_BYTE_PTR signature,
                      CK_ULONG signatureLength);
    void RecordPinFailure(CK_SLOT_ID slot);

    std::string partition_;
    std::unique_ptr<FileStore> store_;
    bool initialized_ = false;
    std::map<CK_SESSION_HANDLE, Session> sessions_;
    CK_SESSION_HANDLE nextSession_ = 1;
    std::map<CK_SLOT_ID, LoginState> logins_;
    struct SessionObject {
        CK_SLOT_ID slot = 0;
        CK_SESSION_HANDLE owner = 0;
        ObjectRecord record;
    };
    std::vector<SessionObject> sessionObjects_;
    CK_OBJECT_HANDLE nextSessionObject_ = kSessionObjectBase;
    std::set<CK_BYTE_PTR> buffers_;

    static constexpr CK_OBJECT_HANDLE kSessionObjectBase = 0x40000000UL;
};

}  // namespace softtoken
