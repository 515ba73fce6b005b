#include "attributes.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "error.h"

namespace softtoken {

const Bytes kStreebog256Oid = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};

namespace {

const std::set<CK_ATTRIBUTE_TYPE> kBoolTypes = {CKA_TOKEN,
                                                CKA_PRIVATE,
                                                CKA_MODIFIABLE,
                                                CKA_TRUSTED,
                                                CKA_SENSITIVE,
                                                CKA_ENCRYPT,
                                                CKA_DECRYPT,
                                                CKA_WRAP,
                                                CKA_UNWRAP,
                                                CKA_SIGN,
                                                CKA_SIGN_RECOVER,
                                                CKA_VERIFY,
                                                CKA_VERIFY_RECOVER,
                                                CKA_DERIVE,
                                                CKA_EXTRACTABLE,
                                                CKA_LOCAL,
                                                CKA_NEVER_EXTRACTABLE,
                                                CKA_ALWAYS_SENSITIVE,
                                                CKA_WRAP_WITH_TRUSTED,
                                                CKA_ALWAYS_AUTHENTICATE,
                                                CKA_COPYABLE,
                                                CKA_DESTROYABLE};

const std::set<CK_ATTRIBUTE_TYPE> kUlongTypes = {CKA_CLASS,
                                                 CKA_CERTIFICATE_TYPE,
                                                 CKA_KEY_TYPE,
                                                 CKA_CERTIFICATE_CATEGORY,
                                                 CKA_KEY_GEN_MECHANISM,
                                                 CKA_JAVA_MIDP_SECURITY_DOMAIN,
                                                 CKA_NAME_HASH_ALGORITHM};

// Set by the token itself, never by a template.
const std::set<CK_ATTRIBUTE_TYPE> kReadOnlyTypes = {CKA_LOCAL, CKA_ALWAYS_SENSITIVE,
                                                    CKA_NEVER_EXTRACTABLE, CKA_KEY_GEN_MECHANISM};

void AddCommonKey(Attributes& a, CK_KEY_TYPE keyType, Origin origin) {
    a[CKA_KEY_TYPE] = UlongValue(keyType);
    a[CKA_ID] = {};
    a[CKA_START_DATE] = {};
    a[CKA_END_DATE] = {};
    a[CKA_DERIVE] = BoolValue(false);
    a[CKA_LOCAL] = BoolValue(origin == Origin::Generated);
    a[CKA_KEY_GEN_MECHANISM] = UlongValue(origin == Origin::Generated ? CKM_GOSTR3410_KEY_PAIR_GEN
                                                                      : CK_UNAVAILABLE_INFORMATION);
    a[CKA_SUBJECT] = {};
    a[CKA_VALUE] = {};
    if (keyType == CKK_GOSTR3410) {
        a[CKA_GOSTR3410_PARAMS] = {};
        a[CKA_GOSTR3411_PARAMS] = kStreebog256Oid;
    }
}

}  // namespace

Bytes BoolValue(bool value) {
    return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)};
}

Bytes UlongValue(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

bool BoolOf(const Attributes& attributes, CK_ATTRIBUTE_TYPE type, bool fallback) {
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != 1) {
        return fallback;
    }
    return it->second[0] != CK_FALSE;
}

std::optional<CK_ULONG> UlongOf(const Attributes& attributes, CK_ATTRIBUTE_TYPE type) {
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != sizeof(CK_ULONG)) {
        return std::nullopt;
    }
    CK_ULONG value;
    std::memcpy(&value, it->second.data(), sizeof value);
    return value;
}

Attributes ReadTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (count > 0 && attributes == nullptr) {
        throw Error(CKR_ARGUMENTS_BAD);
    }
    Attributes result;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        if (a.ulValueLen > 0 && a.pValue == nullptr) {
            throw Error(CKR_ARGUMENTS_BAD);
        }
        if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            throw Error(CKR_ATTRIBUTE_VALUE_INVALID);
        }
        if ((kBoolTypes.count(a.type) && a.ulValueLen != 1) ||
            (kUlongTypes.count(a.type) && a.ulValueLen != sizeof(CK_ULONG))) {
            throw Error(CKR_ATTRIBUTE_VALUE_INVALID);
        }
        const auto* p = static_cast<const unsigned char*>(a.pValue);
        Bytes value = a.ulValueLen ? Bytes(p, p + a.ulValueLen) : Bytes{};
        auto [it, inserted] = result.emplace(a.type, value);
        if (!inserted && it->second != value) {
            throw Error(CKR_TEMPLATE_INCONSISTENT);
        }
    }
    return result;
}

