// The GOST engine and the GOST keys it handles. The engine interface and the EC_KEY access the
// engine's keys need are deprecated in OpenSSL 3, and Debian's GOST provider cannot sign.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>
#include <string>

#include "openssl_util.h"

namespace softtoken::crypto::detail {
namespace {

void ReleaseEngine(ENGINE* e) {
    ENGINE_free(e);
}
using EngineRef = Owned<ENGINE, ReleaseEngine>;

ENGINE* LoadDynamic(const std::string& path) {
    EngineRef dynamic(ENGINE_by_id("dynamic"));
    if (!dynamic || !ENGINE_ctrl_cmd_string(dynamic.get(), "SO_PATH", path.c_str(), 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "ID", "gost", 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "LOAD", nullptr, 0)) {
        return nullptr;
    }
    return dynamic.release();
}

// Where the engine module may lie: the process's own engine folder first, then OpenSSL's.
ENGINE* FindEngine() {
    if (ENGINE* e = ENGINE_by_id("gost")) {
        return e;
    }
    ERR_clear_error();
    std::string folders;
    if (const char* env = std::getenv("OPENSSL_ENGINES")) {
        folders = env;
    }
    std::string built = OpenSSL_version(OPENSSL_ENGINES_DIR);  // ENGINESDIR: "..."
    auto open = built.find('"');
    auto close = built.rfind('"');
    if (open != std::string::npos && close > open) {
        folders += (folders.empty() ? "" : ":") + built.substr(open + 1, close - open - 1);
    }
    folders += ":/usr/lib/x86_64-linux-gnu/engines-3:/usr/lib/engines-3";
    std::size_t start = 0;
    while (start <= folders.size()) {
        auto end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            if (ENGINE* e = LoadDynamic(folder + "/gost.so")) {
                return e;
            }
            ERR_clear_error();
        }
        start = end + 1;
    }
    return nullptr;
}

ENGINE* engine = nullptr;
std::once_flag engineOnce;

// The engine is loaded once and kept for the life of the process; the process may be a
// foreign program with an OpenSSL setup of its own, so nothing global is reset or made default.
ENGINE* Engine() {
    std::call_once(engineOnce, [] {
        EngineRef found(FindEngine());
        if (!found || !ENGINE_init(found.get())) {
            ERR_clear_error();
            return;
        }
        // Registration lets certificate, request and CMS code find the GOST methods by NID.
        ENGINE_register_pkey_asn1_meths(found.get());
        ENGINE_register_pkey_meths(found.get());
        ENGINE_register_digests(found.get());
        engine = found.release();
    });
    if (engine == nullptr) {
        throw CryptoError(CKR_DEVICE_ERROR, "the GOST engine of OpenSSL cannot be loaded");
    }
    return engine;
}

struct ParamSet {
    int nid;
    std::array<unsigned char, 9> der;
};
// CryptoPro A, B, C, XchA and XchB; TC26 256 A has a longer OID.
constexpr std::array<ParamSet, 5> kParamSets{{
    {NID_id_GostR3410_2001_CryptoPro_A_ParamSet, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x23, 1}},
    {NID_id_GostR3410_2001_CryptoPro_B_ParamSet, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x23, 2}},
    {NID_id_GostR3410_2001_CryptoPro_C_ParamSet, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x23, 3}},
    {NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x24, 0}},
    {NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x24, 1}},
}};
constexpr std::array<unsigned char, 11> kTc26A{6, 9, 0x2A, 0x85, 3, 7, 1, 2, 1, 1, 1};

constexpr std::size_t kCoordinate = 32;

// A key of the parameter set with no value yet.
PKey EmptyKey(int curve) {
    PKeyCtx ctx(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, Engine()));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_paramgen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", OBJ_nid2sn(curve)) <= 0 ||
        EVP_PKEY_paramgen(ctx.get(), &raw) <= 0) {
        Fail("GOST key parameters");
    }
    return PKey(raw);
}

EC_KEY* EcKey(EVP_PKEY* key) {
    auto* ec = static_cast<EC_KEY*>(EVP_PKEY_get0(key));
    if (ec == nullptr) {
        Fail("GOST key");
    }
    return ec;
}

Bytes LittleEndian(const BIGNUM* n) {
    Bytes out(kCoordinate);
    if (BN_bn2lebinpad(n, out.data(), static_cast<int>(out.size())) < 0) {
        Fail("GOST key value");
    }
    return out;
}

}  // namespace

ENGINE* GostEngine() {
    return Engine();
}

