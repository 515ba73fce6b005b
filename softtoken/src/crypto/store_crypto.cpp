#include <openssl/err.h>
#include <openssl/rand.h>

#include <limits>

#include "openssl_util.h"

namespace softtoken::crypto {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;

void RequireKey(const Bytes& key) {
    if (key.size() != kKeySize) {
        throw CryptoError(CKR_ARGUMENTS_BAD, "an AES-256 key has 32 bytes");
    }
}

int Length(std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw CryptoError(CKR_DATA_LEN_RANGE, "the value is too long");
    }
    return static_cast<int>(size);
}

}  // namespace

Bytes RandomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), Length(count)) != 1) {
        detail::Fail("random generator");
    }
    return out;
}

Bytes DeriveKey(const std::string& pin, const Bytes& salt, unsigned iterations) {
    if (iterations == 0 || iterations > static_cast<unsigned>(std::numeric_limits<int>::max())) {
        throw CryptoError(CKR_ARGUMENTS_BAD, "the iteration count is out of range");
    }
    Bytes out(kKeySize);
    if (PKCS5_PBKDF2_HMAC(pin.data(), Length(pin.size()), salt.data(), Length(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), Length(out.size()),
                          out.data()) != 1) {
        detail::Fail("PBKDF2");
    }
    return out;
}

Bytes Seal(const Bytes& key, const Bytes& plain) {
    RequireKey(key);
    Bytes out = RandomBytes(kNonceSize);
    out.resize(kNonceSize + plain.size() + kTagSize);
    detail::CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    int final = 0;
    if (!ctx ||
        !EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), out.data()) ||
        !EVP_EncryptUpdate(ctx.get(), out.data() + kNonceSize, &written, plain.data(),
                           Length(plain.size())) ||
        !EVP_EncryptFinal_ex(ctx.get(), out.data() + kNonceSize + written, &final) ||
        static_cast<std::size_t>(written + final) != plain.size() ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                             out.data() + kNonceSize + plain.size())) {
        detail::Fail("AES-256-GCM encryption");
    }
    return out;
}

std::optional<Bytes> Open(const Bytes& key, const Bytes& sealed) {
    RequireKey(key);
    if (sealed.size() < kNonceSize + kTagSize) {
        return std::nullopt;
    }
    std::size_t plainSize = sealed.size() - kNonceSize - kTagSize;
    Bytes plain(plainSize);
    Bytes tag(sealed.end() - kTagSize, sealed.end());
    detail::CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    int final = 0;
    if (!ctx ||
        !EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) ||
        !EVP_DecryptUpdate(ctx.get(), plain.data(), &written, sealed.data() + kNonceSize,
                           Length(plainSize)) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data())) {
        detail::Fail("AES-256-GCM decryption");
    }
    if (EVP_DecryptFinal_ex(ctx.get(), plain.data() + written, &final) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return plain;
}

}  // namespace softtoken::crypto
