#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// A Win32 event that traces every operation. Create and Close are called by the owner before other
// threads use the event and after they are done; Set, Reset and Wait may then come from any thread.
// Every operation on a wrapper without a handle fails softly and says so in the trace.
class Event
{
public:
    Event() = default;
    ~Event();

    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // True when the wrapper holds a handle afterwards. An open wrapper keeps its handle unchanged.
    bool Create(const wchar_t* name, BOOL manualReset, BOOL initialState, SECURITY_ATTRIBUTES* attributes);
    // As Create, with a descriptor that lets every user open the event and an inheritable handle.
    bool CreateEveryOneAllowed(const wchar_t* name, BOOL manualReset, BOOL initialState);
    bool Set();
    bool Reset();
    // Waits without a time limit; false without a handle or when the wait fails.
    bool Wait();
    // As Wait, but a signal of `stop` also ends the wait (then false); a null `stop` is not waited on.
    bool WaitUnless(HANDLE stop);
    void Close();

    HANDLE Handle() const { return handle_.get(); }
    const std::wstring& Name() const { return name_; }

private:
    std::wstring name_;
    UniqueHandle handle_;
};

} // namespace Orvanta::Deskweave
