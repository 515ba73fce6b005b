// Subject-string lookup and escape decoding on arbitrary text. The first byte picks the name
// looked up; the rest is the subject string.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "certdesk/subject_fill.h"
#include "certdesk/subject_string.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static const char* const kNames[] = {
        "CN", "O", "INN", "E", "GN", "unstructuredName", "1.2.840.113549.1.9.2", "", "=", ","};
    const std::string_view name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
    const std::string subject(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string value = certdesk::GetDNValue(subject, name);
    if (value.size() > subject.size())
        __builtin_trap();
    const std::string decoded = certdesk::DecodeHexEscapes(subject);
    if (subject.find("\\x") == std::string::npos && decoded != subject)
        __builtin_trap();
    certdesk::FillFromCertificateSubject(subject);
    certdesk::FillFromTemplateSubject(subject, value);
    return 0;
}
