// Subject strings: "CN=...,O=...,L=..." pairs joined by ",", values neither quoted nor escaped.
#pragma once

#include <string>
#include <string_view>

namespace certdesk {

// The value of the first key equal to name (case-sensitive), "" when there is none. A value ends
// at the last "," before the next "="; unstructuredName (and its OID) ends at the first ",".
// "\x" escapes in the value are decoded.
std::string GetDNValue(std::string_view subject, std::string_view name);

// "\xHH" escapes (UTF-8 bytes) from the first "\x" on become Windows-1251 text; invalid UTF-8
// there gives "". Text before the first "\x" is kept as it is.
std::string DecodeHexEscapes(std::string_view text);

}  // namespace certdesk
