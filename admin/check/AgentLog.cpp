#include "admin/check/AgentLog.h"

#include "platform/UniqueResource.h"
#include "trace/TraceManager.h"

#include <sddl.h>

#include <algorithm>
#include <cwctype>

namespace Orvanta::Deskweave {
namespace {

// The agent's own trace lines that tell the engine connection.
const char kConnectedLine[] = "::OvRegisterJobStatusListener returned result = 00000000";
const char kFailedLine[] = "::OvInitialize2 failed with result = ";
// A log stays under 5 MiB and the lines of one check; what is beyond that is not the agent's.
constexpr LONGLONG kMostRead = 6 << 20;

// "Halyard_YYYY-MM-DD_hh-mm-ss.log", with digits where digits belong: the only names taken, and so the
// only ones quoted.
bool IsLogName(const std::wstring& name)
{
    const std::wstring form = L"Halyard_####-##-##_##-##-##.log";
    if (name.size() != form.size()) {
        return false;
    }
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == L'#' ? !iswdigit(name[i]) : towlower(name[i]) != towlower(form[i])) {
            return false;
        }
    }
    return true;
}

// Opens a path without following it where it is a link or junction, and tells what it is.
bool OpenUnfollowed(const std::wstring& path, bool folder, UniqueFileHandle& file, BY_HANDLE_FILE_INFORMATION& info)
{
    file.reset(CreateFileW(path.c_str(), folder ? FILE_READ_ATTRIBUTES : GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0), nullptr));
    return file && GetFileInformationByHandle(file.get(), &info);
}

// Every folder from the first below the root down to `folder` is a plain folder, none a link.
DWORD CheckNoLinks(const std::wstring& folder)
{
    const size_t root = folder.rfind(L"\\\\", 0) == 0 ? folder.find(L'\\', folder.find(L'\\', 2) + 1) : 2;
    for (size_t end = folder.find(L'\\', root == std::wstring::npos ? folder.size() : root + 1);;
         end = folder.find(L'\\', end + 1)) {
        UniqueFileHandle part;
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!OpenUnfollowed(folder.substr(0, end), true, part, info)) {
            return GetLastError();
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return ERROR_CANT_ACCESS_FILE;
        }
        if (end == std::wstring::npos) {
            return 0;
        }
    }
}

// "YYYY-MM-DD hh:mm:ss" of a line's "[MM/DD hh:mm:ss]", the year from the log's name: a log begun in
// December holds January's lines of the next year.
std::wstring LineTime(const std::string& text, size_t at, const std::wstring& file)
{
    const size_t newline = text.rfind('\n', at);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    // "[0000002C] [12/31 23:59:58] "
    if (start + 27 > at || text[start + 11] != '[' || text[start + 14] != '/' || text[start + 26] != ']') {
        return L"(no time)";
    }
    for (size_t i : {12, 13, 15, 16, 18, 19, 21, 22, 24, 25}) {
        if (!isdigit(static_cast<unsigned char>(text[start + i]))) {
            return L"(no time)";
        }
    }
    const int fileYear = std::stoi(file.substr(8, 4));
    const int fileMonth = std::stoi(file.substr(13, 2));
    const int month = std::stoi(text.substr(start + 12, 2));
    const std::string rest = text.substr(start + 15, 11);
    const std::wstring year = std::to_wstring(month < fileMonth ? fileYear + 1 : fileYear);
    return year + L"-" + std::wstring(text.begin() + start + 12, text.begin() + start + 14) + L"-" +
           std::wstring(rest.begin(), rest.begin() + 2) + L" " + std::wstring(rest.begin() + 3, rest.begin() + 11);
}

} // namespace

