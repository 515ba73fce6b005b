// Certificate decoding, the record, the match key and the fill on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "certdesk/cert_info.h"
#include "certdesk/subject_fill.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool decodes = static_cast<bool>(certdesk::DecodeCertificate(bytes));

    certdesk::TCertInfo info;
    certdesk::TVCertMgr::GetCertInfo(
        bytes, certdesk::ciSubject | certdesk::ciNotBefore | certdesk::ciNotAfter, info);
    if (decodes != (info.Mask != 0))
        __builtin_trap();
    if (decodes && info.Subject.compare(0, 3, "CN=") != 0)
        __builtin_trap();
    certdesk::FillFromCertificateSubject(info.Subject);
    if (decodes)
        certdesk::CertificateListLine(1, info);
    certdesk::TVCertMgr::FreeCertInfo(info);

    const std::string key = certdesk::GetCertMatchKey(bytes);
    if (key.size() > 64 || (!decodes && !key.empty()))
        __builtin_trap();
    return 0;
}
