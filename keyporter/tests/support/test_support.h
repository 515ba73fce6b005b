// Helpers for tests that run KeyPorter over the software token: temporary folders and
// environment, running programs, a fresh token store, a GOST test CA driven by certtool, and
// KeyPorter bound by name the way the application binds it.
#pragma once

#include <KeyPorter.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kptest {

using Bytes = std::vector<unsigned char>;

// The user PIN softtoken-util gives a new token.
inline constexpr const char* kDefaultPin = "5829301746";

// The folder of the running program: the build's bin/, where every output lands.
std::filesystem::path binDir();

std::string readText(const std::filesystem::path& file);
Bytes readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const Bytes& bytes);
void writeText(const std::filesystem::path& file, const std::string& text);

// A fresh folder under $TMPDIR, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable and restores the old value.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

struct CommandResult {
    int exitCode = -1;   // the exit status, or -1 when the program did not exit normally
    std::string output;  // stdout and stderr together
};

// Runs argv[0] (looked up on PATH) with extra environment entries "NAME=value"; never
// through a shell.
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {});

// A token store in its own temporary folder. While it lives SOFTTOKEN_DIR points at it and
// SOFTTOKEN_KDF_ITERATIONS is low, so that logins stay cheap.
class SoftTokenStore {
  public:
    SoftTokenStore();
    const std::filesystem::path& dir() const { return dir_.path(); }

    // softtoken-util with the given arguments; throws when it fails.
    std::string util(const std::vector<std::string>& args) const;
    // A new token with the user PIN `pin` in `slot` of `partition` ("gost" or "pki").
    void initToken(const std::string& label = "token", const std::string& pin = kDefaultPin,
                   int slot = 0, const std::string& partition = "gost") const;

  private:
    TempDir dir_;
    ScopedEnv storeEnv_;
    ScopedEnv kdfEnv_;
};

// A self-signed GOST R 34.10-2012 256-bit CA made by certtool in a folder of its own.
class TestCa {
  public:
    TestCa();
    const std::filesystem::path& certificateFile() const { return certificate_; }
    Bytes certificateDer() const;
    // Issues a certificate for a PKCS#10 request (PEM or DER); returns its DER bytes.
    Bytes issue(const Bytes& request) const;

  private:
    TempDir dir_;
    std::filesystem::path key_;
    std::filesystem::path certificate_;
    mutable int issued_ = 0;
};

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
