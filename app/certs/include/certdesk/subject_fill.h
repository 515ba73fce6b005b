// What a fill from a certificate or an XML template puts into the subject form: the owner type
// and the (control, value) assignments in the order the fill applies them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "certdesk/owner_type.h"

namespace certdesk {

struct FieldAssignment {
    std::string control;  // edtINN, edtSN, edtGN1, edtGN2, edtSNILS, edtOGRN, edtEMAIL, edtO, edtL,
                          // edtST, edtOU, dbeCategory, edtStreet, edtKPP
    std::string value;
    bool operator==(const FieldAssignment&) const = default;
};

struct SubjectFill {
    // Set before any field; None leaves no owner type chosen.
    OwnerType ownerType = OwnerType::None;
    std::vector<FieldAssignment> assignments;
};

// From a certificate's subject string (keys E and T). The form is cleared before this applies.
SubjectFill FillFromCertificateSubject(const std::string& subject);

// From a template's "subject" text (keys Email and title). altNameBusinessCategory is present
// when the template has "subjectAltName", holding the text of its "businessCategory" ("" when
// that is absent); it fills Должность when the subject left it blank.
SubjectFill FillFromTemplateSubject(const std::string& subject,
                                    const std::optional<std::string>& altNameBusinessCategory);

}  // namespace certdesk
