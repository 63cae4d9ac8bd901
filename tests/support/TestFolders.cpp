#include "tests/support/TestFolders.h"

namespace HalyardTest {

namespace {
std::wstring GetVariable(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(name, value, MAX_PATH);
    return value;
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
    SetEnvironmentVariableW(L"TMP", oldTmp_.empty() ? nullptr : oldTmp_.c_str());
    SetEnvironmentVariableW(L"TEMP", oldTemp_.empty() ? nullptr : oldTemp_.c_str());
}

StandInRecords::StandInRecords()
{
    SetEnvironmentVariableW(L"HALYARD_STANDIN_DIR", folder_.Path().c_str());
}

StandInRecords::~StandInRecords()
{
    SetEnvironmentVariableW(L"HALYARD_STANDIN_DIR", nullptr);
}

std::vector<std::string> StandInRecords::WaitForLines(const wchar_t* file, size_t count) const
{
    std::vector<std::string> lines;
    for (int attempt = 0; attempt < 500 && lines.size() < count; ++attempt) {
        lines.clear();
        const std::string text = ReadFileBytes(folder_ / file);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        Sleep(lines.size() < count ? 10 : 0);
    }
    return lines;
}

TestRegistryKey::TestRegistryKey(HKEY root, const std::wstring& subKey) : root_(root), subKey_(subKey)
{
    RegDeleteTreeW(root_, subKey_.c_str());
    HKEY key = nullptr;
    RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (key != nullptr) {
        RegCloseKey(key);
    }
}

TestRegistryKey::~TestRegistryKey()
{
    RegDeleteTreeW(root_, subKey_.c_str());
}

void TestRegistryKey::SetBytes(const wchar_t* name, DWORD type, const std::string& bytes)
{
    RegSetKeyValueW(root_, subKey_.c_str(), name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void TestRegistryKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type)
{
    const auto* data = reinterpret_cast<const char*>(value.c_str());
    SetBytes(name, type, std::string(data, (value.size() + 1) * sizeof(wchar_t)));
}

void TestRegistryKey::SetDword(const wchar_t* name, DWORD value)
{
    SetBytes(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof(value)));
}

} // namespace HalyardTest
