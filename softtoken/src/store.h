// The persistent state of one partition: its slots, their tokens and the tokens' objects.
#pragma once

#include <p11-kit/pkcs11.h>

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "attributes.h"

namespace softtoken {

struct ObjectRecord {
    CK_OBJECT_HANDLE handle = 0;
    Attributes attributes;  // in the clear
    Attributes sealed;      // sealed under the token key
};

// A PIN kept as a salted PBKDF2 key: its check value, and the token key wrapped under it.
struct PinRecord {
    unsigned iterations = 0;
    Bytes salt;
    Bytes verifier;
    Bytes wrappedKey;
    bool IsSet() const { return !salt.empty(); }
};

struct TokenRecord {
    bool initialized = false;
    std::string label;
    PinRecord so;
    PinRecord user;
    unsigned userFailures = 0;
    std::vector<ObjectRecord> objects;  // in creation order
};

struct SlotRecord {
    bool present = true;
    TokenRecord token;
};

struct StoreData {
    CK_OBJECT_HANDLE nextHandle = 1;
    std::vector<SlotRecord> slots;
};

// A store nobody has written yet: one slot holding a present, uninitialised token.
StoreData FreshStore();

std::string Serialize(const StoreData& data);
// Throws Error(CKR_TOKEN_NOT_RECOGNIZED) for a later format, Error(CKR_DEVICE_ERROR) when damaged.
StoreData Parse(const std::string& text);

// The store directory of a partition, from SOFTTOKEN_DIR or the user's data folder.
std::filesystem::path StoreDirectory(const std::string& partition);

// The store on disk. Reads are cached and reloaded when the file was replaced; every change
// reloads under an exclusive lock, applies itself and replaces the file atomically.
class FileStore {
  public:
    explicit FileStore(std::filesystem::path directory);
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;
    ~FileStore();

    const std::filesystem::path& directory() const { return directory_; }
    // Reads the file again (throws Error on a refused store).
    void Reload();
    // The current state, reread when another process replaced the file.
    const StoreData& Current();
    void Modify(const std::function<void(StoreData&)>& change);

  private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    std::optional<Identity> FileIdentity() const;
    void ReadFile();
    void WriteFile(const StoreData& data);
    // The loaded file stays open so that its inode cannot be reused by a later file.
    void Hold(int fd);

    std::filesystem::path directory_;
    StoreData data_;
    std::optional<Identity> loaded_;
    bool valid_ = false;
    int heldFd_ = -1;
};

}  // namespace softtoken
