#include <openssl/err.h>

#include "openssl_util.h"

namespace softtoken::crypto::detail {

void Fail(const std::string& step) {
    unsigned long code = ERR_get_error();
    std::string what = step + " failed";
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        what += ": ";
        what += text;
    }
    ERR_clear_error();
    throw CryptoError(CKR_FUNCTION_FAILED, what);
}

void BadArgument(const std::string& what) {
    ERR_clear_error();
    throw CryptoError(CKR_ARGUMENTS_BAD, what);
}

}  // namespace softtoken::crypto::detail

namespace softtoken::crypto {
namespace {

constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kSignatureSize = 64;

void RequireDigest(const Bytes& digest) {
    if (digest.size() != kDigestSize) {
        throw CryptoError(CKR_DATA_LEN_RANGE, "a GOST R 34.10-2012 256 digest has 32 bytes");
    }
}

}  // namespace

Bytes Streebog256(const unsigned char* data, std::size_t length) {
    if (data == nullptr && length > 0) {
        throw CryptoError(CKR_ARGUMENTS_BAD, "no data to hash");
    }
    detail::MdCtx ctx(EVP_MD_CTX_new());
    Bytes out(kDigestSize);
    unsigned int size = 0;
    static const unsigned char kNothing = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), detail::Streebog256Md(), detail::GostEngine()) ||
        !EVP_DigestUpdate(ctx.get(), data == nullptr ? &kNothing : data, length) ||
        !EVP_DigestFinal_ex(ctx.get(), out.data(), &size) || size != kDigestSize) {
        detail::Fail("Streebog-256");
    }
    return out;
}

// The engine takes the digest as the bytes Streebog gives and returns s || r, big-endian.
Bytes SignDigest(const Bytes& paramSet, const Bytes& privateKey, const Bytes& digest) {
    RequireDigest(digest);
    detail::PKey key = detail::PrivateKey(paramSet, privateKey);
    detail::PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), detail::GostEngine()));
    Bytes signature(kSignatureSize);
    std::size_t size = signature.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest.data(), digest.size()) <= 0 ||
        size != kSignatureSize) {
        detail::Fail("GOST signature");
    }
    return signature;
}

bool VerifyDigest(const Bytes& paramSet, const Bytes& publicValue, const Bytes& digest,
                  const Bytes& signature) {
    RequireDigest(digest);
    if (signature.size() != kSignatureSize) {
        throw CryptoError(CKR_SIGNATURE_LEN_RANGE, "a GOST signature has 64 bytes");
    }
    detail::PKey key = detail::PublicKey(paramSet, publicValue);
    detail::PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), detail::GostEngine()));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) {
        detail::Fail("GOST signature check");
    }
    int result = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                                 digest.size());
    ERR_clear_error();
    return result == 1;
}

}  // namespace softtoken::crypto
