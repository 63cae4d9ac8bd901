#include "admin/common/Caller.h"

#include "platform/UniqueResource.h"

#include <wtsapi32.h>

namespace Orvanta::Deskweave {
namespace {

std::wstring SessionText(DWORD session, WTS_INFO_CLASS part)
{
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, part, &text, &bytes) || text == nullptr) {
        return {};
    }
    std::wstring copy = text;
    WTSFreeMemory(text);
    return copy;
}

} // namespace

bool Caller::IsSessionUser() const
{
    if (sessionUser.empty() || user.empty()) {
        return false;
    }
    // Where the session's domain is not given, the names alone are compared.
    const bool withDomain = sessionUser.find(L'\\') != std::wstring::npos;
    const std::wstring mine = withDomain ? user : user.substr(user.find(L'\\') + 1);
    return CompareStringOrdinal(mine.c_str(), -1, sessionUser.c_str(), -1, TRUE) == CSTR_EQUAL;
}

Caller Caller::OfThisProcess()
{
    Caller caller;
    ProcessIdToSessionId(GetCurrentProcessId(), &caller.session);
    const std::wstring name = SessionText(caller.session, WTSUserName);
    const std::wstring domain = name.empty() ? std::wstring() : SessionText(caller.session, WTSDomainName);
    caller.sessionUser = domain.empty() ? name : domain + L"\\" + name;

    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return caller;
    }
    const UniqueHandle token(opened);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD length = 0;
    if (GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length)) {
        PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        caller.systemAccount = IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;
        wchar_t account[256] = {};
        wchar_t accountDomain[256] = {};
        DWORD accountLength = _countof(account);
        DWORD domainLength = _countof(accountDomain);
        SID_NAME_USE use = SidTypeUnknown;
        if (LookupAccountSidW(nullptr, sid, account, &accountLength, accountDomain, &domainLength, &use)) {
            caller.user = accountDomain[0] != L'\0' ? std::wstring(accountDomain) + L"\\" + account : account;
        }
    }
    TOKEN_ELEVATION elevation = {};
    caller.elevated = !caller.systemAccount &&
                      GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &length) &&
                      elevation.TokenIsElevated != 0;
    return caller;
}

} // namespace Orvanta::Deskweave