Attributes DefaultsFor(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType, Origin origin) {
    Attributes a;
    a[CKA_CLASS] = UlongValue(objectClass);
    a[CKA_TOKEN] = BoolValue(false);
    a[CKA_PRIVATE] = BoolValue(objectClass == CKO_PRIVATE_KEY);
    a[CKA_MODIFIABLE] = BoolValue(true);
    a[CKA_LABEL] = {};
    switch (objectClass) {
        case CKO_DATA:
            a[CKA_APPLICATION] = {};
            a[CKA_OBJECT_ID] = {};
            a[CKA_VALUE] = {};
            break;
        case CKO_CERTIFICATE:
            a[CKA_CERTIFICATE_TYPE] = UlongValue(CKC_X_509);
            a[CKA_TRUSTED] = BoolValue(false);
            a[CKA_CERTIFICATE_CATEGORY] = UlongValue(0);
            a[CKA_CHECK_VALUE] = {};
            a[CKA_START_DATE] = {};
            a[CKA_END_DATE] = {};
            a[CKA_SUBJECT] = {};
            a[CKA_ID] = {};
            a[CKA_ISSUER] = {};
            a[CKA_SERIAL_NUMBER] = {};
            a[CKA_VALUE] = {};
            a[CKA_URL] = {};
            a[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = {};
            a[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = {};
            a[CKA_JAVA_MIDP_SECURITY_DOMAIN] = UlongValue(0);
            break;
        case CKO_PUBLIC_KEY:
            AddCommonKey(a, keyType, origin);
            a[CKA_ENCRYPT] = BoolValue(false);
            a[CKA_VERIFY] = BoolValue(true);
            a[CKA_VERIFY_RECOVER] = BoolValue(false);
            a[CKA_WRAP] = BoolValue(false);
            a[CKA_TRUSTED] = BoolValue(false);
            break;
        case CKO_PRIVATE_KEY:
            if (keyType != CKK_GOSTR3410) {
                throw Error(CKR_ATTRIBUTE_VALUE_INVALID, "only GOST private keys are kept");
            }
            AddCommonKey(a, keyType, origin);
            a[CKA_SENSITIVE] = BoolValue(true);
            a[CKA_DECRYPT] = BoolValue(false);
            a[CKA_SIGN] = BoolValue(true);
            a[CKA_SIGN_RECOVER] = BoolValue(false);
            a[CKA_UNWRAP] = BoolValue(false);
            a[CKA_EXTRACTABLE] = BoolValue(false);
            a[CKA_ALWAYS_SENSITIVE] = BoolValue(origin == Origin::Generated);
            a[CKA_NEVER_EXTRACTABLE] = BoolValue(origin == Origin::Generated);
            a[CKA_WRAP_WITH_TRUSTED] = BoolValue(false);
            a[CKA_ALWAYS_AUTHENTICATE] = BoolValue(false);
            break;
        default:
            throw Error(CKR_ATTRIBUTE_VALUE_INVALID, "object class not kept");
    }
    return a;
}

void ApplyTemplate(Attributes& object, const Attributes& requested) {
    for (const auto& [type, value] : requested) {
        auto it = object.find(type);
        if (it == object.end()) {
            throw Error(CKR_ATTRIBUTE_TYPE_INVALID);
        }
        if (type == CKA_CLASS || type == CKA_KEY_TYPE) {
            if (it->second != value) {
                throw Error(CKR_TEMPLATE_INCONSISTENT);
            }
            continue;
        }
        if (kReadOnlyTypes.count(type)) {
            throw Error(CKR_ATTRIBUTE_READ_ONLY);
        }
        it->second = value;
    }
    // A private key that is not sensitive or is extractable was never "always sensitive".
    if (object.count(CKA_ALWAYS_SENSITIVE)) {
        if (!BoolOf(object, CKA_SENSITIVE)) {
            object[CKA_ALWAYS_SENSITIVE] = BoolValue(false);
        }
        if (BoolOf(object, CKA_EXTRACTABLE)) {
            object[CKA_NEVER_EXTRACTABLE] = BoolValue(false);
        }
    }
}

bool IsSealed(const Attributes& object, CK_ATTRIBUTE_TYPE type) {
    return type == CKA_VALUE && BoolOf(object, CKA_PRIVATE);
}

bool IsSensitive(const Attributes& object, CK_ATTRIBUTE_TYPE type) {
    return type == CKA_VALUE && UlongOf(object, CKA_CLASS) == CKO_PRIVATE_KEY &&
           (BoolOf(object, CKA_SENSITIVE, true) || !BoolOf(object, CKA_EXTRACTABLE));
}

}  // namespace softtoken
