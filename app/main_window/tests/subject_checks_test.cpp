#include "certdesk/subject_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "certdesk/codec.h"

namespace certdesk {
namespace {

struct ValidityCase {
    const char* text;  // UTF-8
    bool valid;
};

std::string Show(const ValidityCase& c) {
    return std::string("\"") + c.text + "\"";
}
void PrintTo(const ValidityCase& c, std::ostream* os) {
    *os << Show(c);
}

class InnTest : public ::testing::TestWithParam<ValidityCase> {};
TEST_P(InnTest, ChecksDigits) {
    EXPECT_EQ(IsValidINN(Ansi(GetParam().text)), GetParam().valid) << Show(GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Published, InnTest,
    ::testing::Values(
        // Sberbank, Gazprom, Yandex, Rosneft, Lukoil, Aeroflot
        ValidityCase{"7707083893", true}, ValidityCase{"7736050003", true},
        ValidityCase{"7736207543", true}, ValidityCase{"7706107510", true},
        ValidityCase{"7708004767", true}, ValidityCase{"7712040126", true},
        ValidityCase{"500100732259", true},
        // one digit off: the check digit, a weighted digit, each of the two person's checks
        ValidityCase{"7707083894", false}, ValidityCase{"7707093893", false},
        ValidityCase{"500100732258", false}, ValidityCase{"500100732269", false},
        ValidityCase{"500100742259", false},
        // other lengths, padding and non-digits
        ValidityCase{"", false}, ValidityCase{"770708389", false},
        ValidityCase{"77070838930", false}, ValidityCase{"0077070838930", false},
        ValidityCase{"007707083893", false}, ValidityCase{" 7707083893", false},
        ValidityCase{"77070838 3", false}, ValidityCase{"77070.3893", false},
        ValidityCase{"5001007322А9", false}));

class OgrnTest : public ::testing::TestWithParam<ValidityCase> {};
TEST_P(OgrnTest, ChecksRemainderOfEleven) {
    EXPECT_EQ(IsValidOGRN(Ansi(GetParam().text)), GetParam().valid) << Show(GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Published, OgrnTest,
    ::testing::Values(
        // Sberbank, Gazprom, Yandex, Rosneft, Lukoil, Aeroflot
        ValidityCase{"1027700132195", true}, ValidityCase{"1027700070518", true},
        ValidityCase{"1027700229193", true}, ValidityCase{"1027700043502", true},
        ValidityCase{"1027700035769", true}, ValidityCase{"1027700092661", true},
        // remainder 10 counts as 0: 100000000000 mod 11 = 10
        ValidityCase{"1000000000000", true}, ValidityCase{"1000000000001", false},
        ValidityCase{"1027700132196", false}, ValidityCase{"1027700133195", false},
        ValidityCase{"102770013219", false}, ValidityCase{"10277001321950", false},
        ValidityCase{"102770013219A", false}, ValidityCase{"", false},
        ValidityCase{"304500116000157", false}));

class OgrnipTest : public ::testing::TestWithParam<ValidityCase> {};
TEST_P(OgrnipTest, ChecksRemainderOfThirteen) {
    EXPECT_EQ(IsValidOGRNIP(Ansi(GetParam().text)), GetParam().valid) << Show(GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Published, OgrnipTest,
    ::testing::Values(ValidityCase{"304500116000157", true}, ValidityCase{"316861700133226", true},
                      ValidityCase{"304500116000158", false},
                      ValidityCase{"304500117000157", false}, ValidityCase{"30450011600015", false},
                      ValidityCase{"3045001160001570", false},
                      ValidityCase{"30450011600015X", false}, ValidityCase{"", false},
                      ValidityCase{"1027700132195", false}));

class SnilsTest : public ::testing::TestWithParam<ValidityCase> {};
TEST_P(SnilsTest, ChecksWeightedSum) {
    EXPECT_EQ(IsValidSNILS(Ansi(GetParam().text)), GetParam().valid) << Show(GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    SumsAndForms, SnilsTest,
    ::testing::Values(
        // sum 95: the check number is the sum itself
        ValidityCase{"11223344595", true}, ValidityCase{"11223344594", false},
        ValidityCase{"11223345595", false},
        // sums of 100 and 101 need 00
        ValidityCase{"40210248800", true}, ValidityCase{"40210248801", false},
        ValidityCase{"40210248899", false}, ValidityCase{"14114170200", true},
        ValidityCase{"14114170201", false},
        // sum 165 gives 64
        ValidityCase{"12345678964", true}, ValidityCase{"12345678965", false},
        // the written form with any separators
        ValidityCase{"112-233-445 95", true}, ValidityCase{"112.233.445.95", true},
        ValidityCase{"112x233Я445+95", true}, ValidityCase{"112-233-445 96", false},
        ValidityCase{"402-102-488 00", true},
        // other lengths
        ValidityCase{"", false}, ValidityCase{"1122334459", false},
        ValidityCase{"112233445950", false}, ValidityCase{"112-233-445 9", false},
        // no digit test: a character is worth its distance from "0" modulo 256
        ValidityCase{"00000000:10", true},    // ":" is worth 10
        ValidityCase{"00000000/53", true},    // "/" is worth 255; 255 mod 101 = 53
        ValidityCase{"000000004J0", true}));  // "J" is worth 26; 260 mod 256 = 4

class EmailTest : public ::testing::TestWithParam<ValidityCase> {};
TEST_P(EmailTest, ChecksForm) {
    EXPECT_EQ(IsValidEmail(Ansi(GetParam().text)), GetParam().valid) << Show(GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Forms, EmailTest,
    ::testing::Values(ValidityCase{"a@b", true}, ValidityCase{"ivanov@mail.ru", true},
                      ValidityCase{"a@b@c", true}, ValidityCase{"ёлка@почта", false},
                      ValidityCase{"ё@Ё", true}, ValidityCase{"@mail.ru", false},
                      ValidityCase{"ivanov@", false}, ValidityCase{"@", false},
                      ValidityCase{"", false}, ValidityCase{"ivanov.mail.ru", false},
                      ValidityCase{"iva nov@mail.ru", false}, ValidityCase{"a@b ", false},
                      ValidityCase{"a@b\n", false}, ValidityCase{"a@b\r", false},
                      ValidityCase{"a\a@b", false}, ValidityCase{"a\t@b", true},
                      ValidityCase{"иванов@mail.ru", false}, ValidityCase{"a@яндекс", false},
                      ValidityCase{"a@\xD0\x90", false}));

struct TransformCase {
    const char* input;  // UTF-8
    const char* expected;
};

void ExpectTransform(std::string (*transform)(std::string_view), const TransformCase& c) {
    EXPECT_EQ(Utf8FromAnsi(transform(Ansi(c.input))), c.expected) << "\"" << c.input << "\"";
}

class NormalizeSubjectTextTest : public ::testing::TestWithParam<TransformCase> {};
TEST_P(NormalizeSubjectTextTest, KeepsOnlyAcceptedCharacters) {
    ExpectTransform(NormalizeSubjectText, GetParam());
}
INSTANTIATE_TEST_SUITE_P(Cases, NormalizeSubjectTextTest,
                         ::testing::Values(TransformCase{"", ""}, TransformCase{"   ", ""},
                                           TransformCase{"ООО \"Ромашка\"", "ООО Ромашка"},
                                           TransformCase{"«Ромашка»", "Ромашка"},
                                           TransformCase{"Ёлкин ёжик", "Елкин ёжик"},
                                           TransformCase{"a,b , c", "a b c"},
                                           TransformCase{"  a \t\r\n b  ", "a b"},
                                           TransformCase{"№5/6+7&8'9", "5 6 7 8 9"},
                                           TransformCase{"(a)-b.c:d;e@f_g", "(a)-b.c:d;e@f_g"},
                                           TransformCase{"Київ", "Ки в"},
                                           TransformCase{"Straße", "Stra e"},
                                           TransformCase{"AZaz09АЯая", "AZaz09АЯая"}));

class NormalizeOrgNameTest : public ::testing::TestWithParam<TransformCase> {};
TEST_P(NormalizeOrgNameTest, SpellsOutPlus) {
    ExpectTransform(NormalizeOrgName, GetParam());
}
INSTANTIATE_TEST_SUITE_P(Cases, NormalizeOrgNameTest,
                         ::testing::Values(TransformCase{"ООО \"Ромашка\" +", "ООО Ромашка плюс"},
                                           TransformCase{"ООО \"Ромашка+\"", "ООО Ромашка плюс"},
                                           TransformCase{"A+B", "A плюс B"},
                                           TransformCase{"++", "плюс плюс"},
                                           TransformCase{"АО \"Ёж\"", "АО Еж"}));

class NormalizePositionTest : public ::testing::TestWithParam<TransformCase> {};
TEST_P(NormalizePositionTest, TurnsCommasIntoFullStops) {
    ExpectTransform(NormalizePosition, GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizePositionTest,
    ::testing::Values(TransformCase{"директор,бухгалтер", "директор.Бухгалтер"},
                      TransformCase{"директор,  бухгалтер", "директор.  Бухгалтер"},
                      TransformCase{"chief, accountant", "chief. Accountant"},
                      TransformCase{"a,ёж", "a.Ёж"}, TransformCase{"a,їжак", "a.Їжак"},
                      TransformCase{",,a", "..A"}, TransformCase{"a,", "a."},
                      TransformCase{"a,   ", "a.   "}, TransformCase{"a,1", "a.1"},
                      TransformCase{"a,\tb", "a.\tb"},
                      TransformCase{"без запятой", "без запятой"}));

TEST(InnValueTest, UndoesThePaddingOfALegalEntityOnly) {
    EXPECT_EQ(InnValue(" 007707083893 ", OwnerType::LegalEntity), "7707083893");
    EXPECT_EQ(InnValue("007707083893", OwnerType::Entrepreneur), "007707083893");
    EXPECT_EQ(InnValue("107707083893", OwnerType::LegalEntity), "107707083893");
    EXPECT_EQ(InnValue("00770708389", OwnerType::LegalEntity), "00770708389");
}

struct UnderlineCase {
    UnderlineRule rule;
    const char* text;
    bool marked;
    OwnerType owner;
    bool drawn;
};

class UnderlineTest : public ::testing::TestWithParam<UnderlineCase> {};
TEST_P(UnderlineTest, DecidesRequiredState) {
    const UnderlineCase& c = GetParam();
    EXPECT_EQ(DrawsRequiredState(c.rule, Ansi(c.text), c.marked, c.owner), c.drawn)
        << static_cast<int>(c.rule) << " \"" << c.text << "\"";
}
using R = UnderlineRule;
using O = OwnerType;
INSTANTIATE_TEST_SUITE_P(
    Rules, UnderlineTest,
    ::testing::Values(UnderlineCase{R::Blank, " \t", false, O::LegalEntity, true},
                      UnderlineCase{R::Blank, "Иванов", true, O::LegalEntity, false},
                      UnderlineCase{R::MarkedBlank, "", false, O::LegalEntity, false},
                      UnderlineCase{R::MarkedBlank, " ", true, O::LegalEntity, true},
                      UnderlineCase{R::MarkedBlank, "x", true, O::LegalEntity, false},
                      UnderlineCase{R::Snils, "", false, O::None, true},
                      UnderlineCase{R::Snils, " 11223344595 ", false, O::None, false},
                      UnderlineCase{R::Email, "", false, O::LegalEntity, false},
                      UnderlineCase{R::Email, "", true, O::LegalEntity, true},
                      UnderlineCase{R::Email, " a@b ", true, O::LegalEntity, false},
                      UnderlineCase{R::Ogrn, "", true, O::None, false},
                      UnderlineCase{R::Ogrn, "", false, O::LegalEntity, false},
                      UnderlineCase{R::Ogrn, "1027700132195", true, O::LegalEntity, false},
                      UnderlineCase{R::Ogrn, "1027700132195", true, O::Entrepreneur, true},
                      UnderlineCase{R::Ogrn, "304500116000157", true, O::Entrepreneur, false},
                      UnderlineCase{R::Ogrn, "304500116000157", true, O::LegalEntity, true},
                      UnderlineCase{R::Inn, "", true, O::LegalEntity, true},
                      UnderlineCase{R::Inn, "007707083893", true, O::LegalEntity, false},
                      UnderlineCase{R::Inn, "007707083893", true, O::Entrepreneur, true},
                      UnderlineCase{R::Inn, "500100732259", true, O::Entrepreneur, false},
                      UnderlineCase{R::Inn, "", false, O::LegalEntity, false},
                      UnderlineCase{R::Never, "", true, O::LegalEntity, false},
                      UnderlineCase{R::None, "", true, O::LegalEntity, false}));

// A legal entity's subject that passes every step.
SubjectTexts ValidLegalEntity() {
    SubjectTexts t;
    t.owner = OwnerType::LegalEntity;
    t.surname = Ansi("Иванов");
    t.givenName = Ansi("Иван Иванович");
    t.snils = Ansi("112-233-445 95");
    t.email = "ivanov@example.ru";
    t.position = Ansi("Генеральный директор");
    t.region = Ansi("77 г. Москва");
    t.town = Ansi("Москва");
    t.street = Ansi("ул. Вавилова, д. 19");
    t.orgName = Ansi("ПАО Сбербанк");
    t.department = Ansi("Руководство");
    t.ogrn = "1027700132195";
    t.inn = "007707083893";
    return t;
}

SubjectTexts ValidEntrepreneur() {
    SubjectTexts t = ValidLegalEntity();
    t.owner = OwnerType::Entrepreneur;
    t.position = Ansi("Индивидуальный предприниматель");
    t.orgName.clear();
    t.department.clear();
    t.ogrn = "304500116000157";
    t.inn = "500100732259";
    return t;
}

const char* const kQ = "Для выпуска КВАЛИФИЦИРОВАННОГО сертификата для ЮР лиц требуется указывать ";

std::string LengthMessage(const char* caption, int over) {
    return std::string("Длина поля ") + caption + " превосходит ограничение в  64 Пожалуйста " +
           "сократите на " + std::to_string(over) + " символов!";
}

struct StepCase {
    const char* name;
    std::function<SubjectTexts()> subject;
    std::string message;  // UTF-8
    std::optional<SubjectField> focus;
};

std::ostream& operator<<(std::ostream& os, const StepCase& c) {
    return os << c.name;
}

SubjectTexts LegalWith(const std::function<void(SubjectTexts&)>& change) {
    SubjectTexts t = ValidLegalEntity();
    change(t);
    return t;
}

SubjectTexts EntrepreneurWith(const std::function<void(SubjectTexts&)>& change) {
    SubjectTexts t = ValidEntrepreneur();
    change(t);
    return t;
}

using F = SubjectField;

std::vector<StepCase> StepCases() {
    const std::string q = kQ;
    return {
        {"NoOwnerType", [] { return LegalWith([](SubjectTexts& t) { t.owner = O::None; }); },
         "Не указан тип владельца сертификата!", F::OwnerType},
        {"InnMissing", [] { return LegalWith([](SubjectTexts& t) { t.inn = "  "; }); },
         "Укажите ИНН!", F::OwnerType},
        {"InnOfPersonForLegalEntity",
         [] { return LegalWith([](SubjectTexts& t) { t.inn = "500100732259"; }); },
         "Тип владельца сертификата не соответствует ИНН!", F::OwnerType},
        {"InnOfZero", [] { return LegalWith([](SubjectTexts& t) { t.inn = "0"; }); },
         "Тип владельца сертификата не соответствует ИНН!", F::OwnerType},
        {"InnOfLegalEntityForEntrepreneur",
         [] { return EntrepreneurWith([](SubjectTexts& t) { t.inn = "7707083893"; }); },
         "Тип владельца сертификата не соответствует ИНН!", F::OwnerType},
        {"SurnameBlank", [] { return LegalWith([](SubjectTexts& t) { t.surname = " "; }); },
         q + "Фамилия", F::Surname},
        {"GivenNameBlank", [] { return LegalWith([](SubjectTexts& t) { t.givenName = ""; }); },
         q + "Имя", F::GivenName},
        {"SnilsBlank", [] { return LegalWith([](SubjectTexts& t) { t.snils = "\t"; }); },
         q + "СНИЛС", F::Snils},
        {"SnilsWrong", [] { return LegalWith([](SubjectTexts& t) { t.snils = "11223344596"; }); },
         "Укажите правильное значение СНИЛС!", F::Snils},
        {"EmailEmpty", [] { return LegalWith([](SubjectTexts& t) { t.email = " "; }); },
         "Необходимо указать правильный e-mail", F::Email},
        {"EmailZero", [] { return LegalWith([](SubjectTexts& t) { t.email = " 0 "; }); },
         "Необходимо указать правильный e-mail", F::Email},
        {"EmailWithTrailingSpace",
         [] { return LegalWith([](SubjectTexts& t) { t.email = "a@b "; }); },
         "Необходимо указать правильный e-mail", F::Email},
        {"PositionOf65",
         [] { return LegalWith([](SubjectTexts& t) { t.position = std::string(65, 'x'); }); },
         LengthMessage("Должность", 1), F::Position},
        {"RegionBlank", [] { return LegalWith([](SubjectTexts& t) { t.region = ""; }); },
         "Заполните Область", F::Region},
        {"RegionOf70",
         [] { return LegalWith([](SubjectTexts& t) { t.region = std::string(70, 'x'); }); },
         LengthMessage("Область", 6), F::Region},
        {"TownBlank", [] { return LegalWith([](SubjectTexts& t) { t.town = " "; }); },
         "Заполните Город", F::Town},
        {"TownOf65",
         [] { return LegalWith([](SubjectTexts& t) { t.town = std::string(65, ' ') + "x"; }); },
         LengthMessage("Город", 2), F::Town},
        {"StreetBlank", [] { return LegalWith([](SubjectTexts& t) { t.street = ""; }); },
         q + "Улица, дом", F::Street},
        {"OrgNameBlank", [] { return LegalWith([](SubjectTexts& t) { t.orgName = " "; }); },
         "Заполните Наименование", F::OrgName},
        {"OrgNameOf100",
         [] { return LegalWith([](SubjectTexts& t) { t.orgName = std::string(100, 'x'); }); },
         LengthMessage("Наименование", 36), F::OrgName},
        {"DepartmentOf65",
         [] { return LegalWith([](SubjectTexts& t) { t.department = std::string(65, 'x'); }); },
         LengthMessage("Отдел / Обособленное подразделение", 1), F::Department},
        {"PositionNormalisedAway",
         [] { return LegalWith([](SubjectTexts& t) { t.position = "\"/+\""; }); }, q + "Должность",
         F::Position},
        {"OgrnBlank", [] { return LegalWith([](SubjectTexts& t) { t.ogrn = " "; }); },
         q + "ОГРН (ИП)", std::nullopt},
        {"OgrnWrong", [] { return LegalWith([](SubjectTexts& t) { t.ogrn = "1027700132196"; }); },
         "Укажите правильный ОГРН(ИП)!", F::Ogrn},
        {"OgrnipForLegalEntity",
         [] { return LegalWith([](SubjectTexts& t) { t.ogrn = "304500116000157"; }); },
         "Укажите правильный ОГРН(ИП)!", F::Ogrn},
        {"OgrnForEntrepreneur",
         [] { return EntrepreneurWith([](SubjectTexts& t) { t.ogrn = "1027700132195"; }); },
         "Укажите правильный ОГРН(ИП)!", F::Ogrn},
        {"InnWrong", [] { return LegalWith([](SubjectTexts& t) { t.inn = "7707083894"; }); },
         "Укажите правильное значение ИНН!", F::Inn},
        {"PaddedInnForEntrepreneur",
         [] { return EntrepreneurWith([](SubjectTexts& t) { t.inn = "007707083893"; }); },
         "Укажите правильное значение ИНН!", F::Inn},
    };
}

class CheckSubjectStepTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(CheckSubjectStepTest, FailsWithMessageAndFocus) {
    SubjectTexts t = GetParam().subject();
    try {
        CheckSubject(t);
        FAIL() << "no error";
    } catch (const SubjectCheckError& e) {
        EXPECT_EQ(Utf8FromAnsi(e.Message()), GetParam().message);
        EXPECT_EQ(e.Focus(), GetParam().focus);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, CheckSubjectStepTest, ::testing::ValuesIn(StepCases()),
                         [](const auto& stepInfo) { return std::string(stepInfo.param.name); });

TEST(CheckSubjectTest, PassesValidSubjectsAndNormalises) {
    for (SubjectTexts t : {ValidLegalEntity(), ValidEntrepreneur()})
        EXPECT_NO_THROW(CheckSubject(t));

    SubjectTexts t = ValidLegalEntity();
    t.orgName = Ansi("ООО \"Ромашка\" +");
    t.position = Ansi("директор,бухгалтер");
    t.region = Ansi(" 66  Свердловская, область ");
    t.department = Ansi("Отдел №1");
    t.street = Ansi("ул. \"Ленина\", 1");
    CheckSubject(t);
    EXPECT_EQ(Utf8FromAnsi(t.orgName), "ООО Ромашка плюс");
    EXPECT_EQ(Utf8FromAnsi(t.position), "директор.Бухгалтер");
    EXPECT_EQ(Utf8FromAnsi(t.region), "66 Свердловская область");
    EXPECT_EQ(Utf8FromAnsi(t.department), "Отдел 1");
    EXPECT_EQ(Utf8FromAnsi(t.street), "ул. \"Ленина\", 1");  // neither limited nor normalised
}

TEST(CheckSubjectTest, KeepsNormalisedTextsWhenALaterStepFails) {
    SubjectTexts t = ValidLegalEntity();
    t.position = Ansi("a,b");
    t.orgName = Ansi("«Ёж»+");
    t.ogrn = "1";
    EXPECT_THROW(CheckSubject(t), SubjectCheckError);
    EXPECT_EQ(Utf8FromAnsi(t.position), "a.B");
    EXPECT_EQ(Utf8FromAnsi(t.orgName), "Еж плюс");
    // The same check again finds the normalised texts and fails at the same step.
    EXPECT_THROW(CheckSubject(t), SubjectCheckError);
    EXPECT_EQ(Utf8FromAnsi(t.orgName), "Еж плюс");
}

TEST(CheckSubjectTest, LimitsCountUntrimmedCharactersUpTo64) {
    SubjectTexts t = ValidLegalEntity();
    t.position = std::string(60, 'x') + "    ";
    t.region = std::string(64, 'y');
    t.town = std::string(64, 'z');
    t.orgName = std::string(64, 'o');
    t.department = std::string(64, 'd');
    EXPECT_NO_THROW(CheckSubject(t));
    EXPECT_EQ(t.position, std::string(60, 'x'));
}

TEST(CheckSubjectTest, EmptiesEntrepreneursOrganisationSilently) {
    SubjectTexts t = ValidEntrepreneur();
    t.orgName = Ansi("ИП Иванов Иван Иванович");
    t.department = std::string(80, 'x');  // emptied before its length is looked at
    EXPECT_NO_THROW(CheckSubject(t));
    EXPECT_EQ(t.orgName, "");
    EXPECT_EQ(t.department, "");
}

TEST(CheckSubjectTest, AcceptsBlankPositionOfEntrepreneur) {
    SubjectTexts t = ValidEntrepreneur();
    t.position = "";
    EXPECT_NO_THROW(CheckSubject(t));
}

TEST(CheckSubjectTest, TakesPaddedInnOfLegalEntity) {
    for (const char* inn : {"7707083893", " 007707083893 "}) {
        SubjectTexts t = ValidLegalEntity();
        t.inn = inn;
        EXPECT_NO_THROW(CheckSubject(t)) << inn;
    }
}

}  // namespace
}  // namespace certdesk
