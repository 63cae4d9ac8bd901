#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace HalyardTest {

// Registers a routine that "<test binary> --child NAME" runs in place of the tests.
struct ChildRoutine {
    ChildRoutine(const char* name, int (*routine)());
};

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
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// File names in a folder matching a pattern ("*" for all), sorted ordinally.
std::vector<std::wstring> ListFolder(const std::wstring& folder, const std::wstring& pattern = L"*");

// The folder of the running test binary, where the agent and the stand-ins are built.
std::wstring BinaryFolder();
std::wstring UniqueSuffix();

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// Points GetTempPathW of this process (and its children) at a folder; restores the old value at the end.
class TempPathOverride
{
public:
    explicit TempPathOverride(const std::wstring& folder);
    ~TempPathOverride();
    TempPathOverride(const TempPathOverride&) = delete;
    TempPathOverride& operator=(const TempPathOverride&) = delete;

private:
    std::wstring oldTmp_;
    std::wstring oldTemp_;
};

// A registry key created fresh for a test and deleted with its whole tree at both ends.
class TestRegistryKey
{
public:
    TestRegistryKey(HKEY root, const std::wstring& subKey);
    ~TestRegistryKey();
    TestRegistryKey(const TestRegistryKey&) = delete;
    TestRegistryKey& operator=(const TestRegistryKey&) = delete;

    const std::wstring& SubKey() const { return subKey_; }
    void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    void SetBytes(const wchar_t* name, DWORD type, const std::string& bytes);
    void SetDword(const wchar_t* name, DWORD value);

private:
    HKEY root_;
    std::wstring subKey_;
};

} // namespace HalyardTest
