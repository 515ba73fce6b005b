// The subject rules of a qualified certificate request: check digits, the characters the CA
// accepts, and the ordered check that runs before a key pair is generated.
// All text is Windows-1251.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "certdesk/error.h"
#include "certdesk/owner_type.h"

namespace certdesk {

// Removes leading and trailing characters whose code is 32 or less.
std::string TrimBlanks(std::string_view s);
bool IsBlank(std::string_view s);

bool IsValidINN(std::string_view s);
bool IsValidOGRN(std::string_view s);
bool IsValidOGRNIP(std::string_view s);
bool IsValidSNILS(std::string_view s);
bool IsValidEmail(std::string_view s);

std::string NormalizeSubjectText(std::string_view s);
std::string NormalizeOrgName(std::string_view s);
std::string NormalizePosition(std::string_view s);

// The INN as checked: a legal entity's 10 digits padded with "00" on leaving the field come
// back without the padding.
std::string InnValue(std::string_view innText, OwnerType owner);

// Which rule decides that a field is drawn with the required underline.
enum class UnderlineRule { None, Blank, MarkedBlank, Snils, Email, Ogrn, Inn, Never };

bool DrawsRequiredState(UnderlineRule rule, std::string_view text, bool marked, OwnerType owner);

// The subject fields that the check reads, normalises and focuses.
enum class SubjectField {
    OwnerType,
    Surname,
    GivenName,
    Snils,
    Email,
    Position,
    Region,
    Town,
    Street,
    OrgName,
    Department,
    Ogrn,
    Inn
};

struct SubjectTexts {
    OwnerType owner = OwnerType::None;
    std::string surname;     // edtSN
    std::string givenName;   // edtGN1
    std::string snils;       // edtSNILS
    std::string email;       // edtEMAIL
    std::string position;    // dbeCategory
    std::string region;      // edtST
    std::string town;        // edtL
    std::string street;      // edtStreet
    std::string orgName;     // edtO
    std::string department;  // edtOU
    std::string ogrn;        // edtOGRN
    std::string inn;         // edtINN
};

// A failed subject check: the message, and the field to focus on the first page (none when the
// page and the focus are to stay as they are).
class SubjectCheckError : public Error {
  public:
    SubjectCheckError(const std::string& message, std::optional<SubjectField> focus)
        : Error(message), focus_(focus) {}
    std::optional<SubjectField> Focus() const { return focus_; }

  private:
    std::optional<SubjectField> focus_;
};

// Runs the checks in order and throws SubjectCheckError at the first failure. Normalised texts
// are written into texts as the steps go, and stay there when a later step fails.
void CheckSubject(SubjectTexts& texts);

}  // namespace certdesk
