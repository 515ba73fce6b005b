// Slots are numbered from 0 in the order of the store. A partition nobody has written to yet
// has one slot holding a present token that is not initialised: C_GetSlotList(CK_TRUE) lists
// it, C_GetTokenInfo reports it without CKF_TOKEN_INITIALIZED, and C_InitToken (or
// softtoken-util init) makes it usable. A removed token keeps its objects and PINs; its slot is
// left out of C_GetSlotList(CK_TRUE) until the token is inserted again.
//
// Token objects get handles from the store, unique within the partition and increasing in
// creation order, so they stay the same across processes. Session objects get handles from
// kSessionObjectBase on and are listed after the token objects.
#include "module.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "gost_crypto.h"

namespace softtoken {

namespace {

constexpr unsigned kMaxWrongUserPins = 10;
constexpr unsigned kDefaultIterations = 200000;
constexpr CK_ULONG kMinPin = 4;
constexpr CK_ULONG kMaxPin = 64;
constexpr CK_ULONG kSignatureLength = 64;
constexpr CK_ULONG kDigestLength = 32;

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_MECHANISM_INFO info;
};
const MechanismEntry kMechanisms[] = {
    {CKM_GOSTR3410_KEY_PAIR_GEN, {256, 256, CKF_GENERATE_KEY_PAIR}},
    {CKM_GOSTR3410, {256, 256, CKF_SIGN | CKF_VERIFY}},
    {CKM_GOSTR3410_WITH_GOSTR3411, {256, 256, CKF_SIGN | CKF_VERIFY}},
    {CKM_GOSTR3411, {0, 0, CKF_DIGEST}},
};

void Pad(unsigned char* field, std::size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

Bytes ToBytes(const unsigned char* data, CK_ULONG length) {
    return length ? Bytes(data, data + length) : Bytes{};
}

std::string PinText(const unsigned char* pin, CK_ULONG length) {
    return length ? std::string(reinterpret_cast<const char*>(pin), length) : std::string{};
}

unsigned KdfIterations() {
    const char* text = std::getenv("SOFTTOKEN_KDF_ITERATIONS");
    if (text == nullptr || *text == '\0') {
        return kDefaultIterations;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 100000000UL || text[0] == '-') {
        std::fprintf(stderr, "softtoken: SOFTTOKEN_KDF_ITERATIONS=\"%s\" ignored\n", text);
        return kDefaultIterations;
    }
    return static_cast<unsigned>(value);
}

void CheckPinLength(const unsigned char* pin, CK_ULONG length) {
    if (pin == nullptr && length > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (length < kMinPin || length > kMaxPin) {
        throw Error(CKR_PIN_LEN_RANGE);
    }
}

PinRecord MakePin(const std::string& pin, const Bytes& tokenKey) {
    PinRecord record;
    record.iterations = KdfIterations();
    record.salt = crypto::RandomBytes(16);
    Bytes key = crypto::DeriveKey(pin, record.salt, record.iterations);
    record.verifier = crypto::Streebog256(key.data(), key.size());
    record.wrappedKey = crypto::Seal(key, tokenKey);
    return record;
}

bool SameBytes(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

// The token key when the PIN is right; nullopt when it is wrong.
std::optional<Bytes> UnwrapWithPin(const PinRecord& record, const std::string& pin) {
    if (!record.IsSet()) {
        return std::nullopt;
    }
    Bytes key = crypto::DeriveKey(pin, record.salt, record.iterations);
    if (!SameBytes(crypto::Streebog256(key.data(), key.size()), record.verifier)) {
        return std::nullopt;
    }
    std::optional<Bytes> tokenKey = crypto::Open(key, record.wrappedKey);
    if (!tokenKey) {
        throw Error(CKR_DEVICE_ERROR, "the wrapped token key is damaged");
    }
    return tokenKey;
}

TokenRecord& TokenIn(StoreData& data, CK_SLOT_ID slot) {
    if (slot >= data.slots.size() || !data.slots[slot].present) {
        throw Error(CKR_DEVICE_REMOVED);
    }
    return data.slots[slot].token;
}

Bytes Attribute(const ObjectRecord& object, CK_ATTRIBUTE_TYPE type) {
    auto it = object.attributes.find(type);
    return it == object.attributes.end() ? Bytes{} : it->second;
}

bool IsGostKey(const ObjectRecord& object, CK_OBJECT_CLASS objectClass) {
    return UlongOf(object.attributes, CKA_CLASS) == objectClass &&
           UlongOf(object.attributes, CKA_KEY_TYPE) == CKK_GOSTR3410;
}

}  // namespace

Module::Module(std::string partition) : partition_(std::move(partition)) {}

void Module::RequireInitialized() const {
    if (!initialized_) {
        throw Error(CKR_CRYPTOKI_NOT_INITIALIZED);
    }
}

const StoreData& Module::Data() {
    return store_->Current();
}

const SlotRecord& Module::SlotOf(CK_SLOT_ID slot) {
    const StoreData& data = Data();
    if (slot >= data.slots.size()) {
        throw Error(CKR_SLOT_ID_INVALID);
    }
    return data.slots[slot];
}

Module::Session& Module::SessionOf(CK_SESSION_HANDLE handle) {
    RequireInitialized();
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        throw Error(CKR_SESSION_HANDLE_INVALID);
    }
    if (!SlotOf(it->second.slot).present) {
        throw Error(CKR_DEVICE_REMOVED);
    }
    return it->second;
}

bool Module::UserLoggedIn(CK_SLOT_ID slot) const {
    auto it = logins_.find(slot);
    return it != logins_.end() && it->second.user == CKU_USER;
}

const Bytes* Module::TokenKey(CK_SLOT_ID slot) const {
    auto it = logins_.find(slot);
    return it == logins_.end() ? nullptr : &it->second.tokenKey;
}

std::size_t Module::SessionCount(CK_SLOT_ID slot, bool readWriteOnly) const {
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
            return entry.second.slot == slot && (!readWriteOnly || entry.second.readWrite);
        }));
}

