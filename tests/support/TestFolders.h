#pragma once

#include "devtools/common/DevFiles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace HalyardTest {

using namespace HalyardDev;

// Registers a routine that "<test binary> --child NAME" runs in place of the tests.
struct ChildRoutine {
    ChildRoutine(const char* name, int (*routine)());
};

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

// Points the development stand-ins started by this process (children inherit the variable) at a
// fresh record folder for the life of a test.
class StandInRecords
{
public:
    StandInRecords();
    ~StandInRecords();
    StandInRecords(const StandInRecords&) = delete;
    StandInRecords& operator=(const StandInRecords&) = delete;

    // The lines of a record file once it holds at least `count` of them (or whatever it holds after 5 s).
    std::vector<std::string> WaitForLines(const wchar_t* file, size_t count) const;

private:
    TempFolder folder_;
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
