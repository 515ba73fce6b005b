#include "cert_request_window.h"

namespace certdesk {

void TfCertRequestAlt::BindInstallAndSignHandlers() {}

}  // namespace certdesk
