// Object attributes as byte strings, the defaults of each object class and the template rules.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>
#include <vector>

namespace softtoken {

using Bytes = std::vector<unsigned char>;
using Attributes = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

// The DER of the Streebog-256 OID, the hash a GOST key uses unless told otherwise.
extern const Bytes kStreebog256Oid;

Bytes BoolValue(bool value);
Bytes UlongValue(CK_ULONG value);
bool BoolOf(const Attributes& attributes, CK_ATTRIBUTE_TYPE type, bool fallback = false);
std::optional<CK_ULONG> UlongOf(const Attributes& attributes, CK_ATTRIBUTE_TYPE type);

// Reads a caller's template, checking pointers, duplicates and the sizes of boolean and
// integer attributes.
Attributes ReadTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count);

// How an object comes about: created from a template, or generated on the token.
enum class Origin { Created, Generated };

// Every attribute an object of this class carries, with the values a template may override.
// Throws Error(CKR_TEMPLATE_INCONSISTENT / CKR_ATTRIBUTE_VALUE_INVALID) for a class or key type
// the token does not keep.
Attributes DefaultsFor(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType, Origin origin);

// Applies a caller's template over the defaults: unknown attributes, attributes the caller
// may not set and conflicting values are refused.
void ApplyTemplate(Attributes& object, const Attributes& requested);

// Whether an attribute value is kept sealed under the token key.
bool IsSealed(const Attributes& object, CK_ATTRIBUTE_TYPE type);
// Whether the attribute may never leave the token in the clear.
bool IsSensitive(const Attributes& object, CK_ATTRIBUTE_TYPE type);

}  // namespace softtoken
