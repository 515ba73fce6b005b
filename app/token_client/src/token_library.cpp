#include "token_library.h"

#include <dlfcn.h>

#include <cerrno>
#include <string>
#include <utility>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/token_client.h"

namespace certdesk {
namespace {

std::string& LibraryName() {
    static std::string name = "libKeyPorter.so";
    return name;
}

LibraryHandle& PinnedLibrary() {
    static LibraryHandle pinned;
    return pinned;
}

}  // namespace

const std::string& TokenLibraryName() {
    return LibraryName();
}

void SetTokenLibraryName(std::string name) {
    LibraryName() = std::move(name);
}

std::string LoadFailureMessage(const std::string& library, int code, const char* systemMessage) {
    std::string message = code != 0 ? Ansi("Ошибка Win32.  Код: ") + std::to_string(code) + "."
                                    : Ansi("Ошибка функции Win32 API");
    // The user has to learn which file did not load and why, also when no code came with it;
    // a missing dependency is named by the loader without the library that needed it.
    std::string reason = systemMessage != nullptr ? systemMessage : "";
    if (reason.find(library) == std::string::npos) {
        reason = reason.empty() ? library : library + ": " + reason;
    }
    return message + "\n" + AnsiFromUtf8(reason);
}

void LibraryClose::operator()(void* handle) const noexcept {
    dlclose(handle);
}

LibraryHandle LoadTokenLibrary() {
    errno = 0;
    void* handle = dlopen(TokenLibraryName().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const int code = errno;
        throw Error(LoadFailureMessage(TokenLibraryName(), code, dlerror()));
    }
    return LibraryHandle(handle);
}

TokenLibraryBinding::TokenLibraryBinding()
    : handle_(dlopen(TokenLibraryName().c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    // A module found in the process carries one more reference now; closing the handle at the
    // end only gives that reference back.
    if (!handle_) {
        handle_ = LoadTokenLibrary();
        loadedHere_ = true;
    }
}

TokenLibraryBinding::~TokenLibraryBinding() {
    if (loadedHere_ && leaveLoaded_) {
        static_cast<void>(handle_.release());
    }
}

void* TokenLibraryBinding::FindSymbol(const char* name) const noexcept {
    return dlsym(handle_.get(), name);
}

void* TokenLibraryBinding::RequireSymbol(const char* name) const {
    void* symbol = FindSymbol(name);
    if (symbol == nullptr) {
        throw Error(Ansi("Не найдена точка входа: ") + name);
    }
    return symbol;
}

void TokenLibraryPin() {
    LibraryHandle& pinned = PinnedLibrary();
    if (!pinned) {
        pinned = LoadTokenLibrary();
    }
}

void TokenLibraryUnpin() noexcept {
    PinnedLibrary().reset();
}

}  // namespace certdesk
