#include "certdesk/subject_fill.h"

#include <algorithm>

#include "certdesk/codec.h"
#include "certdesk/subject_string.h"
#include "certdesk/text_utils.h"

namespace certdesk {
namespace {

enum class Source { Certificate, Template };

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// The fields after ИНН, in the order both fills set them.
void FillCommonFields(const std::string& subject, Source source,
                      std::vector<FieldAssignment>& out) {
    const auto value = [&](const char* name) { return GetDNValue(subject, name); };
    out.push_back({"edtSN", value("SN")});
    const std::string givenNames = value("GN");
    if (const std::size_t space = givenNames.find(' '); space != std::string::npos) {
        out.push_back({"edtGN1", givenNames.substr(0, space)});
        out.push_back({"edtGN2", givenNames.substr(space + 1)});
    }
    out.push_back({"edtSNILS", value("SNILS")});
    std::string ogrn = value("OGRN");
    if (ogrn.empty())
        ogrn = value("OGRNIP");
    out.push_back({"edtOGRN", ogrn});
    out.push_back({"edtEMAIL", value(source == Source::Certificate ? "E" : "Email")});
    out.push_back({"edtO", value("O")});
    out.push_back({"edtL", value("L")});
    out.push_back({"edtST", value("ST")});
    out.push_back({"edtOU", value("OU")});
    out.push_back({"dbeCategory", value(source == Source::Certificate ? "T" : "title")});
    out.push_back({"edtStreet", value("streetAddress")});
    const std::string unstructured = value("unstructuredName");
    const std::string marker = Ansi("КПП=");
    if (const std::size_t at = unstructured.find(marker); at != std::string::npos) {
        // A template's КПП starts one character further on than a certificate's.
        const std::size_t start = at + marker.size() + (source == Source::Template ? 1 : 0);
        out.push_back({"edtKPP", start < unstructured.size() ? unstructured.substr(start) : ""});
    }
}

}  // namespace

SubjectFill FillFromCertificateSubject(const std::string& subject) {
    SubjectFill fill;
    const std::string inn = GetDNValue(subject, "INN");
    if (inn.size() == 10 || inn.starts_with("00"))
        fill.ownerType = OwnerType::LegalEntity;
    else if (inn.size() == 12)
        fill.ownerType = OwnerType::Entrepreneur;
    fill.assignments.push_back({"edtINN", PadLeft(inn, 12, '0')});
    FillCommonFields(subject, Source::Certificate, fill.assignments);
    return fill;
}

SubjectFill FillFromTemplateSubject(const std::string& subject,
                                    const std::optional<std::string>& altNameBusinessCategory) {
    SubjectFill fill;
    const std::string inn = GetDNValue(subject, "INN");
    fill.ownerType = inn.starts_with("00") ? OwnerType::LegalEntity : OwnerType::Entrepreneur;
    fill.assignments.push_back({"edtINN", inn});
    FillCommonFields(subject, Source::Template, fill.assignments);
    const auto category =
        std::find_if(fill.assignments.begin(), fill.assignments.end(),
                     [](const FieldAssignment& a) { return a.control == "dbeCategory"; });
    if (altNameBusinessCategory && IsBlank(category->value))
        fill.assignments.push_back({"dbeCategory", *altNameBusinessCategory});
    return fill;
}

}  // namespace certdesk