int CurveNid(const Bytes& paramSet) {
    for (const auto& p : kParamSets) {
        if (paramSet.size() == p.der.size() &&
            std::equal(p.der.begin(), p.der.end(), paramSet.begin())) {
            return p.nid;
        }
    }
    if (paramSet.size() == kTc26A.size() &&
        std::equal(kTc26A.begin(), kTc26A.end(), paramSet.begin())) {
        return NID_id_tc26_gost_3410_2012_256_paramSetA;
    }
    return NID_undef;
}

int RequireCurve(const Bytes& paramSet) {
    int nid = CurveNid(paramSet);
    if (nid == NID_undef) {
        throw CryptoError(CKR_DOMAIN_PARAMS_INVALID, "unsupported GOST parameter set");
    }
    return nid;
}

PKey PrivateKey(const Bytes& paramSet, const Bytes& privateKey) {
    PKey key = EmptyKey(RequireCurve(paramSet));
    EC_KEY* ec = EcKey(key.get());
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    BigNum d(BN_lebin2bn(privateKey.data(), static_cast<int>(privateKey.size()), nullptr));
    if (!d) {
        Fail("GOST private key");
    }
    if (privateKey.size() != kCoordinate || BN_is_zero(d.get()) ||
        BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0) {
        throw CryptoError(CKR_KEY_TYPE_INCONSISTENT, "the GOST private key value is not valid");
    }
    Owned<EC_POINT, EC_POINT_free> q(EC_POINT_new(group));
    if (!q || !EC_POINT_mul(group, q.get(), d.get(), nullptr, nullptr, nullptr) ||
        !EC_KEY_set_private_key(ec, d.get()) || !EC_KEY_set_public_key(ec, q.get())) {
        Fail("GOST private key");
    }
    return key;
}

PKey PublicKey(const Bytes& paramSet, const Bytes& publicValue) {
    PKey key = EmptyKey(RequireCurve(paramSet));
    EC_KEY* ec = EcKey(key.get());
    if (publicValue.size() != 2 * kCoordinate) {
        throw CryptoError(CKR_KEY_TYPE_INCONSISTENT, "a GOST public value has 64 bytes");
    }
    BigNum x(BN_lebin2bn(publicValue.data(), kCoordinate, nullptr));
    BigNum y(BN_lebin2bn(publicValue.data() + kCoordinate, kCoordinate, nullptr));
    if (!x || !y) {
        Fail("GOST public key");
    }
    // Also rejects a point off the curve.
    if (!EC_KEY_set_public_key_affine_coordinates(ec, x.get(), y.get())) {
        ERR_clear_error();
        throw CryptoError(CKR_KEY_TYPE_INCONSISTENT, "the GOST public value is not a curve point");
    }
    return key;
}

Bytes GostPublicValue(const EVP_PKEY* key) {
    int id = EVP_PKEY_get_base_id(key);
    if (id != NID_id_GostR3410_2012_256 && id != NID_id_GostR3410_2001) {
        return {};
    }
    const auto* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(key));
    const EC_POINT* q = ec == nullptr ? nullptr : EC_KEY_get0_public_key(ec);
    if (q == nullptr) {
        return {};
    }
    BigNum x(BN_new());
    BigNum y(BN_new());
    if (!x || !y ||
        !EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), q, x.get(), y.get(), nullptr)) {
        Fail("GOST public key");
    }
    Bytes out = LittleEndian(x.get());
    Bytes high = LittleEndian(y.get());
    out.insert(out.end(), high.begin(), high.end());
    return out;
}

const EVP_MD* Streebog256Md() {
    const EVP_MD* md = ENGINE_get_digest(Engine(), NID_id_GostR3411_2012_256);
    if (md == nullptr) {
        Fail("Streebog-256");
    }
    return md;
}

}  // namespace softtoken::crypto::detail

namespace softtoken::crypto {

bool IsSupportedParamSet(const Bytes& paramSet) {
    return detail::CurveNid(paramSet) != NID_undef;
}

KeyPair GenerateKeyPair(const Bytes& paramSet) {
    int curve = detail::RequireCurve(paramSet);
    detail::PKeyCtx ctx(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, detail::GostEngine()));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", OBJ_nid2sn(curve)) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &raw) <= 0) {
        detail::Fail("GOST key generation");
    }
    detail::PKey key(raw);
    const auto* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(key.get()));
    const BIGNUM* d = ec == nullptr ? nullptr : EC_KEY_get0_private_key(ec);
    if (d == nullptr) {
        detail::Fail("GOST key generation");
    }
    return KeyPair{detail::LittleEndian(d), detail::GostPublicValue(key.get())};
}

}  // namespace softtoken::crypto
