// The program's way to the token: KeyPorter bound by file name at run time, one call per
// operation, its result codes turned into the messages the user sees.
//
// Every operation that calls the library finds it in the process or loads it for that one call
// and unloads it again at the end, whether the call succeeded or raised. Failures are raised as
// certdesk::Error with the Windows-1251 message to show. Text goes to the library as the bytes of
// the string with a terminating NUL; byte strings (requests, certificates, keys, signatures) are
// std::string with their exact lengths, any byte allowed. Not thread-safe: the program calls it
// from its GUI thread, one call at a time.
#pragma once

#include <string>
#include <vector>

namespace certdesk {

// The token's two certificate stores.
enum class TokenPartition { Gost, Pki };

// The library file the client binds: a file name found by the platform's ordinary library search
// (CertDesk looks beside itself first), or a path, spelt as the file system spells it. The
// program keeps the default "libKeyPorter.so"; tests point it at other files.
const std::string& TokenLibraryName();
void SetTokenLibraryName(std::string name);

// The request bytes for a new key pair stored under label and id. The subject strings are UTF-8,
// attribute types and values alternating. ekuList replaces the library's built-in extended key
// usage list.
std::string TokenGenCertRequestsEKU(const std::string& pin, const std::string& label,
                                    const std::string& id, const std::string& ekuList,
                                    const std::vector<std::string>& subject);
std::string TokenGenCertRequests(const std::string& pin, const std::string& label,
                                 const std::string& id, const std::vector<std::string>& subject);

// Writes a DER certificate onto the token under label and id.
void TokenInstallCertificate(const std::string& pin, const std::string& label,
                             const std::string& id, const std::string& certificate);

// Append one entry per record of the token; a failed or empty listing leaves the list as it was.
// A public key entry is exactly 64 bytes, a certificate entry the DER bytes of one certificate.
void TokenGetPublicKeys(std::vector<std::string>& keys);
void TokenGetCertificates(std::vector<std::string>& certificates, TokenPartition partition);

// A detached signature of data made with the key of the given certificate.
std::string TokenSign(const std::string& pin, const std::string& data,
                      const std::string& certificate);

// The message for one of the library's result codes.
std::string TokenErrorText(int code);

// True when the library loads and offers GenCertRequestsEKU. Leaves a library it had to load in
// the process, so later operations find it there.
bool TokenHasEKUSupport() noexcept;

// Keeps the library loaded across a sequence of operations until TokenLibraryUnpin. Pinning while
// pinned keeps the one handle already held.
void TokenLibraryPin();
void TokenLibraryUnpin() noexcept;

}  // namespace certdesk
