#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

namespace Orvanta::Deskweave {

// One registry key, opened for a short series of reads. Every result is the Win32 status of the
// system call, unchanged (0 on success); the class never traces and never throws. Values are read
// whatever their registry type.
class Registry
{
public:
    Registry() = default;

    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    ~Registry() = default;

    LONG Open(HKEY root, const wchar_t* subKey, REGSAM access);
    // size: in, the buffer's size in bytes; out, the number of characters read. On 234 (more data)
    // nothing may be taken from the buffer. type, when given, receives the value's registry type.
    LONG QueryStringValue(const wchar_t* valueName, wchar_t* buffer, ULONG& size, DWORD* type = nullptr);
    // Data shorter than 4 bytes fills the low bytes and leaves the rest 0; longer data gives 234.
    LONG QueryDWORDValue(const wchar_t* valueName, DWORD& value);
    void Close();

private:
    UniqueHkey key_;
};

} // namespace Orvanta::Deskweave
