// Who a certificate is for: the selected index of the window's owner-type radio group.
#pragma once

namespace certdesk {

enum class OwnerType { None = -1, LegalEntity = 0, Entrepreneur = 1 };

}  // namespace certdesk
