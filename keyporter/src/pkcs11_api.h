// The PKCS#11 entry points KeyPorter calls, gathered so that one session frame serves both the
// linked token library and a library loaded at run time.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <optional>
#include <string>

namespace keyporter {

struct Pkcs11Api {
    CK_C_Initialize initialize;
    CK_C_Finalize finalize;
    CK_C_GetSlotList getSlotList;
    CK_C_GetTokenInfo getTokenInfo;
    CK_C_OpenSession openSession;
    CK_C_CloseSession closeSession;
    CK_C_Login login;
    CK_C_Logout logout;
    CK_C_GenerateKeyPair generateKeyPair;
    CK_C_CreateObject createObject;
    CK_C_FindObjectsInit findObjectsInit;
    CK_C_FindObjects findObjects;
    CK_C_FindObjectsFinal findObjectsFinal;
    CK_C_GetAttributeValue getAttributeValue;
};

// The token library KeyPorter is linked against.
const Pkcs11Api& linkedApi() noexcept;

// A PKCS#11 library loaded by file name; unloaded when the object goes.
class LoadedModule {
  public:
    // By the platform's library search, else from the folder KeyPorter itself was loaded
    // from; empty when neither has it.
    static std::optional<LoadedModule> load(const char* fileName);

    // The library's function table through C_GetFunctionList; empty when the entry point is
    // missing or fails.
    std::optional<Pkcs11Api> functions() const noexcept;

  private:
    struct Closer {
        void operator()(void* handle) const noexcept;
    };
    explicit LoadedModule(void* handle) noexcept : handle_(handle) {}

    std::unique_ptr<void, Closer> handle_;
};

}  // namespace keyporter
