// The module loaded as a client loads it, a token initialised by softtoken-util in a store of
// the test's own, and the tools nobody here wrote.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "softtoken_ext.h"
#include "tool_run.h"

namespace external {

using namespace testing_tools;
using Bytes = std::vector<unsigned char>;

inline const std::string kPin = "11112222";
inline const std::string kModule = SOFTTOKEN_MODULE;

// The preloaded sanitizer runtime a tool needs to load the module of a sanitized build.
inline std::string Tool(const std::string& command) {
    std::string env = EXTERNAL_TOOL_ENV;
    return env.empty() ? command : "env " + env + " " + command;
}

// Each test has a store of its own with one initialised token.
class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override { store_.initToken("External", kPin); }

    RunResult Pkcs11Tool(const std::string& arguments) const {
        return RunTool(Tool("pkcs11-tool --module " + Quote(kModule) + " " + arguments));
    }

    certdesk::test::SoftTokenStore store_;
    TempDir dir_;
};

// The module through dlopen and its function list, with a logged-in read-write session.
class Module {
  public:
    Module() {
        handle_ = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            throw std::runtime_error(dlerror());
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
        createCsr = reinterpret_cast<decltype(&::createCSR)>(dlsym(handle_, "createCSR"));
        pkcs7Sign = reinterpret_cast<decltype(&::pkcs7Sign)>(dlsym(handle_, "pkcs7Sign"));
        freeBuffer = reinterpret_cast<decltype(&::freeBuffer)>(dlsym(handle_, "freeBuffer"));
        if (getList == nullptr || createCsr == nullptr || pkcs7Sign == nullptr ||
            freeBuffer == nullptr || getList(&p11) != CKR_OK) {
            dlclose(handle_);
            throw std::runtime_error("the module lacks an entry point");
        }
        Check(p11->C_Initialize(nullptr), "C_Initialize");
        CK_SLOT_ID slot = 0;
        CK_ULONG count = 1;
        Check(p11->C_GetSlotList(CK_TRUE, &slot, &count), "C_GetSlotList");
        Check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                 &session),
              "C_OpenSession");
        Check(p11->C_Login(session, CKU_USER,
                           reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin.data())),
                           kPin.size()),
              "C_Login");
    }
    ~Module() {
        p11->C_Logout(session);
        p11->C_CloseSession(session);
        p11->C_Finalize(nullptr);
        dlclose(handle_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    void Check(CK_RV rv, const char* call) {
        if (rv != CKR_OK) {
            throw std::runtime_error(std::string(call) + " failed: " + std::to_string(rv));
        }
    }

    // The key pair the bridge asks for: these four attributes in both templates, nothing more.
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> GenerateBridgeKeyPair(std::string label,
                                                                        std::string id) {
        CK_BBOOL yes = CK_TRUE;
        unsigned char params[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
        CK_ATTRIBUTE tmpl[] = {
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, label.data(), label.size()},
            {CKA_GOSTR3410_PARAMS, params, sizeof params},
            {CKA_ID, id.data(), id.size()},
        };
        CK_ATTRIBUTE privateTmpl[4];
        std::copy(std::begin(tmpl), std::end(tmpl), privateTmpl);
        CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = 0;
        CK_OBJECT_HANDLE privateKey = 0;
        Check(p11->C_GenerateKeyPair(session, &mechanism, tmpl, 4, privateTmpl, 4, &publicKey,
                                     &privateKey),
              "C_GenerateKeyPair");
        return {publicKey, privateKey};
    }

    CK_OBJECT_HANDLE CreateCertificate(const Bytes& der, std::string id) {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_BBOOL yes = CK_TRUE;
        std::string label = "cert-" + id;
        CK_ATTRIBUTE tmpl[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, label.data(), label.size()},
            {CKA_ID, id.data(), id.size()},
            {CKA_VALUE, const_cast<unsigned char*>(der.data()), der.size()},
        };
        CK_OBJECT_HANDLE object = 0;
        Check(p11->C_CreateObject(session, tmpl, 5, &object), "C_CreateObject");
        return object;
    }

    CK_FUNCTION_LIST_PTR p11 = nullptr;
    CK_SESSION_HANDLE session = 0;
    decltype(&::createCSR) createCsr = nullptr;
    decltype(&::pkcs7Sign) pkcs7Sign = nullptr;
    decltype(&::freeBuffer) freeBuffer = nullptr;

  private:
    void* handle_ = nullptr;
};

// A buffer of createCSR or pkcs7Sign, released with freeBuffer.
class ModuleBuffer {
  public:
    explicit ModuleBuffer(Module& module) : module_(module) {}
    ~ModuleBuffer() { module_.freeBuffer(data); }
    ModuleBuffer(const ModuleBuffer&) = delete;
    ModuleBuffer& operator=(const ModuleBuffer&) = delete;
    std::string Text() const { return std::string(reinterpret_cast<char*>(data), length); }
    Bytes Value() const { return Bytes(data, data + length); }

    CK_BYTE_PTR data = nullptr;
    CK_ULONG length = 0;

  private:
    Module& module_;
};

}  // namespace external
