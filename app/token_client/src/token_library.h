// Binding the token library by file name for the length of one operation.
#pragma once

#include <memory>
#include <string>

namespace certdesk {

// The failure of loading a library: the platform's error code and the loader's message, made to
// name the library and the reason.
std::string LoadFailureMessage(const std::string& library, int code, const char* systemMessage);

struct LibraryClose {
    void operator()(void* handle) const noexcept;
};
using LibraryHandle = std::unique_ptr<void, LibraryClose>;

// Loads the library by name; raises the load failure.
LibraryHandle LoadTokenLibrary();

// The library as one operation sees it: the module already in the process, or one loaded for
// this operation and unloaded when the binding ends. A module that was already loaded stays.
class TokenLibraryBinding {
  public:
    TokenLibraryBinding();
    ~TokenLibraryBinding();
    TokenLibraryBinding(const TokenLibraryBinding&) = delete;
    TokenLibraryBinding& operator=(const TokenLibraryBinding&) = delete;

    // The export the operation cannot do without; raises when it is missing.
    template <typename Function>
    Function Require(const char* name) const {
        return reinterpret_cast<Function>(RequireSymbol(name));
    }

    // An export the operation can do without (a release function); null when missing.
    template <typename Function>
    Function Find(const char* name) const noexcept {
        return reinterpret_cast<Function>(FindSymbol(name));
    }

    // Leaves a library that this binding loaded in the process after the binding ends.
    void LeaveLoaded() noexcept { leaveLoaded_ = true; }

  private:
    void* RequireSymbol(const char* name) const;
    void* FindSymbol(const char* name) const noexcept;

    LibraryHandle handle_;
    bool loadedHere_ = false;
    bool leaveLoaded_ = false;
};

}  // namespace certdesk
