#include "platform/EventLog.h"

#include "platform/ObjectNames.h"
#include "platform/UniqueResource.h"

#include <exception>
#include <vector>

namespace Orvanta::Deskweave {

void EventLog::Report(WORD type, DWORD eventId, std::initializer_list<std::wstring> strings)
{
    const DWORD lastError = GetLastError();
    try {
        std::vector<const wchar_t*> texts;
        for (const std::wstring& text : strings) {
            texts.push_back(text.c_str());
        }
        Report(type, eventId, texts.data(), static_cast<WORD>(texts.size()));
    } catch (const std::exception&) {
    }
    SetLastError(lastError);
}

void EventLog::Report(WORD type, DWORD eventId, const wchar_t* const* strings, WORD count)
{
    const DWORD lastError = GetLastError();
    // The entry names the process's user: the administrators' checker tells a session's agent from one
    // of an earlier logon by it, since session numbers are given again.
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    PSID sid = nullptr;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, user, sizeof(user), &size)) {
            sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
        }
        CloseHandle(token);
    }
    // Registered for each entry: entries are rare, and no handle is held for the agent's life.
    const UniqueEventSource source(RegisterEventSourceW(nullptr, kEventSourceName));
    if (source) {
        ReportEventW(source.get(), type, 0, eventId, sid, count, 0, const_cast<const wchar_t**>(strings), nullptr);
    }
    SetLastError(lastError);
}

std::wstring EventLog::ThisSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return std::to_wstring(session);
}

} // namespace Orvanta::Deskweave
