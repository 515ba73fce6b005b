// Temporary folders, files, hex, the tools nobody here wrote and the GOST test CA, under the
// names the softtoken tests use.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "certdesk/test_support.h"

namespace testing_tools {

inline std::string Hex(const std::vector<unsigned char>& bytes) {
    return certdesk::test::hex(bytes);
}

inline std::vector<unsigned char> FromHex(const std::string& digits) {
    return certdesk::test::fromHex(digits);
}

inline std::vector<unsigned char> ToBytes(const std::string& text) {
    return certdesk::test::toBytes(text);
}

class TempDir : public certdesk::test::TempDir {
  public:
    std::string File(const std::string& name) const { return (path() / name).string(); }
};

inline void WriteFile(const std::string& path, const std::string& text) {
    certdesk::test::writeText(path, text);
}

inline void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    certdesk::test::writeBytes(path, bytes);
}

inline std::string ReadFile(const std::string& path) {
    return certdesk::test::readText(path);
}

struct RunResult {
    int status = -1;     // exit code, -1 when the tool did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs a shell command line; arguments must already be quoted with Quote.
inline RunResult RunTool(const std::string& command) {
    auto result = certdesk::test::runCommand({"/bin/sh", "-c", command});
    return {result.exitCode, result.output};
}

inline std::string Quote(const std::string& text) {
    return certdesk::test::shellQuote(text);
}

// The GOST test CA, issuing for PEM requests for ten days; failures of certtool throw.
class TestCa : public certdesk::test::TestCa {
  public:
    TestCa() : certdesk::test::TestCa(10) {}

    std::string Certificate() const { return certificateFile().string(); }

    // The PEM certificate certtool issues for a PEM request.
    std::string Issue(const std::string& requestPem) const {
        return issuePem(certdesk::test::toBytes(requestPem));
    }

    // The same, written as PEM and DER to the given files.
    void Issue(const std::string& requestPem, const std::string& pemPath,
               const std::string& derPath) const {
        WriteFile(pemPath, Issue(requestPem));
        Require(RunTool("certtool --certificate-info --outder --infile " + Quote(pemPath) +
                        " --outfile " + Quote(derPath)));
    }

    static void Require(const RunResult& result) {
        if (result.status != 0) {
            throw std::runtime_error("certtool failed: " + result.output);
        }
    }
};

}  // namespace testing_tools
