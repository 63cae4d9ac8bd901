#include "admin/check/SessionEngine.h"

#include "admin/common/BoundedWorker.h"
#include "admin/common/UserImpersonation.h"
#include "session/SyncEngine.h"
#include "trace/TraceManager.h"

#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>

namespace Orvanta::Deskweave {
namespace {

constexpr unsigned long long kTicksPerSecond = 10000000ULL;
constexpr unsigned long long kUnixEpochSeconds = 11644473600ULL;
constexpr ULONGLONG kLeastReadMs = 50;

std::wstring Hex(unsigned status)
{
    wchar_t text[16] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%08X", status);
    return text;
}

std::wstring LocalTime(unsigned long long ticks)
{
    ULARGE_INTEGER value = {};
    value.QuadPart = ticks;
    const FILETIME utc = {value.LowPart, value.HighPart};
    FILETIME local = {};
    SYSTEMTIME time = {};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &time);
    wchar_t text[32] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                 time.wHour, time.wMinute, time.wSecond);
    return text;
}

DWORD UnixSeconds(unsigned long long ticks)
{
    return ticks / kTicksPerSecond > kUnixEpochSeconds ? static_cast<DWORD>(ticks / kTicksPerSecond - kUnixEpochSeconds)
                                                       : 0;
}

// A registry text of any length, references to the environment left as they are; empty when missing.
std::wstring ReadText(HKEY root, const std::wstring& key, const wchar_t* value, DWORD flags)
{
    DWORD bytes = 0;
    if (RegGetValueW(root, key.c_str(), value, flags, nullptr, nullptr, &bytes) != ERROR_SUCCESS || bytes == 0) {
        return {};
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(root, key.c_str(), value, flags, nullptr, text.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// What the bounded read of one session leaves.
struct SessionRead {
    AgentLog log;
    bool answered = false; // the log answered, Unreadable included
    std::wstring folder;   // where the answer came from
    std::wstring notes;    // folders refused or not followed
    DWORD impersonationError = 0;
};

void AddNote(std::wstring& notes, const std::wstring& note)
{
    notes += (notes.empty() ? L"" : L"; ") + note;
}

// Runs on a worker that may be abandoned: it owns copies of all it uses.
void ReadSessionLog(const SessionAgent& agent, bool asUser, const AgentLog::Limits& limits, SessionRead& read)
{
    std::unique_ptr<UserImpersonation> impersonation;
    if (asUser) {
        impersonation = std::make_unique<UserImpersonation>(agent.token ? agent.token->get() : nullptr);
        if (!impersonation->Impersonating()) {
            read.impersonationError = impersonation->Error();
            return;
        }
    }
    DWORD unreadable = 0;
    std::wstring unreadableFolder;
    for (const LogFolderCandidate& candidate : agent.folders) {
        const std::wstring refusal = LogFolder::Refusal(candidate.path);
        if (!refusal.empty()) {
            AddNote(read.notes, candidate.value + L" is " + candidate.path + L": not read: " + refusal);
            continue;
        }
        LogFolder folder;
        const DWORD error = folder.Open(candidate.path);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            continue;
        }
        if (error == ERROR_CANT_ACCESS_FILE && !folder.LinkAt().empty()) {
            AddNote(read.notes, candidate.path + L": not read: " + folder.LinkAt() +
                                    L" is a link or junction, which is not followed");
            continue;
        }
        if (error != 0) {
            unreadable = error;
            unreadableFolder = candidate.path;
            continue;
        }
        AgentLog log = AgentLog::Read(folder, agent.started, limits);
        if (log.state != AgentLog::State::NotTheAgents) {
            read.log = std::move(log);
            read.answered = true;
            read.folder = candidate.path;
            return;
        }
    }
    if (unreadable != 0) {
        read.log.state = AgentLog::State::Unreadable;
        read.log.error = unreadable;
        read.answered = true;
        read.folder = unreadableFolder;
    }
}

// The Application log's entries, read the first time a session needs them.
class LazyEntries
{
public:
    explicit LazyEntries(const AgentEntriesSource& source) : source_(source) {}
    const std::vector<AgentEntry>& Get(DWORD& error)
    {
        if (!read_) {
            entries_ = source_(error_);
            read_ = true;
        }
        error = error_;
        return entries_;
    }

private:
    const AgentEntriesSource& source_;
    bool read_ = false;
    std::vector<AgentEntry> entries_;
    DWORD error_ = 0;
};

// The newest entry of the agent, in words, marked as the Application log's; `result` made no better.
std::wstring FromEntries(const SessionAgent& agent, LazyEntries& entries, CheckResult& result)
{
    DWORD error = 0;
    const AgentEntry* entry = LatestEntryOf(entries.Get(error), agent.session, agent.sid, UnixSeconds(agent.started));
    const std::wstring said = L"; the Application log says: ";
    if (entry == nullptr) {
        result = std::max(result, CheckResult::Warning);
        return said + L"nothing of this agent" +
               (error != 0 && error != ERROR_HANDLE_EOF ? L" (it cannot be read, error " + std::to_wstring(error) + L")"
                                                        : std::wstring()) +
               L": its connection cannot be told";
    }
    if (entry->id == 200) {
        result = CheckResult::Failure;
        return said + L"not connected to the engine: entry 200 at " + entry->time + L" gives " + entry->status;
    }
    return said + (entry->id == 201 ? L"connected to the engine: entry 201 at " : L"started: entry 100 at ") +
           entry->time;
}

// One session's answer: from its log, else from the Application log.
std::wstring Judge(const SessionAgent& agent, const SessionRead* read, LazyEntries& entries, CheckResult& result)
{
    const std::wstring notes = read != nullptr && !read->notes.empty() ? read->notes + L"; " : L"";
    const AgentLog* log = read != nullptr && read->answered ? &read->log : nullptr;
    std::wstring text;
    bool fallBack = true;
    if (read == nullptr) {
        text = L"its log was not read within the bound (a slow or hung disk, or a log held under an oplock): "
               L"given up";
        result = std::max(result, CheckResult::Warning);
    } else if (read->impersonationError != 0) {
        text = L"its log was not read: the session user's token cannot be taken (error " +
               std::to_wstring(read->impersonationError) + L")";
        result = std::max(result, CheckResult::Warning);
    } else if (log == nullptr) {
        text = L"no log file belongs to its running agent (process " + std::to_wstring(agent.processId) +
               (agent.started != 0 ? L", started " + LocalTime(agent.started) : std::wstring()) + L")";
    } else {
        switch (log->state) {
        case AgentLog::State::Connected:
            text = L"connected to the engine at " + log->time + L" (" + log->file + L")";
            fallBack = false;
            break;
        case AgentLog::State::NotConnected:
            text = L"not connected to the engine: the last attempt, at " + log->time + L", returned " +
                   Hex(log->status) + L": " + SyncEngine::StatusMeaning(static_cast<int>(log->status)) + L" (" +
                   log->file + L")";
            result = CheckResult::Failure;
            fallBack = false;
            break;
        case AgentLog::State::NoAttempt:
            if (log->bytesCapHit) {
                text = L"no connection attempt in the " + std::to_wstring(log->bytesRead >> 20) +
                       L" MiB of its logs read, the reading's bound (" + log->file + L")";
                result = std::max(result, CheckResult::Warning);
            } else {
                text = L"no connection attempt yet (" + log->file + L")";
                fallBack = false;
            }
            break;
        default:
            text = L"its log cannot be read (error " + std::to_wstring(log->error) + L", " + read->folder + L")";
            result = std::max(result, CheckResult::Warning);
            break;
        }
        if (log->entriesCapHit) {
            text += L" (its log folder holds more entries than the " + std::to_wstring(AgentLog::Limits().entries) +
                    L" listed)";
        }
    }
    if (fallBack) {
        text += FromEntries(agent, entries, result);
    }
    return notes + text;
}

} // namespace

std::vector<LogFolderCandidate> LogFoldersOfUser(const std::wstring& sid, DWORD session, HANDLE token)
{
    std::vector<LogFolderCandidate> folders;
    if (sid.empty()) {
        return folders;
    }
    const std::wstring profile =
        ReadText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid,
                 L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ);
    const auto expand = [&profile, token](std::wstring path) {
        std::vector<wchar_t> expanded(32768, L'\0');
        if (token != nullptr && ExpandEnvironmentStringsForUserW(token, path.c_str(), expanded.data(),
                                                                 static_cast<DWORD>(expanded.size()))) {
            return std::wstring(expanded.data());
        }
        // References to the user's profile are the user's, not this process's; the others are the machine's.
        const std::wstring reference = L"%USERPROFILE%";
        if (!profile.empty() && _wcsnicmp(path.c_str(), reference.c_str(), reference.size()) == 0) {
            path = profile + path.substr(reference.size());
        }
        const DWORD length =
            ExpandEnvironmentStringsW(path.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        return length != 0 && length <= expanded.size() ? std::wstring(expanded.data()) : path;
    };
    std::vector<LogFolderCandidate> temps;
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
        const std::wstring value =
            ReadText(HKEY_USERS, sid + L"\\Environment", name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND);
        if (!value.empty()) {
            temps.push_back({name + std::wstring(L" of ") + sid, expand(value)});
        }
    }
    if (!profile.empty()) {
        temps.push_back({L"the profile of " + sid, profile + L"\\AppData\\Local\\Temp"});
    }
    for (LogFolderCandidate temp : temps) {
        while (temp.path.size() > 3 && temp.path.back() == L'\\') {
            temp.path.pop_back();
        }
        for (const std::wstring& folder : {temp.path + L"\\" + std::to_wstring(session), temp.path}) {
            if (std::none_of(folders.begin(), folders.end(),
                             [&folder](const LogFolderCandidate& c) { return c.path == folder + L"\\Orvanta"; })) {
                folders.push_back({temp.value, folder + L"\\Orvanta"});
            }
        }
    }
    return folders;
}

