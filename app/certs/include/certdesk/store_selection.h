// Choosing one certificate of the personal store through the program's selection dialog.
#pragma once

#include <optional>

#include "certdesk/cert_store.h"
#include "certdesk/dialogs.h"

namespace certdesk {

// Shows every certificate of the store; nothing when the user cancels.
std::optional<StoreCertificate> SelectStoreCertificate(Dialogs& dialogs);

}  // namespace certdesk
