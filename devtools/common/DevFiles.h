#pragma once

#include <windows.h>

#include <string>
#include <vector>

// File and process helpers shared by the tests, the benchmarks and the development tools.
namespace HalyardDev {

// A fresh folder under the process's temporary path, deleted with everything in it at the end.
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

void DeleteTree(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Reads a file that another process may still be writing.
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// File names in a folder matching a pattern ("*" for all), sorted ordinally.
std::vector<std::wstring> ListFolder(const std::wstring& folder, const std::wstring& pattern = L"*");

// The folder of the running executable, where the agent, the stand-ins and the tools are built.
std::wstring BinaryFolder();
std::wstring UniqueSuffix();

// Starts a command line and waits for it; its exit code, or the Win32 error of the failed start.
DWORD RunAndWait(const std::wstring& commandLine);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

} // namespace HalyardDev