std::vector<SessionAgent> SessionAgentsOf(const std::vector<UserSession>& sessions,
                                          const std::vector<AgentProcess>& agents, const Caller& caller)
{
    std::vector<SessionAgent> found;
    for (const UserSession& session : sessions) {
        const AgentProcess* process = AgentOfSession(agents, session.id);
        if (process == nullptr) {
            continue;
        }
        SessionAgent agent;
        agent.session = session.id;
        agent.user = session.user;
        agent.processId = process->processId;
        agent.started = process->started;
        agent.sid = process->sid;
        HANDLE token = nullptr;
        if (caller.systemAccount && WTSQueryUserToken(session.id, &token)) {
            agent.token = std::make_shared<UniqueHandle>(token);
            if (agent.sid.empty()) {
                BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
                DWORD size = 0;
                LPWSTR text = nullptr;
                if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
                    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
                    const UniqueLocalMemory owner(text);
                    agent.sid = text;
                }
            }
        }
        agent.folders = LogFoldersOfUser(agent.sid, session.id, agent.token ? agent.token->get() : nullptr);
        found.push_back(std::move(agent));
    }
    return found;
}

Check EngineOfSessions(const std::vector<SessionAgent>& agents, bool asUsers, const AgentEntriesSource& entries,
                       const EngineBounds& bounds)
{
    if (agents.empty()) {
        return {"session.engine", CheckResult::Skipped, L"no agent runs in any session (see sessions)"};
    }
    const ULONGLONG deadline = GetTickCount64() + bounds.checkMs;
    CheckResult result = CheckResult::Ok;
    std::wstring text;
    LazyEntries lazy(entries);
    BoundedWorker worker;
    for (const SessionAgent& agent : agents) {
        std::wstring answer;
        const std::wstring who = L"session " + std::to_wstring(agent.session) + L" (" + agent.user + L"): ";
        const ULONGLONG now = GetTickCount64();
        // Less than a read can do is as good as none (and the clock ticks in 16 ms on Windows).
        if (now + kLeastReadMs >= deadline) {
            answer = L"not read: the check's " +
                     (bounds.checkMs % 1000 == 0 ? std::to_wstring(bounds.checkMs / 1000) + L" s"
                                                 : std::to_wstring(bounds.checkMs) + L" ms") +
                     L" for the users' logs were up";
            result = std::max(result, CheckResult::Warning);
        } else {
            const auto session = std::make_shared<SessionRead>();
            const bool finished = worker.Run(
                [agent, asUsers, limits = bounds.limits, before = bounds.beforeRead, session] {
                    if (before) {
                        before(agent.session);
                    }
                    ReadSessionLog(agent, asUsers, limits, *session);
                },
                static_cast<DWORD>(std::min<ULONGLONG>(bounds.sessionMs, deadline - now)));
            answer = Judge(agent, finished ? session.get() : nullptr, lazy, result);
            if (finished && bounds.bytesRead != nullptr) {
                *bounds.bytesRead += session->log.bytesRead;
            }
            if (finished && session->answered) {
                answer += L", from the user's log";
            }
        }
        text += text.empty() ? L"" : L"; ";
        text += who;
        text += answer;
    }
    const std::wstring how = asUsers ? L"each user's log read as that user"
                                     : L"read with this account's rights, not as each user (only the system account "
                                       L"may take a session user's token)";
    return {"session.engine", result, text + L" (" + how + L")"};
}

Check EngineOfThisSession(const SessionAgent& agent, const AgentEntriesSource& entries, const EngineBounds& bounds)
{
    const auto session = std::make_shared<SessionRead>();
    BoundedWorker worker;
    const bool finished =
        worker.Run([agent, limits = bounds.limits, session] { ReadSessionLog(agent, false, limits, *session); },
                   bounds.sessionMs);
    CheckResult result = CheckResult::Ok;
    LazyEntries lazy(entries);
    const std::wstring text = Judge(agent, finished ? session.get() : nullptr, lazy, result);
    // An agent that has not tried yet is neither healthy nor not.
    if (finished && session->answered && session->log.state == AgentLog::State::NoAttempt &&
        !session->log.bytesCapHit) {
        return {"session.engine", CheckResult::Skipped, text};
    }
    return {"session.engine", result, text};
}

} // namespace Orvanta::Deskweave
