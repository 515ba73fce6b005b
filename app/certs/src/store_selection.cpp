#include "certdesk/store_selection.h"

#include <utility>
#include <vector>

namespace certdesk {

std::optional<StoreCertificate> SelectStoreCertificate(Dialogs& dialogs) {
    std::vector<StoreCertificate> store = ListStoreCertificates();
    std::vector<CertificateRow> rows;
    rows.reserve(store.size());
    for (const StoreCertificate& entry : store)
        rows.push_back({entry.issuedTo, entry.issuedBy, entry.validTo, entry.friendlyName});
    const int choice = dialogs.SelectCertificate(rows);
    if (choice < 1 || static_cast<std::size_t>(choice) > store.size())
        return std::nullopt;
    return std::move(store[static_cast<std::size_t>(choice) - 1]);
}

}  // namespace certdesk