void Module::Initialize(CK_VOID_PTR args) {
    if (initialized_) {
        throw Error(CKR_CRYPTOKI_ALREADY_INITIALIZED);
    }
    if (args != nullptr) {
        const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
        if (a->pReserved != nullptr) {
            throw Error(CKR_ARGUMENTS_BAD);
        }
        int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) +
                    (a->LockMutex != nullptr) + (a->UnlockMutex != nullptr);
        if (given != 0 && given != 4) {
            throw Error(CKR_ARGUMENTS_BAD);
        }
        // Only the system's own locking is used.
        if (given == 4 && !(a->flags & CKF_OS_LOCKING_OK)) {
            throw Error(CKR_CANT_LOCK);
        }
    }
    auto store = std::make_unique<FileStore>(StoreDirectory(partition_));
    store->Reload();
    store_ = std::move(store);
    initialized_ = true;
}

void Module::Finalize(CK_VOID_PTR reserved) {
    if (reserved != nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    RequireInitialized();
    sessions_.clear();
    logins_.clear();
    sessionObjects_.clear();
    store_.reset();
    initialized_ = false;
}

void Module::GetInfo(CK_INFO_PTR info) {
    RequireInitialized();
    if (info == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    Pad(info->manufacturerID, sizeof info->manufacturerID, "CertDesk");
    Pad(info->libraryDescription, sizeof info->libraryDescription, "CertDesk software token");
    info->libraryVersion = {0, 1};
}

void Module::GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    RequireInitialized();
    if (count == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    std::vector<CK_SLOT_ID> ids;
    const StoreData& data = Data();
    for (CK_SLOT_ID i = 0; i < data.slots.size(); ++i) {
        if (!tokenPresent || data.slots[i].present) {
            ids.push_back(i);
        }
    }
    if (list == nullptr) {
        *count = ids.size();
        return;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        throw Error(CKR_BUFFER_TOO_SMALL);
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
}

void Module::GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    RequireInitialized();
    if (info == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    const SlotRecord& record = SlotOf(slot);
    std::memset(info, 0, sizeof *info);
    Pad(info->slotDescription, sizeof info->slotDescription,
        "CertDesk software token slot " + std::to_string(slot));
    Pad(info->manufacturerID, sizeof info->manufacturerID, "CertDesk");
    info->flags = CKF_REMOVABLE_DEVICE | (record.present ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = {0, 1};
    info->firmwareVersion = {0, 1};
}

void Module::GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    RequireInitialized();
    if (info == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    const SlotRecord& record = SlotOf(slot);
    if (!record.present) {
        throw Error(CKR_TOKEN_NOT_PRESENT);
    }
    const TokenRecord& token = record.token;
    std::memset(info, 0, sizeof *info);
    Pad(info->label, sizeof info->label, token.label);
    Pad(info->manufacturerID, sizeof info->manufacturerID, "CertDesk");
    Pad(info->model, sizeof info->model, "softtoken");
    Pad(info->serialNumber, sizeof info->serialNumber, partition_ + "-" + std::to_string(slot));
    CK_FLAGS flags = CKF_RNG | CKF_LOGIN_REQUIRED;
    if (token.initialized) {
        flags |= CKF_TOKEN_INITIALIZED;
    }
    if (token.user.IsSet()) {
        flags |= CKF_USER_PIN_INITIALIZED;
    }
    if (token.userFailures >= kMaxWrongUserPins) {
        flags |= CKF_USER_PIN_LOCKED;
    } else if (token.userFailures == kMaxWrongUserPins - 1) {
        flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
    } else if (token.userFailures > 0) {
        flags |= CKF_USER_PIN_COUNT_LOW;
    }
    info->flags = flags;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = SessionCount(slot);
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = SessionCount(slot, true);
    info->ulMaxPinLen = kMaxPin;
    info->ulMinPinLen = kMinPin;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = {0, 1};
    info->firmwareVersion = {0, 1};
    Pad(info->utcTime, sizeof info->utcTime, "");
}

void Module::GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    RequireInitialized();
    if (count == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (!SlotOf(slot).present) {
        throw Error(CKR_TOKEN_NOT_PRESENT);
    }
    constexpr CK_ULONG total = std::size(kMechanisms);
    if (list == nullptr) {
        *count = total;
        return;
    }
    if (*count < total) {
        *count = total;
        throw Error(CKR_BUFFER_TOO_SMALL);
    }
    for (CK_ULONG i = 0; i < total; ++i) {
        list[i] = kMechanisms[i].type;
    }
    *count = total;
}

void Module::GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    RequireInitialized();
    if (info == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (!SlotOf(slot).present) {
        throw Error(CKR_TOKEN_NOT_PRESENT);
    }
    for (const MechanismEntry& entry : kMechanisms) {
        if (entry.type == type) {
            *info = entry.info;
            return;
        }
    }
    throw Error(CKR_MECHANISM_INVALID);
}

void Module::InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength,
                       CK_UTF8CHAR_PTR label) {
    RequireInitialized();
    if (label == nullptr || pin == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (!SlotOf(slot).present) {
        throw Error(CKR_TOKEN_NOT_PRESENT);
    }
    CheckPinLength(pin, pinLength);
    if (SessionCount(slot) > 0) {
        throw Error(CKR_SESSION_EXISTS);
    }
    std::string text(reinterpret_cast<const char*>(label), 32);
    text.erase(text.find_last_not_of(' ') + 1);
    std::string soPin = PinText(pin, pinLength);
    // The SO PIN of a token in use is checked before anything is derived for the new one.
    const TokenRecord& current = SlotOf(slot).token;
    if (current.initialized && !UnwrapWithPin(current.so, soPin)) {
        throw Error(CKR_PIN_INCORRECT);
    }
    Bytes tokenKey = crypto::RandomBytes(32);
    PinRecord so = MakePin(soPin, tokenKey);
    store_->Modify([&](StoreData& data) {
        TokenRecord& token = TokenIn(data, slot);
        token = TokenRecord{};
        token.initialized = true;
        token.label = text;
        token.so = so;
    });
    logins_.erase(slot);
}

void Module::InitPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    Session& session = SessionOf(handle);
    auto login = logins_.find(session.slot);
    if (login == logins_.end() || login->second.user != CKU_SO) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    if (!session.readWrite) {
        throw Error(CKR_SESSION_READ_ONLY);
    }
    CheckPinLength(pin, pinLength);
    PinRecord user = MakePin(PinText(pin, pinLength), login->second.tokenKey);
    store_->Modify([&](StoreData& data) {
        TokenRecord& token = TokenIn(data, session.slot);
        token.user = user;
        token.userFailures = 0;
    });
}

void Module::RecordPinFailure(CK_SLOT_ID slot) {
    store_->Modify([&](StoreData& data) { ++TokenIn(data, slot).userFailures; });
}

void Module::SetPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                    CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
    Session& session = SessionOf(handle);
    if (!session.readWrite) {
        throw Error(CKR_SESSION_READ_ONLY);
    }
    if (oldPin == nullptr && oldLength > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    CheckPinLength(newPin, newLength);
    auto login = logins_.find(session.slot);
    bool so = login != logins_.end() && login->second.user == CKU_SO;
    const TokenRecord& token = SlotOf(session.slot).token;
    if (!so && token.userFailures >= kMaxWrongUserPins) {
        throw Error(CKR_PIN_LOCKED);
    }
    if (!so && !token.user.IsSet()) {
        throw Error(CKR_USER_PIN_NOT_INITIALIZED);
    }
    std::optional<Bytes> tokenKey =
        UnwrapWithPin(so ? token.so : token.user, PinText(oldPin, oldLength));
    if (!tokenKey) {
        if (!so) {
            RecordPinFailure(session.slot);
        }
        throw Error(CKR_PIN_INCORRECT);
    }
    PinRecord fresh = MakePin(PinText(newPin, newLength), *tokenKey);
    store_->Modify([&](StoreData& data) {
        TokenRecord& target = TokenIn(data, session.slot);
        if (so) {
            target.so = fresh;
        } else {
            target.user = fresh;
            target.userFailures = 0;
        }
    });
}

void Module::OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session) {
    RequireInitialized();
    if (session == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    const SlotRecord& record = SlotOf(slot);
    if (!(flags & CKF_SERIAL_SESSION)) {
        throw Error(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    }
    if (!record.present) {
        throw Error(CKR_TOKEN_NOT_PRESENT);
    }
    if (!record.token.initialized) {
        throw Error(CKR_TOKEN_NOT_RECOGNIZED);
    }
    bool readWrite = (flags & CKF_RW_SESSION) != 0;
    auto login = logins_.find(slot);
    if (!readWrite && login != logins_.end() && login->second.user == CKU_SO) {
        throw Error(CKR_SESSION_READ_WRITE_SO_EXISTS);
    }
    CK_SESSION_HANDLE handle = nextSession_++;
    Session& created = sessions_[handle];
    created.handle = handle;
    created.slot = slot;
    created.readWrite = readWrite;
    *session = handle;
}

void Module::CloseSession(CK_SESSION_HANDLE handle) {
    RequireInitialized();
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        throw Error(CKR_SESSION_HANDLE_INVALID);
    }
    CK_SLOT_ID slot = it->second.slot;
    sessions_.erase(it);
    std::erase_if(sessionObjects_, [&](const SessionObject& o) { return o.owner == handle; });
    if (SessionCount(slot) == 0) {
        logins_.erase(slot);
    }
}

void Module::CloseAllSessions(CK_SLOT_ID slot) {
    RequireInitialized();
    SlotOf(slot);
    std::erase_if(sessions_, [&](const auto& entry) { return entry.second.slot == slot; });
    std::erase_if(sessionObjects_, [&](const SessionObject& o) { return o.slot == slot; });
    logins_.erase(slot);
}

void Module::GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    Session& session = SessionOf(handle);
    if (info == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    std::memset(info, 0, sizeof *info);
    info->slotID = session.slot;
    info->flags = CKF_SERIAL_SESSION | (session.readWrite ? CKF_RW_SESSION : 0);
    auto login = logins_.find(session.slot);
    if (login == logins_.end()) {
        info->state = session.readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    } else if (login->second.user == CKU_SO) {
        info->state = CKS_RW_SO_FUNCTIONS;
    } else {
        info->state = session.readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    }
}

void Module::Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                   CK_ULONG pinLength) {
    Session& session = SessionOf(handle);
    if (user != CKU_USER && user != CKU_SO) {
        throw Error(CKR_USER_TYPE_INVALID);
    }
    if (pin == nullptr && pinLength > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    auto login = logins_.find(session.slot);
    if (login != logins_.end()) {
        throw Error(login->second.user == user ? CKR_USER_ALREADY_LOGGED_IN
                                               : CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    }
    if (user == CKU_SO && SessionCount(session.slot) != SessionCount(session.slot, true)) {
        throw Error(CKR_SESSION_READ_ONLY_EXISTS);
    }
    const TokenRecord& token = SlotOf(session.slot).token;
    const PinRecord& record = user == CKU_SO ? token.so : token.user;
    if (user == CKU_USER) {
        if (!record.IsSet()) {
            throw Error(CKR_USER_PIN_NOT_INITIALIZED);
        }
        if (token.userFailures >= kMaxWrongUserPins) {
            throw Error(CKR_PIN_LOCKED);
        }
    }
    bool hadFailures = token.userFailures > 0;
    std::optional<Bytes> tokenKey = UnwrapWithPin(record, PinText(pin, pinLength));
    if (!tokenKey) {
        if (user == CKU_USER) {
            RecordPinFailure(session.slot);
        }
        throw Error(CKR_PIN_INCORRECT);
    }
    if (user == CKU_USER && hadFailures) {
        store_->Modify([&](StoreData& data) { TokenIn(data, session.slot).userFailures = 0; });
    }
    logins_[session.slot] = LoginState{user, std::move(*tokenKey)};
}

void Module::Logout(CK_SESSION_HANDLE handle) {
    Session& session = SessionOf(handle);
    if (logins_.erase(session.slot) == 0) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    for (auto& [id, other] : sessions_) {
        if (other.slot == session.slot) {
            other.operation = Operation::None;
        }
    }
}

ObjectRecord Module::Seal(const Session& session, Attributes attributes) {
    ObjectRecord record;
    if (IsSealed(attributes, CKA_VALUE)) {
        const Bytes* key = TokenKey(session.slot);
        if (key == nullptr || !UserLoggedIn(session.slot)) {
            throw Error(CKR_USER_NOT_LOGGED_IN);
        }
        record.sealed[CKA_VALUE] = crypto::Seal(*key, attributes[CKA_VALUE]);
        attributes.erase(CKA_VALUE);
    }
    record.attributes = std::move(attributes);
    return record;
}

std::vector<CK_OBJECT_HANDLE> Module::Keep(const Session& session,
                                           std::vector<ObjectRecord> records) {
    std::vector<CK_OBJECT_HANDLE> handles(records.size());
    bool anyToken = false;
    for (const ObjectRecord& record : records) {
        bool token = BoolOf(record.attributes, CKA_TOKEN);
        if (token && !session.readWrite) {
            throw Error(CKR_SESSION_READ_ONLY);
        }
        if (BoolOf(record.attributes, CKA_PRIVATE) && !UserLoggedIn(session.slot)) {
            throw Error(CKR_USER_NOT_LOGGED_IN);
        }
        anyToken = anyToken || token;
    }
    if (anyToken) {
        store_->Modify([&](StoreData& data) {
            TokenRecord& token = TokenIn(data, session.slot);
            if (!token.initialized) {
                throw Error(CKR_DEVICE_REMOVED);
            }
            for (std::size_t i = 0; i < records.size(); ++i) {
                if (BoolOf(records[i].attributes, CKA_TOKEN)) {
                    records[i].handle = handles[i] = data.nextHandle++;
                    token.objects.push_back(records[i]);
                }
            }
        });
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!BoolOf(records[i].attributes, CKA_TOKEN)) {
            records[i].handle = handles[i] = nextSessionObject_++;
            sessionObjects_.push_back(SessionObject{session.slot, session.handle, records[i]});
        }
    }
    return handles;
}

std::vector<ObjectRecord> Module::VisibleObjects(const Session& session) {
    bool user = UserLoggedIn(session.slot);
    std::vector<ObjectRecord> visible;
    for (const ObjectRecord& object : SlotOf(session.slot).token.objects) {
        if (user || !BoolOf(object.attributes, CKA_PRIVATE)) {
            visible.push_back(object);
        }
    }
    for (const SessionObject& object : sessionObjects_) {
        if (object.slot == session.slot &&
            (user || !BoolOf(object.record.attributes, CKA_PRIVATE))) {
            visible.push_back(object.record);
        }
    }
    return visible;
}

ObjectRecord Module::FindObject(const Session& session, CK_OBJECT_HANDLE handle) {
    bool user = UserLoggedIn(session.slot);
    auto visible = [&](const ObjectRecord& o) {
        return o.handle == handle && (user || !BoolOf(o.attributes, CKA_PRIVATE));
    };
    if (handle >= kSessionObjectBase) {
        for (const SessionObject& object : sessionObjects_) {
            if (object.slot == session.slot && visible(object.record)) {
                return object.record;
            }
        }
    } else {
        for (const ObjectRecord& object : SlotOf(session.slot).token.objects) {
            if (visible(object)) {
                return object;
            }
        }
    }
    throw Error(CKR_OBJECT_HANDLE_INVALID);
}

Bytes Module::PrivateValue(const Session& session, const ObjectRecord& object) {
    auto it = object.sealed.find(CKA_VALUE);
    if (it == object.sealed.end()) {
        return Attribute(object, CKA_VALUE);
    }
    const Bytes* key = TokenKey(session.slot);
    if (key == nullptr || !UserLoggedIn(session.slot)) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    std::optional<Bytes> value = crypto::Open(*key, it->second);
    if (!value) {
        throw Error(CKR_DEVICE_ERROR, "a sealed value does not open with the token key");
    }
    return *value;
}

std::optional<Bytes> Module::ReadAttribute(const Session& session, const ObjectRecord& object,
                                           CK_ATTRIBUTE_TYPE type) {
    if (IsSensitive(object.attributes, type)) {
        throw Error(CKR_ATTRIBUTE_SENSITIVE);
    }
    if (object.sealed.count(type)) {
        if (!UserLoggedIn(session.slot)) {
            throw Error(CKR_ATTRIBUTE_SENSITIVE);
        }
        return PrivateValue(session, object);
    }
    auto it = object.attributes.find(type);
    if (it == object.attributes.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Module::CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                          CK_OBJECT_HANDLE_PTR object) {
    Session& session = SessionOf(handle);
    if (object == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    Attributes requested = ReadTemplate(attributes, count);
    std::optional<CK_ULONG> objectClass = UlongOf(requested, CKA_CLASS);
    if (!objectClass) {
        throw Error(CKR_TEMPLATE_INCOMPLETE);
    }
    CK_KEY_TYPE keyType = UlongOf(requested, CKA_KEY_TYPE).value_or(CKK_GOSTR3410);
    Attributes result = DefaultsFor(*objectClass, keyType, Origin::Created);
    ApplyTemplate(result, requested);
    if (*objectClass == CKO_CERTIFICATE) {
        if (UlongOf(result, CKA_CERTIFICATE_TYPE) != CKC_X_509) {
            throw Error(CKR_ATTRIBUTE_VALUE_INVALID);
        }
        if (!requested.count(CKA_VALUE)) {
            throw Error(CKR_TEMPLATE_INCOMPLETE);
        }
        // A value that does not decode is still kept, without the derived attributes.
        if (auto fields = crypto::DecodeCertificate(result[CKA_VALUE])) {
            for (auto [type, derived] :
                 {std::pair{CKA_SUBJECT, &fields->subject}, std::pair{CKA_ISSUER, &fields->issuer},
                  std::pair{CKA_SERIAL_NUMBER, &fields->serialNumber}}) {
                if (!requested.count(type)) {
                    result[type] = *derived;
                }
            }
        }
    } else if (*objectClass == CKO_PRIVATE_KEY) {
        if (result[CKA_VALUE].size() != 32 ||
            !crypto::IsSupportedParamSet(result[CKA_GOSTR3410_PARAMS])) {
            throw Error(CKR_ATTRIBUTE_VALUE_INVALID);
        }
    }
    *object = Keep(session, {Seal(session, std::move(result))}).front();
}

void Module::DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object) {
    Session& session = SessionOf(handle);
    ObjectRecord record = FindObject(session, object);
    if (object >= kSessionObjectBase) {
        std::erase_if(sessionObjects_,
                      [&](const SessionObject& o) { return o.record.handle == object; });
        return;
    }
    if (!session.readWrite) {
        throw Error(CKR_SESSION_READ_ONLY);
    }
    store_->Modify([&](StoreData& data) {
        auto& objects = TokenIn(data, session.slot).objects;
        if (std::erase_if(objects, [&](const ObjectRecord& o) { return o.handle == object; }) ==
            0) {
            throw Error(CKR_OBJECT_HANDLE_INVALID);
        }
    });
}

CK_RV Module::GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    Session& session = SessionOf(handle);
    if (attributes == nullptr && count > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    ObjectRecord record = FindObject(session, object);
    // Every attribute is answered; the first failure is the one reported.
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        std::optional<Bytes> value;
        try {
            value = ReadAttribute(session, record, a.type);
        } catch (const Error& e) {
            if (e.rv() != CKR_ATTRIBUTE_SENSITIVE) {
                throw;
            }
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = rv == CKR_OK ? CKR_ATTRIBUTE_SENSITIVE : rv;
            continue;
        }
        if (!value) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = rv == CKR_OK ? CKR_ATTRIBUTE_TYPE_INVALID : rv;
        } else if (a.pValue == nullptr) {
            a.ulValueLen = value->size();
        } else if (a.ulValueLen >= value->size()) {
            std::copy(value->begin(), value->end(), static_cast<unsigned char*>(a.pValue));
            a.ulValueLen = value->size();
        } else {
            a.ulValueLen = value->size();
            rv = rv == CKR_OK ? CKR_BUFFER_TOO_SMALL : rv;
        }
    }
    return rv;
}

void Module::SetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                               CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    Session& session = SessionOf(handle);
    Attributes requested = ReadTemplate(attributes, count);
    ObjectRecord record = FindObject(session, object);
    if (!BoolOf(record.attributes, CKA_MODIFIABLE, true)) {
        throw Error(CKR_ACTION_PROHIBITED);
    }
    for (const auto& [type, value] : requested) {
        if (!record.attributes.count(type)) {
            throw Error(CKR_ATTRIBUTE_TYPE_INVALID);
        }
        if (type != CKA_LABEL && type != CKA_ID) {
            throw Error(CKR_ATTRIBUTE_READ_ONLY);
        }
    }
    auto apply = [&](ObjectRecord& target) {
        for (const auto& [type, value] : requested) {
            target.attributes[type] = value;
        }
    };
    if (object >= kSessionObjectBase) {
        for (SessionObject& o : sessionObjects_) {
            if (o.record.handle == object) {
                apply(o.record);
            }
        }
        return;
    }
    if (!session.readWrite) {
        throw Error(CKR_SESSION_READ_ONLY);
    }
    store_->Modify([&](StoreData& data) {
        for (ObjectRecord& o : TokenIn(data, session.slot).objects) {
            if (o.handle == object) {
                apply(o);
                return;
            }
        }
        throw Error(CKR_OBJECT_HANDLE_INVALID);
    });
}

void Module::FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes,
                             CK_ULONG count) {
    Session& session = SessionOf(handle);
    if (session.operation != Operation::None) {
        throw Error(CKR_OPERATION_ACTIVE);
    }
    Attributes requested = ReadTemplate(attributes, count);
    std::vector<CK_OBJECT_HANDLE> found;
    for (const ObjectRecord& object : VisibleObjects(session)) {
        bool matches = true;
        for (const auto& [type, wanted] : requested) {
            try {
                std::optional<Bytes> value = ReadAttribute(session, object, type);
                matches = value && *value == wanted;
            } catch (const Error& e) {
                if (e.rv() != CKR_ATTRIBUTE_SENSITIVE) {
                    throw;
                }
                matches = false;
            }
            if (!matches) {
                break;
            }
        }
        if (matches) {
            found.push_back(object.handle);
        }
    }
    session.operation = Operation::Find;
    session.found = std::move(found);
    session.foundNext = 0;
}

