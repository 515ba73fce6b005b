#include "certdesk/subject_checks.h"

#include <array>
#include <cstdint>
#include <utility>

#include "certdesk/codec.h"

namespace certdesk {
namespace {

constexpr std::size_t kMaxSubjectLength = 64;

unsigned char Code(char c) {
    return static_cast<unsigned char>(c);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s) {
    for (char c : s)
        if (!IsDigit(c))
            return false;
    return true;
}

int DigitValue(char c) {
    return c - '0';
}

std::uint64_t NumberOf(std::string_view digits) {
    std::uint64_t n = 0;
    for (char c : digits)
        n = n * 10 + static_cast<std::uint64_t>(DigitValue(c));
    return n;
}

template <std::size_t N>
int WeightedSum(std::string_view digits, const std::array<int, N>& weights) {
    int sum = 0;
    for (std::size_t i = 0; i < N; ++i)
        sum += weights[i] * DigitValue(digits[i]);
    return sum;
}

int CheckDigit(int sum) {
    return sum % 11 % 10;
}

// Characters a subject text may keep; everything else becomes a space.
bool IsSubjectChar(unsigned char c) {
    if (c >= '0' && c <= '9')
        return true;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    if (c >= 0xC0)  // "А".."я"
        return true;
    switch (c) {
        case ' ':
        case '(':
        case ')':
        case ',':
        case '-':
        case '.':
        case ':':
        case ';':
        case '@':
        case '_':
        case 0xB8:  // "ё"
            return true;
        default:
            return false;
    }
}

// Upper case in the Windows-1251 code page, the Cyrillic letters of its upper half included.
char UpperCase(char ch) {
    const unsigned char c = Code(ch);
    if ((c >= 'a' && c <= 'z') || c >= 0xE0)
        return static_cast<char>(c - 0x20);
    static constexpr std::array<std::pair<unsigned char, unsigned char>, 15> kPairs{{
        {0x90, 0x80},
        {0x83, 0x81},
        {0x9A, 0x8A},
        {0x9C, 0x8C},
        {0x9D, 0x8D},
        {0x9E, 0x8E},
        {0x9F, 0x8F},
        {0xA2, 0xA1},
        {0xBC, 0xA3},
        {0xB4, 0xA5},
        {0xB8, 0xA8},
        {0xBA, 0xAA},
        {0xBF, 0xAF},
        {0xB3, 0xB2},
        {0xBE, 0xBD},
    }};
    for (auto [lower, upper] : kPairs)
        if (c == lower)
            return static_cast<char>(upper);
    return ch;
}

[[noreturn]] void Fail(const std::string& message, std::optional<SubjectField> focus) {
    throw SubjectCheckError(message, focus);
}

std::string Required(const char* caption) {
    return Ansi("Для выпуска КВАЛИФИЦИРОВАННОГО сертификата для ЮР лиц требуется указывать ") +
           Ansi(caption);
}

[[noreturn]] void FailRequired(const char* caption, SubjectField focus) {
    Fail(Required(caption), focus);
}

[[noreturn]] void FailLength(const char* caption, std::size_t length, SubjectField focus) {
    Fail(Ansi("Длина поля ") + Ansi(caption) + Ansi(" превосходит ограничение в  ") +
             std::to_string(kMaxSubjectLength) + Ansi(" Пожалуйста сократите на ") +
             std::to_string(length - kMaxSubjectLength) + Ansi(" символов!"),
         focus);
}

// Область and Город: required, limited and normalised alike.
void CheckPlace(std::string& text, const char* caption, SubjectField field) {
    if (IsBlank(text))
        Fail(Ansi("Заполните ") + Ansi(caption), field);
    if (text.size() > kMaxSubjectLength)
        FailLength(caption, text.size(), field);
    text = NormalizeSubjectText(text);
}

}  // namespace

std::string TrimBlanks(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && Code(s[begin]) <= 32)
        ++begin;
    while (end > begin && Code(s[end - 1]) <= 32)
        --end;
    return std::string(s.substr(begin, end - begin));
}

