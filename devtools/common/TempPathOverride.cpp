#include "devtools/common/TempPathOverride.h"

#include <windows.h>

namespace HalyardDev {
namespace {

std::wstring GetVariable(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? value : L"";
}

void Restore(const wchar_t* name, const std::wstring& value)
{
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

} // namespace

TempPathOverride::TempPathOverride(const std::wstring& folder)
    : oldTmp_(GetVariable(L"TMP")), oldTemp_(GetVariable(L"TEMP"))
{
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

TempPathOverride::~TempPathOverride()
{
    Restore(L"TMP", oldTmp_);
    Restore(L"TEMP", oldTemp_);
}

} // namespace HalyardDev
