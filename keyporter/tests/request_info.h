// What a test needs to see inside a certificate request and a CMS signature, read with OpenSSL.
#pragma once

#include "test_support.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kptest {

struct RequestInfo {
    // (dotted OID, value bytes) in the order of the subject.
    std::vector<std::pair<std::string, std::string>> subject;
    // Extension OID -> DER of its value.
    std::map<std::string, Bytes> extensions;
    std::vector<std::string> extendedKeyUsage;
    // The key's 64 bytes as the token stores them in CKA_VALUE.
    Bytes publicKey;
};

// Reads a PEM or DER PKCS#10 request; throws when it does not parse.
RequestInfo readRequest(const Bytes& request);

struct SignatureInfo {
    bool detached = true;
    Bytes content;  // the carried data when attached
};
SignatureInfo readSignature(const Bytes& cms);

std::string toHex(const Bytes& bytes);

}  // namespace kptest