AgentLog AgentLog::Read(const std::wstring& folder)
{
    AgentLog log;
    WIN32_FIND_DATAW found = {};
    const UniqueFindHandle search(FindFirstFileW(TraceManager::SearchPattern(folder).c_str(), &found));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        // Named by their creation time with the year first: the greatest name is the newest file.
        if (IsLogName(found.cFileName) &&
            CompareStringOrdinal(found.cFileName, -1, log.file.c_str(), -1, TRUE) == CSTR_GREATER_THAN) {
            log.file = found.cFileName;
        }
    }
    if (log.file.empty()) {
        return log;
    }
    log.state = State::Unreadable;
    if ((log.error = CheckNoLinks(folder)) != 0) {
        return log;
    }
    UniqueFileHandle file;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!OpenUnfollowed(folder + L"\\" + log.file, false, file, info)) {
        log.error = GetLastError();
        return log;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
        log.error = ERROR_CANT_ACCESS_FILE;
        return log;
    }
    const LONGLONG size = (static_cast<LONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    LARGE_INTEGER from = {};
    from.QuadPart = size > kMostRead ? size - kMostRead : 0;
    std::string text(static_cast<size_t>(size - from.QuadPart), '\0');
    DWORD read = 0;
    if (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        log.error = GetLastError();
        return log;
    }
    text.resize(read);
    const size_t connected = text.rfind(kConnectedLine);
    const size_t failed = text.rfind(kFailedLine);
    log.state = State::NoAttempt;
    if (connected != std::string::npos && (failed == std::string::npos || connected > failed)) {
        log.state = State::Connected;
        log.time = LineTime(text, connected, log.file);
    } else if (failed != std::string::npos) {
        const std::string status = text.substr(failed + sizeof(kFailedLine) - 1, 8);
        if (status.size() == 8 && status.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
            log.state = State::NotConnected;
            log.time = LineTime(text, failed, log.file);
            log.status = static_cast<unsigned>(std::stoul(status, nullptr, 16));
        }
    }
    return log;
}

std::vector<std::wstring> LogFoldersOfUser(const std::wstring& user, DWORD session)
{
    std::vector<std::wstring> folders;
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof(sid);
    wchar_t domain[256] = {};
    DWORD domainSize = _countof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    LPWSTR text = nullptr;
    if (!LookupAccountNameW(nullptr, user.c_str(), sid, &sidSize, domain, &domainSize, &use) ||
        !ConvertSidToStringSidW(sid, &text)) {
        return folders;
    }
    const UniqueLocalMemory owner(text);
    const std::wstring sidText = text;
    wchar_t profile[MAX_PATH] = {};
    DWORD bytes = sizeof(profile);
    RegGetValueW(HKEY_LOCAL_MACHINE,
                 (L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sidText).c_str(),
                 L"ProfileImagePath", RRF_RT_REG_SZ, nullptr, profile, &bytes);
    // References to the user's profile are the user's, not this process's; the others are the machine's.
    const auto expand = [&profile](std::wstring path) {
        const std::wstring reference = L"%USERPROFILE%";
        const size_t at = path.size() >= reference.size() && _wcsnicmp(path.c_str(), reference.c_str(),
                                                                         reference.size()) == 0
                              ? 0
                              : std::wstring::npos;
        if (at == 0) {
            path = profile + path.substr(reference.size());
        }
        wchar_t expanded[MAX_PATH] = {};
        return ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH) - 1 < MAX_PATH ? std::wstring(expanded)
                                                                                         : path;
    };
    std::vector<std::wstring> temps;
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof(value);
        if (RegGetValueW(HKEY_USERS, (sidText + L"\\Environment").c_str(), name,
                         RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                         value, &size) == ERROR_SUCCESS &&
            value[0] != L'\0') {
            temps.push_back(expand(value));
        }
    }
    if (profile[0] != L'\0') {
        temps.push_back(std::wstring(profile) + L"\\AppData\\Local\\Temp");
    }
    for (std::wstring temp : temps) {
        while (!temp.empty() && temp.back() == L'\\') {
            temp.pop_back();
        }
        for (const std::wstring& folder : {temp + L"\\" + std::to_wstring(session), temp}) {
            if (std::find(folders.begin(), folders.end(), folder + L"\\Orvanta") == folders.end()) {
                folders.push_back(folder + L"\\Orvanta");
            }
        }
    }
    return folders;
}

} // namespace Orvanta::Deskweave
