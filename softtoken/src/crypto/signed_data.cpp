#include <openssl/err.h>

#include <limits>

#include "openssl_util.h"

namespace softtoken::crypto {

Bytes MakeSignedData(const Bytes& paramSet, const Bytes& privateKey, const Bytes& certificate,
                     const unsigned char* data, std::size_t length, bool detached) {
    if (data == nullptr && length > 0) {
        detail::BadArgument("no data to sign");
    }
    // OpenSSL decodes a certificate's key while parsing it, and only knows GOST keys once the
    // engine is there.
    detail::GostEngine();
    const unsigned char* p = certificate.data();
    detail::Certificate signer(certificate.empty()
                                   ? nullptr
                                   : d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    if (!signer || p != certificate.data() + certificate.size()) {
        detail::BadArgument("the signer's certificate is not a DER certificate");
    }
    detail::PKey key = detail::PrivateKey(paramSet, privateKey);
    EVP_PKEY* certificateKey = X509_get0_pubkey(signer.get());
    if (certificateKey == nullptr ||
        detail::GostPublicValue(certificateKey) != detail::GostPublicValue(key.get())) {
        detail::BadArgument("the certificate is not the private key's");
    }
    static const unsigned char kNothing = 0;
    if (length > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw CryptoError(CKR_DATA_LEN_RANGE, "the data is too long");
    }
    detail::Bio content(
        BIO_new_mem_buf(data == nullptr ? &kNothing : data, static_cast<int>(length)));
    unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (detached ? CMS_DETACHED : 0);
    detail::Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!content || !cms ||
        !CMS_add1_signer(cms.get(), signer.get(), key.get(), detail::Streebog256Md(), flags) ||
        !CMS_final(cms.get(), content.get(), nullptr, flags)) {
        detail::Fail("CMS signature");
    }
    unsigned char* der = nullptr;
    int size = i2d_CMS_ContentInfo(cms.get(), &der);
    if (size < 0) {
        detail::Fail("CMS encoding");
    }
    Bytes out(der, der + size);
    OPENSSL_free(der);
    ERR_clear_error();
    return out;
}

}  // namespace softtoken::crypto
