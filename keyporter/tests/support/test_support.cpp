#include "test_support.h"

#include <dlfcn.h>

#include <sstream>
#include <stdexcept>

namespace kptest {

namespace fs = std::filesystem;

namespace {

template <typename Fn>
Fn symbol(void* handle, const char* name) {
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("KeyPorter does not export ") + name);
    }
    return reinterpret_cast<Fn>(address);
}

}  // namespace

KeyPorterLibrary::KeyPorterLibrary(const fs::path& file)
    : handle_(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("cannot load KeyPorter: ") + dlerror());
    }
    genCertRequests = symbol<GenCertRequestsFn>(handle_, "GenCertRequests");
    genCertRequestsEKU = symbol<GenCertRequestsEKUFn>(handle_, "GenCertRequestsEKU");
    installCertificate = symbol<InstallCertificateFn>(handle_, "InstallCertificate");
    getTokenCertificates = symbol<GetTokenCertificatesFn>(handle_, "GetTokenCertificates");
    getTokenCertificatesPKI = symbol<GetTokenCertificatesFn>(handle_, "GetTokenCertificatesPKI");
    getTokenPublicKeys = symbol<GetTokenPublicKeysFn>(handle_, "GetTokenPublicKeys");
    freeTokenCertificates = symbol<FreeTokenCertificatesFn>(handle_, "FreeTokenCertificates");
    getSign = symbol<GetSignFn>(handle_, "GetSign");
    getSignEx = symbol<GetSignExFn>(handle_, "GetSignEx");
    freeBuffMemory = symbol<FreeBuffMemoryFn>(handle_, "FreeBuffMemory");
}

KeyPorterLibrary::~KeyPorterLibrary() {
    dlclose(handle_);
}

std::vector<Bytes> KeyPorterLibrary::certificates(bool pki) const {
    CK_ULONG count = 0;
    TokenCertificate* list = (pki ? getTokenCertificatesPKI : getTokenCertificates)(&count);
    std::vector<Bytes> copies;
    for (CK_ULONG i = 0; i < count; ++i) {
        copies.emplace_back(list[i].data, list[i].data + list[i].length);
    }
    freeTokenCertificates(list, count);
    return copies;
}

std::vector<Bytes> KeyPorterLibrary::publicKeys() const {
    unsigned char* keys = nullptr;
    const int count = getTokenPublicKeys(&keys);
    std::vector<Bytes> copies;
    for (int i = 0; i < count; ++i) {
        copies.emplace_back(keys + i * TOKEN_PUBLIC_KEY_SIZE,
                            keys + (i + 1) * TOKEN_PUBLIC_KEY_SIZE);
    }
    return copies;
}

ModuleSession::ModuleSession(const fs::path& module, const std::string& pin, int tokenIndex)
    : library_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (library_ == nullptr) {
        throw std::runtime_error(std::string("cannot load the module: ") + dlerror());
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK) {
        dlclose(library_);
        throw std::runtime_error("the module has no function list");
    }
    try {
        check(functions_->C_Initialize(nullptr), "C_Initialize");
        CK_SLOT_ID slots[8];
        CK_ULONG count = 8;
        check(functions_->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
        if (tokenIndex < 0 || count <= static_cast<CK_ULONG>(tokenIndex)) {
            throw std::runtime_error("no token at index " + std::to_string(tokenIndex));
        }
        check(functions_->C_OpenSession(slots[tokenIndex], CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                        nullptr, nullptr, &session_),
              "C_OpenSession");
        auto* pinBytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.c_str()));
        check(functions_->C_Login(session_, CKU_USER, pinBytes, pin.size()), "C_Login");
    } catch (...) {
        functions_->C_Finalize(nullptr);
        dlclose(library_);
        throw;
    }
}

ModuleSession::~ModuleSession() {
    functions_->C_Logout(session_);
    functions_->C_CloseSession(session_);
    functions_->C_Finalize(nullptr);
    dlclose(library_);
}

void ModuleSession::check(CK_RV rv, const char* what) const {
    if (rv != CKR_OK) {
        std::ostringstream message;
        message << what << " failed: 0x" << std::hex << rv;
        throw std::runtime_error(message.str());
    }
}

void ModuleSession::addCertificate(const Bytes& value, const std::string& label) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[]{
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
        {CKA_VALUE, const_cast<unsigned char*>(value.data()), value.size()},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    check(functions_->C_CreateObject(session_, attributes, std::size(attributes), &object),
          "C_CreateObject (certificate)");
}

void ModuleSession::addPublicKey(const Bytes& value, const std::string& label) {
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE type = CKK_GOSTR3410;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[]{
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
        {CKA_VALUE, const_cast<unsigned char*>(value.data()), value.size()},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    check(functions_->C_CreateObject(session_, attributes, std::size(attributes), &object),
          "C_CreateObject (public key)");
}

std::vector<CK_OBJECT_HANDLE> ModuleSession::find(CK_OBJECT_CLASS objectClass,
                                                  const std::optional<std::string>& label) {
    std::vector<CK_ATTRIBUTE> search{{CKA_CLASS, &objectClass, sizeof objectClass}};
    if (label) {
        search.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
    }
    check(functions_->C_FindObjectsInit(session_, search.data(), search.size()),
          "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    do {
        check(functions_->C_FindObjects(session_, batch, std::size(batch), &count),
              "C_FindObjects");
        found.insert(found.end(), batch, batch + count);
    } while (count == std::size(batch));
    check(functions_->C_FindObjectsFinal(session_), "C_FindObjectsFinal");
    return found;
}

Bytes ModuleSession::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    check(functions_->C_GetAttributeValue(session_, object, &query, 1), "C_GetAttributeValue");
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    check(functions_->C_GetAttributeValue(session_, object, &query, 1), "C_GetAttributeValue");
    return value;
}

void ModuleSession::destroy(CK_OBJECT_HANDLE object) {
    check(functions_->C_DestroyObject(session_, object), "C_DestroyObject");
}

}  // namespace kptest
