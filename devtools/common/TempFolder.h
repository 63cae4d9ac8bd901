#pragma once

#include <string>

namespace HalyardDev {

// A fresh folder under this process's temporary path, deleted with everything in it at the end.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();

    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Unique within the machine for the life of this process: for names of folders, keys and objects.
std::wstring UniqueSuffix();

} // namespace HalyardDev
