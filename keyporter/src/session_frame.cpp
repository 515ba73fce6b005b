#include "session_frame.h"

#include <KeyPorter.h>

#include <cstring>

namespace keyporter {

SessionFrame::~SessionFrame() {
    // Teardown results are ignored: they never change what the call reports.
    if (session_) {
        if (login_ == Login::user) {
            api_.logout(*session_);
        }
        api_.closeSession(*session_);
    }
    if (initializeCalled_) {
        api_.finalize(nullptr);
    }
    // The slot array goes last, with the members.
}

int SessionFrame::open(const char* pin, TokenInfo tokenInfo) noexcept {
    try {
        return openSteps(pin, tokenInfo);
    } catch (...) {
        // Only the slot array is allocated on the way.
        return RES_ERR_SLOT_LIST;
    }
}

int SessionFrame::openSteps(const char* pin, TokenInfo tokenInfo) {
    initializeCalled_ = true;
    if (api_.initialize(nullptr) != CKR_OK) {
        return RES_ERR_INITIALIZE;
    }
    CK_ULONG count = 0;
    if (api_.getSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
        return RES_ERR_SLOT_COUNT;
    }
    slots_.resize(count);
    if (api_.getSlotList(CK_TRUE, slots_.data(), &count) != CKR_OK) {
        return RES_ERR_SLOT_LIST;
    }
    if (count == 0 || slots_.empty()) {
        return RES_ERR_NO_TOKEN;
    }
    const CK_SLOT_ID slot = slots_.front();
    if (tokenInfo == TokenInfo::required) {
        CK_TOKEN_INFO info;
        // Listings report no code; a token that does not describe itself counts as none.
        if (api_.getTokenInfo(slot, &info) != CKR_OK) {
            return RES_ERR_NO_TOKEN;
        }
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (api_.openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
        CKR_OK) {
        return RES_ERR_OPEN_SESSION;
    }
    session_ = session;
    if (login_ == Login::user) {
        auto* pinBytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
        if (api_.login(session, CKU_USER, pinBytes, std::strlen(pin)) != CKR_OK) {
            return RES_ERR_LOGIN;
        }
    }
    return RES_OK;
}

}  // namespace keyporter
