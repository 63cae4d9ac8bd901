#include "admin/common/UserImpersonation.h"

namespace Orvanta::Deskweave {

UserImpersonation::UserImpersonation(HANDLE token)
{
    impersonating_ = token != nullptr && ImpersonateLoggedOnUser(token) != FALSE;
    error_ = impersonating_ ? 0 : token == nullptr ? static_cast<DWORD>(ERROR_NO_TOKEN) : GetLastError();
}

UserImpersonation::~UserImpersonation()
{
    if (impersonating_) {
        const DWORD lastError = GetLastError();
        RevertToSelf();
        SetLastError(lastError);
    }
}

} // namespace Orvanta::Deskweave
