// One transaction on the token: initialise, first slot with a token, read-write session,
// optional login; the destructor tears all of it down again in a fixed order.
#pragma once

#include "pkcs11_api.h"

#include <optional>
#include <vector>

namespace keyporter {

class SessionFrame {
  public:
    enum class Login { none, user };
    enum class TokenInfo { unused, required };

    SessionFrame(const Pkcs11Api& api, Login login) noexcept : api_(api), login_(login) {}
    ~SessionFrame();
    SessionFrame(const SessionFrame&) = delete;
    SessionFrame& operator=(const SessionFrame&) = delete;

    // Runs the steps up to the login; returns RES_OK or the code of the failing step.
    // Never throws: a slot array that cannot be allocated fails its own step.
    int open(const char* pin, TokenInfo tokenInfo = TokenInfo::unused) noexcept;

    const Pkcs11Api& api() const noexcept { return api_; }
    CK_SESSION_HANDLE session() const noexcept { return *session_; }

  private:
    int openSteps(const char* pin, TokenInfo tokenInfo);

    const Pkcs11Api& api_;
    Login login_;
    bool initializeCalled_ = false;
    std::vector<CK_SLOT_ID> slots_;
    std::optional<CK_SESSION_HANDLE> session_;
};

}  // namespace keyporter
