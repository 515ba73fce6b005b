// The lenient UTF-8 decoder and the code page on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "certdesk/codec.h"
#include "certdesk/text_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string units = certdesk::DecodeUtf8(bytes);
    // Every unit decoded is written back in a form that decodes to the same unit.
    if (certdesk::DecodeUtf8(certdesk::EncodeUtf8(units)) != units)
        __builtin_trap();
    if (units.size() > bytes.size())
        __builtin_trap();
    const std::string ansi = certdesk::Utf8ToAnsiText(bytes);
    if (ansi.size() > units.size())
        __builtin_trap();
    // Windows-1251 survives the trip through UTF-16 and UTF-8 byte for byte.
    if (certdesk::AnsiFromUtf16(certdesk::Utf16FromAnsi(bytes)) != bytes ||
        certdesk::AnsiFromUtf8(certdesk::Utf8FromAnsi(bytes)) != bytes)
        __builtin_trap();
    certdesk::AnsiFromUtf8(bytes);
    return 0;
}
