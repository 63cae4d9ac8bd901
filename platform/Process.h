#pragma once

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// Starts a child program and lets it go: the child is never waited for or watched.
class Process
{
public:
    // command: a bare file name, started from the folder of the running executable by full path (so a
    // program of that name in the current directory or on PATH is never started), or a full path.
    explicit Process(const std::wstring& command);

    // Starts "\"command\" arguments" (no blank and nothing after the quote when arguments are empty).
    // Returns 0, or the Win32 error code of the failed start; never throws for a failed start.
    DWORD Create(const std::wstring& arguments);

private:
    std::wstring command_;
};

} // namespace Orvanta::Deskweave
