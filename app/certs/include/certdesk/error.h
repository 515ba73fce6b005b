// The two ways a piece of work ends early: an error the window shows, or a silent stop.
#pragma once

#include <stdexcept>
#include <string>

namespace certdesk {

// Carries the Windows-1251 message that the window-wide error display shows.
class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// The user declined or cancelled: the workflow ends without a message.
class SilentAbort : public std::exception {
  public:
    const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace certdesk
