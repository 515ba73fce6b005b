#include <gtest/gtest.h>

#include "certdesk/codec.h"
#include "certdesk/subject_fill.h"
#include "certdesk/subject_string.h"

namespace certdesk {

void PrintTo(const FieldAssignment& a, std::ostream* os) {
    *os << a.control << "=" << Utf8FromAnsi(a.value);
}

namespace {

// Cases are written in UTF-8 and compared as program text.
struct LookupCase {
    const char* name;
    std::string subject;
    std::string key;
    std::string expected;
};

class GetDNValueTable : public ::testing::TestWithParam<LookupCase> {};

TEST_P(GetDNValueTable, FindsTheValue) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(GetDNValue(Ansi(c.subject), c.key), Ansi(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, GetDNValueTable,
    ::testing::Values(
        LookupCase{"middle", "CN=Иванов Иван,O=ООО Ромашка,L=Челябинск", "O", "ООО Ромашка"},
        LookupCase{"first", "CN=Иванов Иван,O=ООО Ромашка,L=Челябинск", "CN", "Иванов Иван"},
        LookupCase{"last", "CN=Иванов Иван,O=ООО Ромашка,L=Челябинск", "L", "Челябинск"},
        LookupCase{"absent", "CN=Иванов Иван,O=ООО Ромашка,L=Челябинск", "X", ""},
        LookupCase{"comma_in_value", "CN=x,O=Рога, копыта,L=Москва", "O", "Рога, копыта"},
        LookupCase{"equals_in_value", "CN=a=b,O=x", "CN", ""},
        LookupCase{"unstructured_to_first_comma",
                   "unstructuredName=INN=1234567890/КПП=123456789,CN=x", "unstructuredName",
                   "INN=1234567890/КПП=123456789"},
        LookupCase{"unstructured_by_oid", "1.2.840.113549.1.9.2=a=b,c,d=e", "1.2.840.113549.1.9.2",
                   "a=b"},
        LookupCase{"unstructured_last", "CN=x,unstructuredName=INN=1/КПП=2", "unstructuredName",
                   "INN=1/КПП=2"},
        LookupCase{"later_key_inside_value", "unstructuredName=INN=1234567890,CN=x", "INN",
                   "1234567890"},
        LookupCase{"key_with_space", "CN=x, O=y", "O", ""},
        LookupCase{"case_sensitive", "CN=x,o=y", "O", ""},
        LookupCase{"first_occurrence_wins", "CN=x,O=one,O=two", "O", "one"},
        LookupCase{"empty_value", "CN=,O=y", "CN", ""},
        LookupCase{"no_equals_at_all", "garbage", "CN", ""},
        LookupCase{"empty_subject", "", "CN", ""},
        LookupCase{"key_is_suffix_of_longer", "XCN=a,CN=b", "CN", "b"},
        LookupCase{"escaped_value", "CN=\\xD0\\x9F\\xD1\\x80\\xD0\\xB8,O=y", "CN", "При"},
        LookupCase{"trailing_comma_only", "CN=x,", "CN", "x,"}),
    [](const auto& p) { return std::string(p.param.name); });

struct EscapeCase {
    const char* name;
    std::string text;
    std::string expected;
};

class DecodeHexEscapesTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(DecodeHexEscapesTable, DecodesUtf8Bytes) {
    EXPECT_EQ(DecodeHexEscapes(Ansi(GetParam().text)), Ansi(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, DecodeHexEscapesTable,
    ::testing::Values(EscapeCase{"none", "ООО Ромашка", "ООО Ромашка"},
                      EscapeCase{"all_escaped", "\\xD0\\x9F\\xD1\\x80\\xD0\\xB8", "При"},
                      EscapeCase{"prefix_kept", "ООО \\xD0\\x9F", "ООО П"},
                      EscapeCase{"too_short", "abc\\x", "abc\\x"},
                      EscapeCase{"zero_and_non_hex_dropped", "\\x41\\x00\\xZZ\\x42", "AB"},
                      EscapeCase{"lower_case_hex", "\\xd0\\x9f", "П"},
                      EscapeCase{"one_digit_at_end", "\\x4", "\x04"},
                      EscapeCase{"plain_after_escape", "\\x41bc", "Abc"},
                      EscapeCase{"invalid_utf8_empties", "\\xD0\\x41", ""},
                      EscapeCase{"cyrillic_after_escape_is_not_utf8", "\\x41Ж", ""},
                      EscapeCase{"backslash_without_x", "\\x41\\n", "A\\n"},
                      EscapeCase{"sign_is_not_hex", "\\x41\\x-1", "A"}),
    [](const auto& p) { return std::string(p.param.name); });

// The fill

const char* const kFillOrder[] = {"edtINN",  "edtSN",       "edtGN1",    "edtGN2", "edtSNILS",
                                  "edtOGRN", "edtEMAIL",    "edtO",      "edtL",   "edtST",
                                  "edtOU",   "dbeCategory", "edtStreet", "edtKPP"};

using Fields = std::vector<std::pair<std::string, std::string>>;

// The full assignment list in fill order: every field empty unless given; edtGN1, edtGN2 and
// edtKPP appear only when given. extraCategory is the template's businessCategory fallback.
std::vector<FieldAssignment> Expected(const Fields& given,
                                      std::optional<std::string> extraCategory = {}) {
    std::vector<FieldAssignment> out;
    for (const char* control : kFillOrder) {
        const auto it = std::find_if(given.begin(), given.end(),
                                     [&](const auto& f) { return f.first == control; });
        const std::string name = control;
        if (it == given.end() && (name == "edtGN1" || name == "edtGN2" || name == "edtKPP"))
            continue;
        out.push_back({control, it == given.end() ? "" : Ansi(it->second)});
    }
    if (extraCategory)
        out.push_back({"dbeCategory", Ansi(*extraCategory)});
    return out;
}

struct CertificateFillCase {
    const char* name;
    std::string subject;
    OwnerType owner;
    Fields fields;
};

class CertificateFillTable : public ::testing::TestWithParam<CertificateFillCase> {};

TEST_P(CertificateFillTable, MapsTheSubject) {
    const SubjectFill fill = FillFromCertificateSubject(Ansi(GetParam().subject));
    EXPECT_EQ(fill.ownerType, GetParam().owner);
    EXPECT_EQ(fill.assignments, Expected(GetParam().fields));
}

INSTANTIATE_TEST_SUITE_P(
    Certificate, CertificateFillTable,
    ::testing::Values(
        CertificateFillCase{
            "legal_00_inn",
            "CN=ООО Ромашка,O=ООО Ромашка,L=Москва,ST=77 г. Москва,OU=Бухгалтерия,C=RU,"
            "T=Директор,SN=Иванов,GN=Иван Иванович,E=a@b.ru,INN=007701234567,"
            "OGRN=1027700132195,SNILS=12345678901,streetAddress=ул. Ленина, д. 1,"
            "unstructuredName=INN=7701234567/КПП=770101001",
            OwnerType::LegalEntity,
            {{"edtINN", "007701234567"},
             {"edtSN", "Иванов"},
             {"edtGN1", "Иван"},
             {"edtGN2", "Иванович"},
             {"edtSNILS", "12345678901"},
             {"edtOGRN", "1027700132195"},
             {"edtEMAIL", "a@b.ru"},
             {"edtO", "ООО Ромашка"},
             {"edtL", "Москва"},
             {"edtST", "77 г. Москва"},
             {"edtOU", "Бухгалтерия"},
             {"dbeCategory", "Директор"},
             {"edtStreet", "ул. Ленина, д. 1"},
             {"edtKPP", "770101001"}}},
        CertificateFillCase{"legal_ten_digits",
                            "CN=x,INN=7701234567",
                            OwnerType::LegalEntity,
                            {{"edtINN", "007701234567"}}},
        CertificateFillCase{"entrepreneur_twelve",
                            "CN=x,INN=500100732259,OGRNIP=304500116000157",
                            OwnerType::Entrepreneur,
                            {{"edtINN", "500100732259"}, {"edtOGRN", "304500116000157"}}},
        CertificateFillCase{"no_inn",
                            "CN=x,SN=Петров",
                            OwnerType::None,
                            {{"edtINN", "000000000000"}, {"edtSN", "Петров"}}},
        CertificateFillCase{
            "odd_inn_length", "CN=x,INN=12345", OwnerType::None, {{"edtINN", "000000012345"}}},
        CertificateFillCase{"one_word_gn",
                            "CN=x,GN=Иван,INN=7701234567",
                            OwnerType::LegalEntity,
                            {{"edtINN", "007701234567"}}},
        CertificateFillCase{
            "gn_split_at_first_space",
            "CN=x,GN=Анна Мария Петровна",
            OwnerType::None,
            {{"edtINN", "000000000000"}, {"edtGN1", "Анна"}, {"edtGN2", "Мария Петровна"}}},
        CertificateFillCase{"ogrn_before_ogrnip",
                            "CN=x,OGRN=1,OGRNIP=2",
                            OwnerType::None,
                            {{"edtINN", "000000000000"}, {"edtOGRN", "1"}}},
        CertificateFillCase{"kpp_all_nine",
                            "CN=x,unstructuredName=КПП=123456789",
                            OwnerType::None,
                            {{"edtINN", "000000000000"}, {"edtKPP", "123456789"}}},
        CertificateFillCase{"unstructured_without_marker",
                            "CN=x,unstructuredName=KPP 1",
                            OwnerType::None,
                            {{"edtINN", "000000000000"}}},
        CertificateFillCase{"template_keys_ignored",
                            "CN=x,Email=a@b.ru,title=Директор",
                            OwnerType::None,
                            {{"edtINN", "000000000000"}}}),
    [](const auto& p) { return std::string(p.param.name); });

struct TemplateFillCase {
    const char* name;
    std::string subject;
    std::optional<std::string> businessCategory;
    OwnerType owner;
    Fields fields;
    std::optional<std::string> extraCategory;
};

class TemplateFillTable : public ::testing::TestWithParam<TemplateFillCase> {};

TEST_P(TemplateFillTable, MapsTheSubject) {
    const TemplateFillCase& c = GetParam();
    std::optional<std::string> category;
    if (c.businessCategory)
        category = Ansi(*c.businessCategory);
    const SubjectFill fill = FillFromTemplateSubject(Ansi(c.subject), category);
    EXPECT_EQ(fill.ownerType, c.owner);
    EXPECT_EQ(fill.assignments, Expected(c.fields, c.extraCategory));
}

INSTANTIATE_TEST_SUITE_P(
    Template, TemplateFillTable,
    ::testing::Values(
        TemplateFillCase{"no_subject", "", std::nullopt, OwnerType::Entrepreneur, {}, {}},
        TemplateFillCase{"legal",
                         "CN=ООО Ромашка,INN=007701234567,Email=a@b.ru,title=Директор,E=x,T=y,"
                         "GN=Иван Иванович,unstructuredName=INN=7701234567/КПП=770101001",
                         std::nullopt,
                         OwnerType::LegalEntity,
                         {{"edtINN", "007701234567"},
                          {"edtGN1", "Иван"},
                          {"edtGN2", "Иванович"},
                          {"edtEMAIL", "a@b.ru"},
                          {"dbeCategory", "Директор"},
                          {"edtKPP", "70101001"}},
                         {}},
        TemplateFillCase{"ten_digit_inn_unpadded",
                         "INN=7701234567",
                         std::nullopt,
                         OwnerType::Entrepreneur,
                         {{"edtINN", "7701234567"}},
                         {}},
        TemplateFillCase{"kpp_drops_first_character",
                         "unstructuredName=КПП=123456789",
                         std::nullopt,
                         OwnerType::Entrepreneur,
                         {{"edtKPP", "23456789"}},
                         {}},
        TemplateFillCase{"kpp_marker_at_end",
                         "unstructuredName=КПП=",
                         std::nullopt,
                         OwnerType::Entrepreneur,
                         {{"edtKPP", ""}},
                         {}},
        TemplateFillCase{"business_category_fallback",
                         "INN=001234567890",
                         "Бухгалтер",
                         OwnerType::LegalEntity,
                         {{"edtINN", "001234567890"}},
                         "Бухгалтер"},
        TemplateFillCase{"blank_title_takes_fallback",
                         "title= ",
                         "Бухгалтер",
                         OwnerType::Entrepreneur,
                         {{"dbeCategory", " "}},
                         "Бухгалтер"},
        TemplateFillCase{"alt_name_without_category", "", "", OwnerType::Entrepreneur, {}, ""},
        TemplateFillCase{"title_wins_over_category",
                         "title=Директор",
                         "Бухгалтер",
                         OwnerType::Entrepreneur,
                         {{"dbeCategory", "Директор"}},
                         {}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace certdesk
