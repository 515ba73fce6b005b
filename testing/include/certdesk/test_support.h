// Helpers for tests: temporary folders and environment, running programs, files, a fresh
// software token store and a GOST test CA driven by certtool.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace certdesk::test {

using Bytes = std::vector<unsigned char>;

// The PINs softtoken-util gives a new token unless told otherwise.
inline constexpr const char* kDefaultPin = "5829301746";
inline constexpr const char* kDefaultSoPin = "87654321";

// The folder of the running program: the build's bin/, where every output lands.
std::filesystem::path binDir();

std::string readText(const std::filesystem::path& file);
Bytes readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const Bytes& bytes);
void writeText(const std::filesystem::path& file, const std::string& text);

Bytes toBytes(const std::string& text);
// Lower-case hex digits, two a byte.
std::string hex(const Bytes& bytes);
// The bytes of pairs of hex digits; a trailing odd digit is ignored.
Bytes fromHex(const std::string& digits);

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

// The text in single quotes, for a shell command line.
std::string shellQuote(const std::string& text);

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

// A self-signed GOST R 34.10-2012 256-bit CA made by certtool in a folder of its own. It issues
// with the extensions the request carries, valid for `validDays` days.
class TestCa {
  public:
    explicit TestCa(int validDays = 365);
    // The CA certificate as PEM.
    const std::filesystem::path& certificateFile() const { return certificate_; }
    Bytes certificateDer() const;
    // Issues a certificate for a PKCS#10 request (PEM or DER); returns its DER bytes.
    Bytes issue(const Bytes& request) const;
    // The same, returning the certificate as PEM text.
    std::string issuePem(const Bytes& request) const;

  private:
    std::filesystem::path issueFile(const Bytes& request, bool der) const;

    TempDir dir_;
    std::filesystem::path key_;
    std::filesystem::path certificate_;
    int validDays_;
    mutable int issued_ = 0;
};

}  // namespace certdesk::test
