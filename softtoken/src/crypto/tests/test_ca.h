// The byte helpers the crypto tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gost_crypto.h"
#include "tool_run.h"

namespace testing_tools {

using softtoken::crypto::Bytes;

// Names parameterised cases by their name field.
struct CaseName {
    template <typename P>
    std::string operator()(const ::testing::TestParamInfo<P>& p) const {
        return p.param.name;
    }
};

inline const Bytes kCryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

// The bytes of the "aa:bb:..." lines certtool prints under a line holding only the label.
inline Bytes HexBlockAfter(const std::string& text, const std::string& label) {
    std::size_t at = 0;
    while ((at = text.find(label + "\n", at)) != std::string::npos && at > 0 &&
           text[at - 1] != '\t' && text[at - 1] != '\n') {
        ++at;
    }
    if (at == std::string::npos) {
        return {};
    }
    std::string digits;
    std::size_t line = at + label.size() + 1;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        std::string content = text.substr(line, end == std::string::npos ? end : end - line);
        if (content.find_first_not_of("\t 0123456789abcdef:") != std::string::npos ||
            content.find(':') == std::string::npos) {
            break;
        }
        for (char c : content) {
            if (c != ':' && c != ' ' && c != '\t') {
                digits += c;
            }
        }
        if (end == std::string::npos) {
            break;
        }
        line = end + 1;
    }
    return FromHex(digits);
}

// A big-endian number certtool printed, as 32 little-endian bytes.
inline Bytes LittleEndian32(Bytes bigEndian) {
    while (bigEndian.size() > 32 && bigEndian.front() == 0) {
        bigEndian.erase(bigEndian.begin());
    }
    if (bigEndian.size() > 32) {
        return {};
    }
    bigEndian.insert(bigEndian.begin(), 32 - bigEndian.size(), 0);
    return Bytes(bigEndian.rbegin(), bigEndian.rend());
}

// PEM to DER through openssl, so the tests do not decode with the code under test.
inline Bytes PemToDer(const TempDir& dir, const std::string& kind, const std::string& pem) {
    WriteFile(dir.File("in.pem"), pem);
    auto result = RunTool("openssl " + kind + " -in " + Quote(dir.File("in.pem")) +
                          " -outform DER -out " + Quote(dir.File("out.der")));
    EXPECT_EQ(result.status, 0) << result.output;
    return ToBytes(ReadFile(dir.File("out.der")));
}

}  // namespace testing_tools
