#include "devtools/common/Environment.h"

#include <windows.h>

namespace HalyardDev {

std::wstring EnvironmentVariable(const wchar_t* name)
{
    std::wstring value(MAX_PATH, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length >= value.size()) {
        // Too small: the length returned counts the terminator; the variable may change in between.
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    }
    value.resize(length < value.size() ? length : 0);
    return value;
}

} // namespace HalyardDev