bool IsBlank(std::string_view s) {
    for (char c : s)
        if (Code(c) > 32)
            return false;
    return true;
}

bool IsValidINN(std::string_view s) {
    if (!AllDigits(s))
        return false;
    if (s.size() == 10) {
        static constexpr std::array<int, 9> kWeights{2, 4, 10, 3, 5, 9, 4, 6, 8};
        return CheckDigit(WeightedSum(s, kWeights)) == DigitValue(s[9]);
    }
    if (s.size() == 12) {
        static constexpr std::array<int, 10> kWeights11{7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
        static constexpr std::array<int, 11> kWeights12{3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
        return CheckDigit(WeightedSum(s, kWeights11)) == DigitValue(s[10]) &&
               CheckDigit(WeightedSum(s, kWeights12)) == DigitValue(s[11]);
    }
    return false;
}

bool IsValidOGRN(std::string_view s) {
    if (s.size() != 13 || !AllDigits(s))
        return false;
    std::uint64_t r = NumberOf(s.substr(0, 12)) % 11;
    if (r == 10)
        r = 0;
    return r == static_cast<std::uint64_t>(DigitValue(s[12]));
}

bool IsValidOGRNIP(std::string_view s) {
    if (s.size() != 15 || !AllDigits(s))
        return false;
    return NumberOf(s.substr(0, 14)) % 13 % 10 == static_cast<std::uint64_t>(DigitValue(s[14]));
}

bool IsValidSNILS(std::string_view s) {
    // Positions (from 0) of the nine number digits and the two check digits.
    static constexpr std::array<std::size_t, 11> kWritten{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13};
    static constexpr std::array<std::size_t, 11> kPlain{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::array<std::size_t, 11>* positions = nullptr;
    if (s.size() == 14)
        positions = &kWritten;
    else if (s.size() == 11)
        positions = &kPlain;
    else
        return false;
    // No digit test: a character's value is its distance from "0", modulo 256.
    auto value = [&](std::size_t i) {
        return static_cast<int>(static_cast<unsigned char>(Code(s[(*positions)[i]]) - '0'));
    };
    int sum = 0;
    for (std::size_t i = 0; i < 9; ++i)
        sum += static_cast<int>(9 - i) * value(i);
    const int check = (10 * value(9) + value(10)) % 256;
    return sum % 101 % 100 == check;
}

bool IsValidEmail(std::string_view s) {
    const std::size_t at = s.find('@');
    if (at == std::string_view::npos || at == 0 || at == s.size() - 1)
        return false;
    for (char ch : s) {
        const unsigned char c = Code(ch);
        if (c == 7 || c == 10 || c == 13 || c == 32 || c >= 0xC0)
            return false;
    }
    return true;
}

std::string NormalizeSubjectText(std::string_view s) {
    std::string kept(s);
    for (char& ch : kept) {
        if (Code(ch) == 0xA8)  // "Ё" -> "Е"
            ch = static_cast<char>(0xC5);
        if (!IsSubjectChar(Code(ch)) || ch == ',')
            ch = ' ';
    }
    const std::string trimmed = TrimBlanks(kept);
    std::string out;
    out.reserve(trimmed.size());
    for (char ch : trimmed)
        if (ch != ' ' || out.empty() || out.back() != ' ')
            out.push_back(ch);
    return out;
}

std::string NormalizeOrgName(std::string_view s) {
    const std::string plus = Ansi(" плюс ");
    std::string expanded;
    for (char ch : s) {
        if (ch == '+')
            expanded += plus;
        else
            expanded.push_back(ch);
    }
    return NormalizeSubjectText(expanded);
}

std::string NormalizePosition(std::string_view s) {
    std::string out(s);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != ',')
            continue;
        out[i] = '.';
        std::size_t next = i + 1;
        while (next < out.size() && out[next] == ' ')
            ++next;
        if (next < out.size())
            out[next] = UpperCase(out[next]);
    }
    return out;
}

std::string InnValue(std::string_view innText, OwnerType owner) {
    std::string t = TrimBlanks(innText);
    if (owner == OwnerType::LegalEntity && t.size() == 12 && t[0] == '0' && t[1] == '0')
        t.erase(0, 2);
    return t;
}

bool DrawsRequiredState(UnderlineRule rule, std::string_view text, bool marked, OwnerType owner) {
    switch (rule) {
        case UnderlineRule::Blank:
            return IsBlank(text);
        case UnderlineRule::MarkedBlank:
            return marked && IsBlank(text);
        case UnderlineRule::Snils:
            return !IsValidSNILS(TrimBlanks(text));
        case UnderlineRule::Email:
            return marked && !IsValidEmail(TrimBlanks(text));
        case UnderlineRule::Ogrn:
            if (!marked)
                return false;
            if (owner == OwnerType::LegalEntity)
                return !IsValidOGRN(TrimBlanks(text));
            if (owner == OwnerType::Entrepreneur)
                return !IsValidOGRNIP(TrimBlanks(text));
            return false;
        case UnderlineRule::Inn:
            return marked && !IsValidINN(InnValue(text, owner));
        case UnderlineRule::None:
        case UnderlineRule::Never:
            return false;
    }
    return false;
}

void CheckSubject(SubjectTexts& t) {
    using F = SubjectField;
    if (t.owner == OwnerType::None)
        Fail(Ansi("Не указан тип владельца сертификата!"), F::OwnerType);
    const bool legal = t.owner == OwnerType::LegalEntity;

    const std::string inn = InnValue(t.inn, t.owner);
    if (inn.size() != (legal ? 10u : 12u)) {
        Fail(inn.empty() ? Ansi("Укажите ИНН!")
                         : Ansi("Тип владельца сертификата не соответствует ИНН!"),
             F::OwnerType);
    }

    if (IsBlank(t.surname))
        FailRequired("Фамилия", F::Surname);
    if (IsBlank(t.givenName))
        FailRequired("Имя", F::GivenName);
    if (IsBlank(t.snils))
        FailRequired("СНИЛС", F::Snils);
    if (!IsValidSNILS(TrimBlanks(t.snils)))
        Fail(Ansi("Укажите правильное значение СНИЛС!"), F::Snils);

    const std::string email = TrimBlanks(t.email);
    if (email.empty() || email == "0" || !IsValidEmail(t.email))
        Fail(Ansi("Необходимо указать правильный e-mail"), F::Email);

    if (t.position.size() > kMaxSubjectLength)
        FailLength("Должность", t.position.size(), F::Position);
    t.position = NormalizeSubjectText(NormalizePosition(t.position));

    CheckPlace(t.region, "Область", F::Region);
    CheckPlace(t.town, "Город", F::Town);

    if (IsBlank(t.street))
        FailRequired("Улица, дом", F::Street);

    if (legal) {
        if (IsBlank(t.orgName))
            Fail(Ansi("Заполните ") + Ansi("Наименование"), F::OrgName);
        if (t.orgName.size() > kMaxSubjectLength)
            FailLength("Наименование", t.orgName.size(), F::OrgName);
        t.orgName = NormalizeOrgName(t.orgName);
    } else if (!IsBlank(t.orgName)) {
        t.orgName.clear();
    }

    if (!legal && !IsBlank(t.department))
        t.department.clear();
    if (t.department.size() > kMaxSubjectLength)
        FailLength("Отдел / Обособленное подразделение", t.department.size(), F::Department);
    t.department = NormalizeSubjectText(t.department);

    if (legal && IsBlank(t.position))
        FailRequired("Должность", F::Position);

    if (IsBlank(t.ogrn))  // the page and the focus stay as they are
        Fail(Required("ОГРН (ИП)"), std::nullopt);
    const std::string ogrn = TrimBlanks(t.ogrn);
    if (!(legal ? IsValidOGRN(ogrn) : IsValidOGRNIP(ogrn)))
        Fail(Ansi("Укажите правильный ОГРН(ИП)!"), F::Ogrn);

    if (!IsValidINN(inn))
        Fail(Ansi("Укажите правильное значение ИНН!"), F::Inn);
}

}  // namespace certdesk
