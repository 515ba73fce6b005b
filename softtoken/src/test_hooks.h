// Facilities for the tests of programs built on the token, off unless asked for:
//   SOFTTOKEN_JOURNAL=<file>  appends "<partition> <function> 0x<RV>" for every call
//   SOFTTOKEN_FAIL=<entries>  makes the named functions return a chosen RV
#pragma once

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <vector>

namespace softtoken::hooks {

// Parses one SOFTTOKEN_FAIL value; exposed for its tests.
struct FailEntry {
    std::string partition;  // empty: both
    std::string function;
    CK_RV rv = 0;
    bool once = false;
    bool spent = false;
};
// Entries that do not parse are reported on stderr and left out.
std::vector<FailEntry> ParseFailEntries(const std::string& text);

// The RV the caller asked this call to fail with, if any.
std::optional<CK_RV> InjectedFailure(const char* partition, const char* function);
void Journal(const char* partition, const char* function, CK_RV rv);

}  // namespace softtoken::hooks
