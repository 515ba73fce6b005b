#include "cert_request_window.h"

namespace certdesk {

void TfCertRequestAlt::BindRequestAndFillHandlers() {}

}  // namespace certdesk
