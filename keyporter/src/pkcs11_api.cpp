#include "pkcs11_api.h"

#include <dlfcn.h>

namespace keyporter {

const Pkcs11Api& linkedApi() noexcept {
    static const Pkcs11Api api{
        C_Initialize,      C_Finalize,    C_GetSlotList,      C_GetTokenInfo,      C_OpenSession,
        C_CloseSession,    C_Login,       C_Logout,           C_GenerateKeyPair,   C_CreateObject,
        C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_GetAttributeValue,
    };
    return api;
}

void LoadedModule::Closer::operator()(void* handle) const noexcept {
    dlclose(handle);
}

std::optional<LoadedModule> LoadedModule::load(const char* fileName) {
    void* handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    // The search through our own RUNPATH is lost when dlopen is intercepted (sanitizer
    // runtimes, preloaded libraries): the loader then takes the interceptor for the caller.
    Dl_info self;
    if (handle == nullptr && dladdr(reinterpret_cast<void*>(&linkedApi), &self) != 0 &&
        self.dli_fname != nullptr) {
        std::string beside = self.dli_fname;
        beside.erase(beside.rfind('/') + 1);
        beside += fileName;
        handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (handle == nullptr) {
        return std::nullopt;
    }
    return LoadedModule(handle);
}

std::optional<Pkcs11Api> LoadedModule::functions() const noexcept {
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_.get(), "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        return std::nullopt;
    }
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getFunctionList(&list) != CKR_OK || list == nullptr) {
        return std::nullopt;
    }
    return Pkcs11Api{
        list->C_Initialize,
        list->C_Finalize,
        list->C_GetSlotList,
        list->C_GetTokenInfo,
        list->C_OpenSession,
        list->C_CloseSession,
        list->C_Login,
        list->C_Logout,
        list->C_GenerateKeyPair,
        list->C_CreateObject,
        list->C_FindObjectsInit,
        list->C_FindObjects,
        list->C_FindObjectsFinal,
        list->C_GetAttributeValue,
    };
}

}  // namespace keyporter
