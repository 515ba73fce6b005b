// Small helpers of the core's tests: a temporary folder of their own and running outside tools.
#pragma once

#include <filesystem>
#include <string>

namespace certdesk::testing {

// A fresh folder removed with everything in it when the test ends.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& file);

// Runs a shell command; its output goes to the test's log. Returns the exit status.
int RunTool(const std::string& command);
std::string Quote(const std::string& text);

}  // namespace certdesk::testing
