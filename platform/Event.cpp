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
    if (handle_) {
        return true;
    }
    if (name != nullptr) {
        name_ = name;
    }
    // An existing event of the same name is opened; that is how every agent shares one terminate event.
    handle_.reset(CreateEventW(attributes, manualReset, initialState, name));
    if (!handle_) {
        Trace(L"%s:: CreateEvent returned = %d\n", kCreateTag, GetLastError());
    }
    return static_cast<bool>(handle_);
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
    if (handle_ && SetEvent(handle_.get())) {
        return true;
    }
    Trace(L"%s:: SetEvent returned = %d\n", kSetTag, GetLastError());
    return false;
}

bool Event::Reset()
{
    Trace(L"%s:: Enter\n", kResetTag);
    SetLastError(0);
    if (handle_ && ResetEvent(handle_.get())) {
        return true;
    }
    Trace(L"%s:: ResetEvent returned = %d\n", kResetTag, GetLastError());
    return false;
}

bool Event::Wait()
{
    Trace(L"%s:: Enter\n", kWaitTag);
    if (!handle_) {
        Trace(L"%s:: Wait on null event\n", kWaitTag);
        return false;
    }
    const DWORD result = WaitForSingleObjectEx(handle_.get(), INFINITE, FALSE);
    if (result == WAIT_FAILED) {
        Trace(L"%s:: WaitForSingleObjectEx returned = %d\n", kWaitTag, GetLastError());
    }
    return result == WAIT_OBJECT_0;
}

bool Event::WaitUnless(HANDLE stop)
{
    if (stop == nullptr) {
        return Wait();
    }
    Trace(L"%s:: Enter\n", kWaitTag);
    if (!handle_) {
        Trace(L"%s:: Wait on null event\n", kWaitTag);
        return false;
    }
    // This event first: when both are signalled, the wait ended the way the owner hoped.
    const HANDLE handles[] = {handle_.get(), stop};
    const DWORD result = WaitForMultipleObjectsEx(_countof(handles), handles, FALSE, INFINITE, FALSE);
    if (result == WAIT_FAILED) {
        Trace(L"%s:: WaitForMultipleObjectsEx returned = %d\n", kWaitTag, GetLastError());
    }
    return result == WAIT_OBJECT_0;
}

void Event::Close()
{
    Trace(L"%s:: Enter\n", kCloseTag);
    if (handle_) {
        // Released by hand: the owner would keep the result of CloseHandle to itself.
        if (!CloseHandle(handle_.release())) {
            Trace(L"%s:: CloseHandle returned = %d\n", kCloseTag, GetLastError());
        }
    }
}

} // namespace Orvanta::Deskweave
