#pragma once

#include <windows.h>

namespace Orvanta::Deskweave {

// A user's token impersonated by the calling thread for the owner's scope, so that what the thread reads
// it reads with that user's rights, and nothing more; on every way out of the scope the thread reverts
// to its own. A token that cannot be impersonated leaves the thread as it was: Impersonating() is false
// and Error() says why. The token must outlive the owner; the owner must end on the thread that made it.
class UserImpersonation
{
public:
    explicit UserImpersonation(HANDLE token);
    ~UserImpersonation();

    UserImpersonation(const UserImpersonation&) = delete;
    UserImpersonation& operator=(const UserImpersonation&) = delete;

    bool Impersonating() const { return impersonating_; }
    DWORD Error() const { return error_; }

private:
    bool impersonating_ = false;
    DWORD error_ = 0;
};

} // namespace Orvanta::Deskweave
