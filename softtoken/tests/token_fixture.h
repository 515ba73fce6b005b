// Drives a PKCS#11 module through its function list only, so the suite holds for any module.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "certdesk/test_support.h"
#include "softtoken_ext.h"

namespace softtoken::test {

using Bytes = std::vector<unsigned char>;

inline const std::string kSoPin = "87654321";
inline const std::string kUserPin = "5829301746";
// DER of id-GostR3410-2001-CryptoPro-A-ParamSet, as the bridge sends it.
inline const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

using certdesk::test::TempDir;

class LoadedModule {
  public:
    explicit LoadedModule(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            ADD_FAILURE() << dlerror();
            return;
        }
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
        if (get == nullptr || get(&functions_) != CKR_OK) {
            ADD_FAILURE() << "no function list in " << path;
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    ~LoadedModule() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    CK_FUNCTION_LIST* operator->() const { return functions_; }
    CK_FUNCTION_LIST* get() const { return functions_; }
    template <class F>
    F Symbol(const char* name) const {
        return reinterpret_cast<F>(dlsym(handle_, name));
    }

  private:
    void* handle_;
    CK_FUNCTION_LIST* functions_ = nullptr;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A fresh store per test, cheap PIN derivation, no test facility switched on.
class TokenTest : public ::testing::Test {
  protected:
    TokenTest() : gost(SOFTTOKEN_MODULE_PATH) {}

    void SetUp() override {
        setenv("SOFTTOKEN_DIR", dir.path().c_str(), 1);
        setenv("SOFTTOKEN_KDF_ITERATIONS", "1000", 1);
        unsetenv("SOFTTOKEN_JOURNAL");
        unsetenv("SOFTTOKEN_FAIL");
        ASSERT_NE(gost.get(), nullptr);
        ASSERT_EQ(gost->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override {
        if (gost.get() != nullptr) {
            gost->C_Finalize(nullptr);
        }
    }

    static CK_UTF8CHAR_PTR Text(const std::string& text) {
        return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
    }

    static CK_RV InitToken(CK_FUNCTION_LIST* p, CK_SLOT_ID slot, const std::string& label,
                           const std::string& so = kSoPin, const std::string& user = kUserPin) {
        std::string padded = label + std::string(32 - label.size(), ' ');
        CK_RV rv = p->C_InitToken(slot, Text(so), so.size(), Text(padded));
        if (rv != CKR_OK) {
            return rv;
        }
        CK_SESSION_HANDLE s;
        if ((rv = p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                   &s)) != CKR_OK) {
            return rv;
        }
        rv = p->C_Login(s, CKU_SO, Text(so), so.size());
        if (rv == CKR_OK) {
            rv = p->C_InitPIN(s, Text(user), user.size());
        }
        p->C_CloseSession(s);
        return rv;
    }
    void InitToken(const std::string& label = "Test") {
        ASSERT_EQ(InitToken(gost.get(), 0, label), CKR_OK);
    }

    CK_SESSION_HANDLE Open(CK_FUNCTION_LIST* p = nullptr, bool readWrite = true) {
        p = p ? p : gost.get();
        CK_SESSION_HANDLE s = 0;
        EXPECT_EQ(p->C_OpenSession(0, CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0),
                                   nullptr, nullptr, &s),
                  CKR_OK);
        return s;
    }
    CK_RV Login(CK_SESSION_HANDLE s, const std::string& pin = kUserPin,
                CK_USER_TYPE user = CKU_USER) {
        return gost->C_Login(s, user, Text(pin), pin.size());
    }
    // An initialised token and a read-write session logged in as the user.
    CK_SESSION_HANDLE UserSession() {
        InitToken();
        CK_SESSION_HANDLE s = Open();
        EXPECT_EQ(Login(s), CKR_OK);
        return s;
    }

    CK_TOKEN_INFO TokenInfo(CK_SLOT_ID slot = 0) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(gost->C_GetTokenInfo(slot, &info), CKR_OK);
        return info;
    }

    CK_OBJECT_HANDLE Create(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> attributes,
                            CK_FUNCTION_LIST* p = nullptr) {
        p = p ? p : gost.get();
        CK_OBJECT_HANDLE object = 0;
        EXPECT_EQ(p->C_CreateObject(s, attributes.data(), attributes.size(), &object), CKR_OK);
        return object;
    }
    CK_OBJECT_HANDLE CreateCertificate(CK_SESSION_HANDLE s, const std::string& label,
                                       const Bytes& value, CK_FUNCTION_LIST* p = nullptr) {
        CK_OBJECT_CLASS c = CKO_CERTIFICATE;
        CK_BBOOL yes = CK_TRUE;
        std::string text = label;
        Bytes bytes = value;
        return Create(s,
                      {{CKA_CLASS, &c, sizeof c},
                       {CKA_TOKEN, &yes, 1},
                       {CKA_LABEL, text.data(), text.size()},
                       {CKA_ID, text.data(), text.size()},
                       {CKA_VALUE, bytes.data(), bytes.size()}},
                      p);
    }

    // The bridge's key generation: the same four attributes in both templates.
    CK_RV GenerateKeyPair(CK_SESSION_HANDLE s, const std::string& label, const std::string& id,
                          CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey,
                          const Bytes& params = kCryptoProA) {
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE t[] = {
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
            {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(params.data()), params.size()},
            {CKA_ID, const_cast<char*>(id.data()), id.size()}};
        CK_MECHANISM m = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        return gost->C_GenerateKeyPair(s, &m, t, 4, t, 4, publicKey, privateKey);
    }

    // The attribute's value; the test fails when it cannot be read.
    Bytes Attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(gost->C_GetAttributeValue(s, object, &a, 1), CKR_OK) << "type " << type;
        if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            return {};
        }
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(gost->C_GetAttributeValue(s, object, &a, 1), CKR_OK);
        return value;
    }

    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> search,
                                       CK_FUNCTION_LIST* p = nullptr) {
        p = p ? p : gost.get();
        EXPECT_EQ(p->C_FindObjectsInit(s, search.data(), search.size()), CKR_OK);
        std::vector<CK_OBJECT_HANDLE> found(1000);
        CK_ULONG count = 0;
        EXPECT_EQ(p->C_FindObjects(s, found.data(), found.size(), &count), CKR_OK);
        found.resize(count);
        EXPECT_EQ(p->C_FindObjectsFinal(s), CKR_OK);
        return found;
    }

    std::filesystem::path StoreFile(const std::string& partition = "gost") const {
        return dir.path() / partition / "store";
    }

    TempDir dir;
    LoadedModule gost;
};

inline Bytes UlongBytes(CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

// Runs a shell command line; returns its exit status and what it printed.
inline int RunCommand(const std::string& command, std::string* output = nullptr) {
    certdesk::test::CommandResult result = certdesk::test::runCommand({"/bin/sh", "-c", command});
    if (output) {
        *output = result.output;
    }
    return result.exitCode;
}

}  // namespace softtoken::test
