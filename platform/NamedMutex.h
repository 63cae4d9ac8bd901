#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

namespace Orvanta::Deskweave {

// The instance guard: creates or opens a named mutex, asking for ownership. Owned only when the
// creation left no last error, so an existing name (183) and every failure leave it not owned.
// The destructor releases an owned mutex and closes the handle. Writes no trace lines.
class NamedMutex
{
public:
    explicit NamedMutex(const wchar_t* name);
    ~NamedMutex();

    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    bool IsOwned() const { return owned_; }
    DWORD LastError() const { return lastError_; }

private:
    wchar_t name_[MAX_PATH];
    UniqueHandle handle_;
    DWORD lastError_;
    bool owned_;
};

} // namespace Orvanta::Deskweave
