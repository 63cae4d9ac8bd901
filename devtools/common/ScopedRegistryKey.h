#pragma once

#include <windows.h>

#include <string>

namespace HalyardDev {

// A registry key created fresh and deleted with its whole tree at both ends: for the machine policy
// and per-user settings that a test or benchmark sets for its own run.
class ScopedRegistryKey
{
public:
    ScopedRegistryKey(HKEY root, const std::wstring& subKey);
    ~ScopedRegistryKey();

    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

    const std::wstring& SubKey() const { return subKey_; }
    void SetBytes(const wchar_t* name, DWORD type, const std::string& bytes);
    // The text and its terminating NUL.
    void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    void SetDword(const wchar_t* name, DWORD value);
    // Removes the key itself, as if it had never been set.
    void Delete();

private:
    HKEY root_;
    std::wstring subKey_;
};

} // namespace HalyardDev
