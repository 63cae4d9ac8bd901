#include "platform/NamedMutex.h"

#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"

#include <cwchar>

namespace Orvanta::Deskweave {

NamedMutex::NamedMutex(const wchar_t* name) : name_{}, lastError_(0), owned_(false)
{
    wcsncpy_s(name_, _countof(name_), name, _TRUNCATE);

    // The kernel copies the descriptor into the object, so it need not outlive the call. Without one
    // (allocation failed) the mutex simply gets default security.
    UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = TRUE;

    handle_.reset(CreateMutexW(&attributes, TRUE, name_));
    lastError_ = GetLastError();
    owned_ = (lastError_ == 0);
}

NamedMutex::~NamedMutex()
{
    // Released here; the handle is closed by its owner after.
    if (handle_ && owned_) {
        ReleaseMutex(handle_.get());
        owned_ = false;
    }
}

} // namespace Orvanta::Deskweave