void Module::FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum,
                         CK_ULONG_PTR count) {
    Session& session = SessionIn(handle, Operation::Find);
    if (count == nullptr || (objects == nullptr && maximum > 0)) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    std::size_t n = std::min<std::size_t>(maximum, session.found.size() - session.foundNext);
    std::copy_n(session.found.begin() + static_cast<std::ptrdiff_t>(session.foundNext), n, objects);
    session.foundNext += n;
    *count = n;
}

void Module::FindObjectsFinal(CK_SESSION_HANDLE handle) {
    Session& session = SessionIn(handle, Operation::Find);
    session.operation = Operation::None;
    session.found.clear();
}

void Module::GenerateKeyPair(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                             CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                             CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                             CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    Session& session = SessionOf(handle);
    if (mechanism == nullptr || publicKey == nullptr || privateKey == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (mechanism->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN) {
        throw Error(CKR_MECHANISM_INVALID);
    }
    if (!UserLoggedIn(session.slot)) {
        throw Error(CKR_USER_NOT_LOGGED_IN);
    }
    Attributes publicRequested = ReadTemplate(publicTemplate, publicCount);
    Attributes privateRequested = ReadTemplate(privateTemplate, privateCount);
    if (publicRequested.count(CKA_VALUE) || privateRequested.count(CKA_VALUE)) {
        throw Error(CKR_TEMPLATE_INCONSISTENT);
    }
    auto publicParams = publicRequested.find(CKA_GOSTR3410_PARAMS);
    auto privateParams = privateRequested.find(CKA_GOSTR3410_PARAMS);
    if (publicParams == publicRequested.end() && privateParams == privateRequested.end()) {
        throw Error(CKR_TEMPLATE_INCOMPLETE);
    }
    Bytes params =
        publicParams != publicRequested.end() ? publicParams->second : privateParams->second;
    if (privateParams != privateRequested.end() && privateParams->second != params) {
        throw Error(CKR_TEMPLATE_INCONSISTENT);
    }
    if (!crypto::IsSupportedParamSet(params)) {
        throw Error(CKR_DOMAIN_PARAMS_INVALID);
    }
    Attributes publicAttributes = DefaultsFor(CKO_PUBLIC_KEY, CKK_GOSTR3410, Origin::Generated);
    Attributes privateAttributes = DefaultsFor(CKO_PRIVATE_KEY, CKK_GOSTR3410, Origin::Generated);
    publicAttributes[CKA_GOSTR3410_PARAMS] = params;
    privateAttributes[CKA_GOSTR3410_PARAMS] = params;
    ApplyTemplate(publicAttributes, publicRequested);
    ApplyTemplate(privateAttributes, privateRequested);
    crypto::KeyPair pair = crypto::GenerateKeyPair(params);
    publicAttributes[CKA_VALUE] = pair.publicValue;
    privateAttributes[CKA_VALUE] = pair.privateKey;
    std::vector<CK_OBJECT_HANDLE> handles = Keep(
        session,
        {Seal(session, std::move(publicAttributes)), Seal(session, std::move(privateAttributes))});
    *publicKey = handles[0];
    *privateKey = handles[1];
}

void Module::BeginKeyOperation(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                               CK_OBJECT_HANDLE key, Operation operation) {
    Session& session = SessionOf(handle);
    if (session.operation != Operation::None) {
        throw Error(CKR_OPERATION_ACTIVE);
    }
    if (mechanism == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (mechanism->mechanism != CKM_GOSTR3410 &&
        mechanism->mechanism != CKM_GOSTR3410_WITH_GOSTR3411) {
        throw Error(CKR_MECHANISM_INVALID);
    }
    const bool signing = operation == Operation::Sign;
    ObjectRecord record = KeyObject(session, key);
    if (!IsGostKey(record, signing ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY)) {
        throw Error(CKR_KEY_TYPE_INCONSISTENT);
    }
    if (!BoolOf(record.attributes, signing ? CKA_SIGN : CKA_VERIFY)) {
        throw Error(CKR_KEY_FUNCTION_NOT_PERMITTED);
    }
    session.operation = operation;
    session.mechanism = mechanism->mechanism;
    session.key = key;
    session.buffered.clear();
}

void Module::SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    BeginKeyOperation(handle, mechanism, key, Operation::Sign);
}

ObjectRecord Module::KeyObject(const Session& session, CK_OBJECT_HANDLE key) {
    try {
        return FindObject(session, key);
    } catch (const Error& e) {
        throw Error(e.rv() == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : e.rv());
    }
}

Bytes Module::OperationDigest(const Session& session, const Bytes& data) {
    if (session.mechanism == CKM_GOSTR3410_WITH_GOSTR3411) {
        return crypto::Streebog256(data.data(), data.size());
    }
    if (data.size() != kDigestLength) {
        throw Error(CKR_DATA_LEN_RANGE);
    }
    return data;
}

Module::Session& Module::SessionIn(CK_SESSION_HANDLE handle, Operation operation) {
    Session& session = SessionOf(handle);
    if (session.operation != operation) {
        throw Error(CKR_OPERATION_NOT_INITIALIZED);
    }
    return session;
}

void Module::ContinueOperation(CK_SESSION_HANDLE handle, Operation operation, CK_BYTE_PTR part,
                               CK_ULONG length) {
    Session& session = SessionIn(handle, operation);
    if (part == nullptr && length > 0) {
        session.operation = Operation::None;
        throw Error(CKR_ARGUMENTS_BAD);
    }
    session.buffered.insert(session.buffered.end(), part, part + length);
}

void Module::FinishSign(Session& session, const Bytes& data, CK_BYTE_PTR signature,
                        CK_ULONG_PTR signatureLength) {
    if (signatureLength == nullptr) {
        session.operation = Operation::None;
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (signature == nullptr) {
        *signatureLength = kSignatureLength;
        return;
    }
    if (*signatureLength < kSignatureLength) {
        *signatureLength = kSignatureLength;
        throw Error(CKR_BUFFER_TOO_SMALL);
    }
    session.operation = Operation::None;
    Bytes digest = OperationDigest(session, data);
    ObjectRecord key = KeyObject(session, session.key);
    Bytes result = crypto::SignDigest(Attribute(key, CKA_GOSTR3410_PARAMS),
                                      PrivateValue(session, key), digest);
    std::copy(result.begin(), result.end(), signature);
    *signatureLength = result.size();
}

void Module::Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length,
                  CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
    Session& session = SessionIn(handle, Operation::Sign);
    if (data == nullptr && length > 0) {
        session.operation = Operation::None;
        throw Error(CKR_ARGUMENTS_BAD);
    }
    FinishSign(session, ToBytes(data, length), signature, signatureLength);
}

void Module::SignUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG length) {
    ContinueOperation(handle, Operation::Sign, part, length);
}

