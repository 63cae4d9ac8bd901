#include "devtools/common/TempPathOverride.h"
#include "devtools/common/Environment.h"

#include <windows.h>

namespace HalyardDev {
namespace {

void Restore(const wchar_t* name, const std::wstring& value)
{
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

} // namespace

TempPathOverride::TempPathOverride(const std::wstring& folder)
    : oldTmp_(EnvironmentVariable(L"TMP")), oldTemp_(EnvironmentVariable(L"TEMP"))
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
