// A GOST test CA made by certtool, and the byte helpers the crypto tests share.
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

inline std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

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

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// PEM to DER through openssl, so the tests do not decode with the code under test.
inline Bytes PemToDer(const TempDir& dir, const std::string& kind, const std::string& pem) {
    WriteFile(dir.File("in.pem"), pem);
    auto result = RunTool("openssl " + kind + " -in " + Quote(dir.File("in.pem")) +
                          " -outform DER -out " + Quote(dir.File("out.der")));
    EXPECT_EQ(result.status, 0) << result.output;
    return ToBytes(ReadFile(dir.File("out.der")));
}

// A self-signed GOST R 34.10-2012 CA whose key certtool generated, issuing certificates for
// requests with the extensions the request carries.
class TestCa {
  public:
    TestCa() {
        WriteFile(dir_.File("ca.tmpl"),
                  "cn = \"Test CA\"\nca\ncert_signing_key\nexpiration_days = 30\n");
        Require(
            RunTool("certtool --generate-privkey --key-type gost12-256 --outfile " + Quote(Key())));
        Require(RunTool("certtool --generate-self-signed --load-privkey " + Quote(Key()) +
                        " --template " + Quote(dir_.File("ca.tmpl")) + " --outfile " +
                        Quote(Certificate())));
        WriteFile(dir_.File("issue.tmpl"), "honor_crq_extensions\nexpiration_days = 10\n");
    }

    std::string Key() const { return dir_.File("ca.key"); }
    std::string Certificate() const { return dir_.File("ca.pem"); }

    // The PEM certificate certtool issues for a PEM request.
    std::string Issue(const std::string& requestPem) const {
        WriteFile(dir_.File("request.pem"), requestPem);
        Require(RunTool("certtool --generate-certificate --load-request " +
                        Quote(dir_.File("request.pem")) + " --load-ca-certificate " +
                        Quote(Certificate()) + " --load-ca-privkey " + Quote(Key()) +
                        " --template " + Quote(dir_.File("issue.tmpl")) + " --outfile " +
                        Quote(dir_.File("issued.pem"))));
        return ReadFile(dir_.File("issued.pem"));
    }

  private:
    static void Require(const RunResult& result) {
        if (result.status != 0) {
            throw std::runtime_error("certtool failed: " + result.output);
        }
    }
    TempDir dir_;
};

}  // namespace testing_tools
