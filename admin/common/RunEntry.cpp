#include "admin/common/RunEntry.h"

#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <vector>

namespace Orvanta::Deskweave {
namespace {

// A string value of any length in one view of the registry; REG_EXPAND_SZ expanded, as Explorer
// expands it.
LONG ReadCommand(REGSAM view, std::wstring& command)
{
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE | view, &opened);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const UniqueHkey key(opened);
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    error = RegQueryValueExW(key.get(), kRunValue, nullptr, &type, nullptr, &bytes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return ERROR_UNSUPPORTED_TYPE;
    }
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    error = RegQueryValueExW(key.get(), kRunValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    command.assign(data.data(), wcsnlen(data.data(), data.size()));
    if (type == REG_EXPAND_SZ) {
        std::vector<wchar_t> expanded(32768, L'\0');
        if (ExpandEnvironmentStringsW(command.c_str(), expanded.data(), static_cast<DWORD>(expanded.size())) != 0) {
            command = expanded.data();
        }
    }
    return command.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// Task Manager writes the entry's name as a binary value, 12 bytes as it writes them (a first byte, then
// when), which Explorer reads by the first byte's lowest bit alone: set (03, 07) is off, clear (02, 06)
// is on, whatever follows and however long it is; no value means on. The switch of the machine's entries
// is the machine's: a user's own StartupApproved keeps the state of the user's own Run key only.
bool SwitchedOff(const wchar_t* approvalKey)
{
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, approvalKey, kRunValue, RRF_RT_REG_BINARY, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes == 0) {
        return false;
    }
    std::vector<BYTE> data(bytes);
    return RegGetValueW(HKEY_LOCAL_MACHINE, approvalKey, kRunValue, RRF_RT_REG_BINARY, nullptr, data.data(), &bytes) ==
               ERROR_SUCCESS &&
           bytes > 0 && (data[0] & 0x01) != 0;
}

// The file that a candidate names as CreateProcessW takes it: ".exe" added when its last part has no
// extension; a name without a folder looked for where Explorer, which runs the Run key, finds it (its
// own folder, the system folders, PATH). Empty when there is no such file.
std::wstring ExistingProgram(std::wstring name)
{
    const size_t folder = name.find_last_of(L"\\/");
    if (name.find(L'.', folder == std::wstring::npos ? 0 : folder) == std::wstring::npos) {
        name += L".exe";
    }
    if (folder == std::wstring::npos && name.find(L':') == std::wstring::npos) {
        wchar_t windows[MAX_PATH] = {};
        wchar_t system[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        GetSystemDirectoryW(system, MAX_PATH);
        std::vector<wchar_t> path(32768, L'\0');
        GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
        const std::wstring where =
            std::wstring(windows) + L";" + system + L";" + windows + L"\\system;" + windows + L";" + path.data();
        wchar_t found[MAX_PATH] = {};
        const DWORD length = SearchPathW(where.c_str(), name.c_str(), nullptr, MAX_PATH, found, nullptr);
        if (length == 0 || length >= MAX_PATH) {
            return {};
        }
        name = found;
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? name : L"";
}

} // namespace

RunEntry RunEntry::Read()
{
    RunEntry entry;
    entry.approvalKey = kStartupApprovedRunKey;
    entry.error = static_cast<DWORD>(ReadCommand(KEY_WOW64_64KEY, entry.command));
    if (entry.error != ERROR_SUCCESS && ReadCommand(KEY_WOW64_32KEY, entry.command) == ERROR_SUCCESS) {
        entry.error = ERROR_SUCCESS;
        entry.only32Bit = true;
        entry.approvalKey = kStartupApprovedRun32Key;
    }
    if (entry.error != ERROR_SUCCESS) {
        return entry;
    }
    entry.switchedOff = SwitchedOff(entry.approvalKey.c_str());
    DWORD policy = 0;
    DWORD bytes = sizeof(policy);
    entry.disabledByPolicy = RegGetValueW(HKEY_LOCAL_MACHINE, kExplorerPolicyKey, kDisableMachineRunValue,
                                          RRF_RT_REG_DWORD, nullptr, &policy, &bytes) == ERROR_SUCCESS &&
                             policy != 0;

    // The quoted first token; else each text before a blank in turn, then the whole line: the first
    // that names an existing program runs.
    const std::wstring line = entry.command.substr(entry.command.find_first_not_of(L" \t") == std::wstring::npos
                                                       ? entry.command.size()
                                                       : entry.command.find_first_not_of(L" \t"));
    if (!line.empty() && line[0] == L'"') {
        entry.quoted = true;
        const size_t end = line.find(L'"', 1);
        entry.program = ExistingProgram(line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1));
        return entry;
    }
    for (size_t blank = line.find_first_of(L" \t");; blank = line.find_first_of(L" \t", blank + 1)) {
        entry.program = ExistingProgram(line.substr(0, blank));
        if (!entry.program.empty() || blank == std::wstring::npos) {
            break;
        }
    }
    entry.blanks = entry.program.find(L' ') != std::wstring::npos;
    return entry;
}

} // namespace Orvanta::Deskweave
