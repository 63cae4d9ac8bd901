#pragma once

#include <windows.h>

namespace Orvanta::Deskweave {

// A descriptor whose DACL is present and null: every user may open the object. The block comes from
// LocalAlloc and belongs to the caller (LocalFree); null on failure, with nothing left allocated.
PSECURITY_DESCRIPTOR CreateEveryOneAllowedSecurityDescriptor();

} // namespace Orvanta::Deskweave