void Module::SignFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature,
                       CK_ULONG_PTR signatureLength) {
    Session& session = SessionIn(handle, Operation::Sign);
    FinishSign(session, session.buffered, signature, signatureLength);
}

void Module::VerifyInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                        CK_OBJECT_HANDLE key) {
    BeginKeyOperation(handle, mechanism, key, Operation::Verify);
}

void Module::Verify(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length,
                    CK_BYTE_PTR signature, CK_ULONG signatureLength) {
    Session& session = SessionIn(handle, Operation::Verify);
    session.operation = Operation::None;
    if (data == nullptr && length > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    FinishVerify(session, ToBytes(data, length), signature, signatureLength);
}

void Module::VerifyUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG length) {
    ContinueOperation(handle, Operation::Verify, part, length);
}

void Module::VerifyFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature,
                         CK_ULONG signatureLength) {
    Session& session = SessionIn(handle, Operation::Verify);
    session.operation = Operation::None;
    FinishVerify(session, session.buffered, signature, signatureLength);
}

void Module::FinishVerify(Session& session, const Bytes& data, CK_BYTE_PTR signature,
                          CK_ULONG signatureLength) {
    if (signature == nullptr && signatureLength > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    Bytes digest = OperationDigest(session, data);
    if (signatureLength != kSignatureLength) {
        throw Error(CKR_SIGNATURE_LEN_RANGE);
    }
    ObjectRecord key = KeyObject(session, session.key);
    if (!crypto::VerifyDigest(Attribute(key, CKA_GOSTR3410_PARAMS), Attribute(key, CKA_VALUE),
                              digest, ToBytes(signature, signatureLength))) {
        throw Error(CKR_SIGNATURE_INVALID);
    }
}

void Module::DigestInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism) {
    Session& session = SessionOf(handle);
    if (session.operation != Operation::None) {
        throw Error(CKR_OPERATION_ACTIVE);
    }
    if (mechanism == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (mechanism->mechanism != CKM_GOSTR3411) {
        throw Error(CKR_MECHANISM_INVALID);
    }
    session.operation = Operation::Digest;
}

void Module::Digest(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR digest,
                    CK_ULONG_PTR digestLength) {
    Session& session = SessionIn(handle, Operation::Digest);
    if (digestLength == nullptr || (data == nullptr && length > 0)) {
        session.operation = Operation::None;
        throw Error(CKR_ARGUMENTS_BAD);
    }
    if (digest == nullptr) {
        *digestLength = kDigestLength;
        return;
    }
    if (*digestLength < kDigestLength) {
        *digestLength = kDigestLength;
        throw Error(CKR_BUFFER_TOO_SMALL);
    }
    session.operation = Operation::None;
    Bytes result = crypto::Streebog256(data, length);
    std::copy(result.begin(), result.end(), digest);
    *digestLength = result.size();
}

void Module::GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length) {
    SessionOf(handle);
    if (data == nullptr && length > 0) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    Bytes random = crypto::RandomBytes(length);
    std::copy(random.begin(), random.end(), data);
}

CK_SLOT_ID Module::AddSlot() {
    RequireInitialized();
    CK_SLOT_ID slot = 0;
    store_->Modify([&](StoreData& data) {
        slot = data.slots.size();
        data.slots.emplace_back();
    });
    return slot;
}

void Module::SetTokenPresent(CK_SLOT_ID slot, bool present) {
    RequireInitialized();
    SlotOf(slot);
    store_->Modify([&](StoreData& data) {
        if (slot >= data.slots.size()) {
            throw Error(CKR_SLOT_ID_INVALID);
        }
        data.slots[slot].present = present;
    });
    if (!present) {
        CloseAllSessions(slot);
    }
}

}  // namespace softtoken
