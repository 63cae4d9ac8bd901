#include "devtools/common/TempFolder.h"

#include "devtools/common/Files.h"

#include <windows.h>

#include <atomic>

namespace HalyardDev {

TempFolder::TempFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"halyard-" + UniqueSuffix();
    DeleteTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder()
{
    DeleteTree(path_);
}

std::wstring UniqueSuffix()
{
    static std::atomic<int> counter{0};
    return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

} // namespace HalyardDev
