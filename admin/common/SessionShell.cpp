#include "admin/common/SessionShell.h"

#include "admin/common/FileIdentity.h"

#include <wtsapi32.h>

#include <algorithm>
#include <iterator>

namespace Orvanta::Deskweave {
namespace {

// Whether a process runs as the session's user: the name of its token's user, compared as Windows
// compares account names.
bool RunsAsSessionUser(HANDLE process, const Caller& caller)
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &opened)) {
        return false;
    }
    const UniqueHandle token(opened);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = _countof(name);
    DWORD domainLength = _countof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
        !LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name, &nameLength, domain,
                           &domainLength, &use)) {
        return false;
    }
    Caller owner = caller;
    owner.user = std::wstring(domain) + L"\\" + name;
    return owner.IsSessionUser();
}

bool IsElevated(HANDLE process)
{
    HANDLE opened = nullptr;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    if (!OpenProcessToken(process, TOKEN_QUERY, &opened)) {
        return false;
    }
    const UniqueHandle token(opened);
    return GetTokenInformation(token.get(), TokenElevationType, &type, sizeof(type), &size) &&
           type == TokenElevationTypeFull;
}

} // namespace

unsigned long long ProcessCreationTime(HANDLE process)
{
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    return GetProcessTimes(process, &created, &exited, &kernel, &user)
               ? (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime
               : 0;
}

bool IsSessionShell(HANDLE process, DWORD processId, const Caller& caller)
{
    wchar_t windows[MAX_PATH] = {};
    wchar_t system[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    // Windows keeps it in its own folder; Wine runs the one of its system folder. Only administrators may
    // change either.
    const std::wstring explorers[] = {std::wstring(windows) + L"\\explorer.exe",
                                      std::wstring(system) + L"\\explorer.exe"};
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    DWORD session = 0;
    return ProcessIdToSessionId(processId, &session) && session == caller.session &&
           QueryFullProcessImageNameW(process, 0, image.data(), &length) &&
           std::any_of(std::begin(explorers), std::end(explorers),
                       [&](const std::wstring& e) { return SameFile(image.substr(0, length), e); }) &&
           RunsAsSessionUser(process, caller);
}

UniqueHandle OpenSessionShell(const Caller& caller, DWORD& processId)
{
    const auto open = [&caller](DWORD id) {
        UniqueHandle process(OpenProcess(PROCESS_CREATE_PROCESS | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        if (process && !IsSessionShell(process.get(), id, caller)) {
            process.reset();
        }
        return process;
    };
    DWORD shellId = 0;
    if (HWND shell = GetShellWindow(); shell != nullptr && GetWindowThreadProcessId(shell, &shellId) != 0) {
        UniqueHandle process = open(shellId);
        if (process) {
            processId = shellId;
            return process;
        }
    }
    WTS_PROCESS_INFOW* listed = nullptr;
    DWORD count = 0;
    UniqueHandle chosen;
    if (WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count)) {
        bool chosenElevated = true;
        unsigned long long chosenStart = ~0ULL;
        for (DWORD i = 0; i < count; ++i) {
            if (listed[i].SessionId != caller.session || listed[i].pProcessName == nullptr ||
                _wcsicmp(listed[i].pProcessName, L"explorer.exe") != 0) {
                continue;
            }
            UniqueHandle process = open(listed[i].ProcessId);
            if (!process) {
                continue;
            }
            const bool elevated = IsElevated(process.get());
            const unsigned long long start = ProcessCreationTime(process.get());
            if ((chosenElevated && !elevated) || (elevated == chosenElevated && start < chosenStart)) {
                chosen = std::move(process);
                chosenElevated = elevated;
                chosenStart = start;
                processId = listed[i].ProcessId;
            }
        }
        WTSFreeMemory(listed);
    }
    if (!chosen) {
        SetLastError(ERROR_NOT_FOUND);
    }
    return chosen;
}

} // namespace Orvanta::Deskweave
