// Helpers for tests that run KeyPorter over the software token: the shared test helpers under
// the names these tests use, KeyPorter bound by name the way the application binds it, and a
// session on a module for setting up tokens.
#pragma once

#include <KeyPorter.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "certdesk/test_support.h"

namespace kptest {

using certdesk::test::binDir;
using certdesk::test::Bytes;
using certdesk::test::CommandResult;
using certdesk::test::kDefaultPin;
using certdesk::test::readBytes;
using certdesk::test::readText;
using certdesk::test::runCommand;
using certdesk::test::ScopedEnv;
using certdesk::test::SoftTokenStore;
using certdesk::test::TempDir;
using certdesk::test::TestCa;
using certdesk::test::writeBytes;
using certdesk::test::writeText;

// KeyPorter loaded with dlopen and its ten exports looked up by name.
class KeyPorterLibrary {
  public:
    explicit KeyPorterLibrary(const std::filesystem::path& file = binDir() / "libKeyPorter.so");
    ~KeyPorterLibrary();
    KeyPorterLibrary(const KeyPorterLibrary&) = delete;
    KeyPorterLibrary& operator=(const KeyPorterLibrary&) = delete;

    GenCertRequestsFn genCertRequests;
    GenCertRequestsEKUFn genCertRequestsEKU;
    InstallCertificateFn installCertificate;
    GetTokenCertificatesFn getTokenCertificates;
    GetTokenCertificatesFn getTokenCertificatesPKI;
    GetTokenPublicKeysFn getTokenPublicKeys;
    FreeTokenCertificatesFn freeTokenCertificates;
    GetSignFn getSign;
    GetSignExFn getSignEx;
    FreeBuffMemoryFn freeBuffMemory;

    // Copies of a listing's certificates (the list itself is released).
    std::vector<Bytes> certificates(bool pki = false) const;
    // Copies of the public key records, and their number.
    std::vector<Bytes> publicKeys() const;

  private:
    void* handle_;
};

}  // namespace kptest

namespace kptest {

// A logged-in read-write session on a slot with a token (by its place among them) of a PKCS#11
// module, for
// setting up and inspecting tokens from a test. Finalises the module when it goes, so no
// KeyPorter call may run while one exists.
class ModuleSession {
  public:
    explicit ModuleSession(const std::filesystem::path& module = binDir() / "libsofttoken.so",
                           const std::string& pin = kDefaultPin, int tokenIndex = 0);
    ~ModuleSession();
    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;

    void addCertificate(const Bytes& value, const std::string& label = "cert");
    void addPublicKey(const Bytes& value, const std::string& label = "key");
    // Handles of the objects of a class, optionally only those with a label.
    std::vector<CK_OBJECT_HANDLE> find(CK_OBJECT_CLASS objectClass,
                                       const std::optional<std::string>& label = std::nullopt);
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    void destroy(CK_OBJECT_HANDLE object);

  private:
    void check(CK_RV rv, const char* what) const;

    void* library_;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

}  // namespace kptest
