// The core's tests name the shared test helpers in their own words.
#pragma once

#include <filesystem>
#include <string>

#include "certdesk/test_support.h"

namespace certdesk::testing {

// A fresh folder removed with everything in it when the test ends.
class TempDir : public certdesk::test::TempDir {
  public:
    const std::filesystem::path& Path() const { return path(); }
    std::filesystem::path operator/(const std::string& name) const { return path() / name; }
};

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
    certdesk::test::writeText(file, bytes);
}
inline std::string ReadBytes(const std::filesystem::path& file) {
    return certdesk::test::readText(file);
}
inline std::string Quote(const std::string& text) {
    return certdesk::test::shellQuote(text);
}

// Runs a shell command; its output goes to the test's log. Returns the exit status.
int RunTool(const std::string& command);

}  // namespace certdesk::testing
