#include "platform/Event.h"

#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"
#include "trace/Trace.h"

namespace Orvanta::Deskweave {
namespace {
const wchar_t kCreateTag[] = L"Orvanta::Deskweave::Event::Create";
const wchar_t kCreateEveryOneAllowedTag[] = L"Orvanta::Deskweave::Event::CreateEveryOneAllowed";
const wchar_t kCloseTag[] = L"Orvanta::Deskweave::Event::Close";
const wchar_t kSetTag[] = L"Orvanta::Deskweave::Event::Set";
const wchar_t kResetTag[] = L"Orvanta::Deskweave::Event::Reset";
const wchar_t kWaitTag[] = L"Orvanta::Deskweave::Event::Wait";
} // namespace

Event::~Event()
{
    Close();
}

bool Event::Create(const wchar_t* name, BOOL manualReset, BOOL initialState, SECURITY_ATTRIBUTES* attributes)
{
    Trace(L"%s:: Event = %s\n", kCreateTag, name);
    SetLastError(0);
    if (handle_ != nullptr) {
        return true;
    }
    if (name != nullptr) {
        name_ = name;
    }
    // An existing event of the same name is opened; that is how every agent shares one terminate event.
    handle_ = CreateEventW(attributes, manualReset, initialState, name);
    if (handle_ == nullptr) {
        Trace(L"%s:: CreateEvent returned = %d\n", kCreateTag, GetLastError());
    }
    return handle_ != nullptr;
}

bool Event::CreateEveryOneAllowed(const wchar_t* name, BOOL manualReset, BOOL initialState)
{
    Trace(L"%s:: Event = %s\n", kCreateEveryOneAllowedTag, name);
    UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = TRUE;
    return Create(name, manualReset, initialState, &attributes);
}

bool Event::Set()
{
    Trace(L"%s:: Enter\n", kSetTag);
    SetLastError(0);
    if (handle_ != nullptr && SetEvent(handle_)) {
        return true;
    }
    Trace(L"%s:: SetEvent returned = %d\n", kSetTag, GetLastError());
    return false;
}

bool Event::Reset()
{
    Trace(L"%s:: Enter\n", kResetTag);
    SetLastError(0);
    if (handle_ != nullptr && ResetEvent(handle_)) {
        return true;
    }
    Trace(L"%s:: ResetEvent returned = %d\n", kResetTag, GetLastError());
    return false;
}

bool Event::Wait()
{
    Trace(L"%s:: Enter\n", kWaitTag);
    if (handle_ == nullptr) {
        Trace(L"%s:: Wait on null event\n", kWaitTag);
        return false;
    }
    const DWORD result = WaitForSingleObjectEx(handle_, INFINITE, FALSE);
    if (result == WAIT_FAILED) {
        Trace(L"%s:: WaitForSingleObjectEx returned = %d\n", kWaitTag, GetLastError());
    }
    return result == WAIT_OBJECT_0;
}

void Event::Close()
{
    Trace(L"%s:: Enter\n", kCloseTag);
    if (handle_ != nullptr) {
        if (!CloseHandle(handle_)) {
            Trace(L"%s:: CloseHandle returned = %d\n", kCloseTag, GetLastError());
        }
        handle_ = nullptr;
    }
}

} // namespace Orvanta::Deskweave
