// The user's personal certificates: the NSS database sql:$HOME/.pki/nssdb, which the desktop's
// programs share. A missing or unreadable database is an empty store.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "certdesk/cert_info.h"

namespace certdesk {

struct StoreCertificate {
    DecodedCertificate certificate;
    std::string der;
    // The columns of the selection list, Windows-1251.
    std::string issuedTo;
    std::string issuedBy;
    std::string validTo;  // dd.mm.yyyy
    std::string friendlyName;
};

std::filesystem::path PersonalStoreFolder();

// Every certificate of the store that decodes, in the database's order.
std::vector<StoreCertificate> ListStoreCertificates();

}  // namespace certdesk
