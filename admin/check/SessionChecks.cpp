#include "admin/check/SessionChecks.h"

#include "admin/check/AgentEntries.h"
#include "admin/check/AgentLog.h"
#include "admin/common/AgentSessions.h"
#include "admin/common/SecurityReview.h"
#include "admin/stop/AgentStop.h"
#include "permissions/FolderPermissionsManager.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"
#include "session/SyncEngine.h"
#include "session/SyncWindowHandler.h"
#include "trace/TraceManager.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace Orvanta::Deskweave {
namespace {

std::wstring Hex(unsigned status)
{
    wchar_t text[16] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%08X", status);
    return text;
}

Check Terminate()
{
    const UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    const DWORD error = event ? 0 : GetLastError();
    if (event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
        return {"terminate", CheckResult::Failure,
                std::wstring(kTerminateEventName) +
                    L" is held signalled: every agent that starts ends at once "
                    L"(entry 600); end the process that holds it (HalyardStop exits with 4 in this state)"};
    }
    if (event || error == ERROR_FILE_NOT_FOUND) {
        return {"terminate", CheckResult::Ok,
                std::wstring(kTerminateEventName) + (event ? L" is not signalled" : L" is not there yet: the first "
                                                                                    L"agent makes it")};
    }
    return {"terminate", CheckResult::Failure,
            std::wstring(kTerminateEventName) + L" cannot be opened (error " + std::to_wstring(error) + L"): " +
                TerminateEventRefusal(error)};
}

std::wstring Others(const std::vector<AgentProcess>& processes)
{
    std::wstring others;
    for (const AgentProcess& process : processes) {
        if (!process.agent) {
            others += (others.empty() ? L"" : L", ") + std::to_wstring(process.processId) + L" in session " +
                      std::to_wstring(process.sessionId) + L" (" + process.image + L")";
        }
    }
    return others.empty() ? others
                          : L"; programs named " + std::wstring(kAgentProgram) + L" that are not the installed agent (" +
                                InstalledAgent() + L"): " + others;
}

Check Sessions(const Checks& checks, const std::vector<AgentProcess>& processes,
               const std::vector<AgentProcess>& agents, DWORD listError)
{
    const Check* drive = FindCheck(checks, "policy.drive");
    if (drive != nullptr && drive->result == CheckResult::Failure) {
        return {"sessions", CheckResult::Skipped, L"the policy turns the agent off (policy.drive)"};
    }
    if (listError != 0 && std::any_of(processes.begin(), processes.end(),
                                       [](const AgentProcess& p) { return p.sessionId == kUnknownSession; })) {
        return {"sessions", CheckResult::Skipped,
                L"the sessions of other users' processes cannot be read without the system's list of them (error " +
                    std::to_wstring(listError) + L"): run the checker elevated or as the system account"};
    }
    std::wstring with;
    std::wstring without;
    for (const UserSession& session : InteractiveUserSessions()) {
        const AgentProcess* agent = AgentOfSession(agents, session.id);
        std::wstring& list = agent != nullptr ? with : without;
        list += (list.empty() ? L"" : L", ") + std::to_wstring(session.id) + L" (" + session.user +
                (agent != nullptr && agent->image.empty() ? L", an agent whose path cannot be read from here" : L"") +
                L")";
    }
    if (!without.empty()) {
        return {"sessions", CheckResult::Warning,
                L"sessions without an agent: " + without + L"; with one: " + (with.empty() ? L"none" : with) +
                    L"; HalyardStop /start as the system account starts them, else their users' next logon" +
                    Others(processes)};
    }
    return {"sessions", CheckResult::Ok,
            L"every session with a logged-on user runs an agent: " + (with.empty() ? L"none logged on" : with) +
                Others(processes)};
}

Check Instance(const CheckContext& context, const std::vector<AgentProcess>& agents)
{
    // The instance guard is the session's, whoever asks in it.
    if (context.caller.session == 0) {
        return {"session.instance", CheckResult::Skipped, L"session 0 runs no agent"};
    }
    const UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName));
    if (guard && AgentOfSession(agents, context.caller.session) == nullptr) {
        return {"session.instance", CheckResult::Failure,
                std::wstring(kInstanceMutexName) +
                    L" exists, but no agent runs in this session: another program holds "
                    L"it, and every agent started here exits as a second one; find it by the name's handle"};
    }
    return {"session.instance", CheckResult::Ok,
            guard ? L"the agent of this session holds " + std::wstring(kInstanceMutexName)
                  : std::wstring(kInstanceMutexName) + L" is free for the next agent"};
}

// A session's engine connection from its agent's newest log, in words; `failed` when not connected.
std::wstring FromLog(const AgentLog& log, bool& failed)
{
    switch (log.state) {
    case AgentLog::State::Connected:
        return L"connected to the engine at " + log.time + L" (" + log.file + L")";
    case AgentLog::State::NotConnected:
        failed = true;
        return L"not connected to the engine: the last attempt, at " + log.time + L", returned " + Hex(log.status) +
               L": " + SyncEngine::StatusMeaning(static_cast<int>(log.status)) + L" (" + log.file + L")";
    case AgentLog::State::NoAttempt:
        return L"no connection attempt yet (" + log.file + L")";
    default:
        return L"its newest log cannot be read (error " + std::to_wstring(log.error) + L")";
    }
}

// In the caller's own session: its user's newest log.
Check EngineOfThisSession(const CheckContext& context, const std::vector<AgentProcess>& agents)
{
    if (AgentOfSession(agents, context.caller.session) == nullptr) {
        return {"session.engine", CheckResult::Skipped, L"no agent runs in this session (see sessions)"};
    }
    const std::wstring folder = TraceManager::GetLogFilesPath();
    const AgentLog log = AgentLog::Read(folder);
    if (log.state == AgentLog::State::NoLog) {
        return {"session.engine", CheckResult::Skipped, L"no agent log in " + folder};
    }
    bool failed = false;
    const std::wstring text = FromLog(log, failed);
    const bool known = log.state == AgentLog::State::Connected || log.state == AgentLog::State::NotConnected;
    return {"session.engine", failed ? CheckResult::Failure : known ? CheckResult::Ok : CheckResult::Skipped, text};
}

// From elsewhere (session 0, another account): every session that runs an agent, from its user's
// newest log, which only that user could have shaped; where none can be read, from the session's
// latest entries, which any user could have written.
Check EngineOfEverySession(const std::vector<AgentProcess>& agents)
{
    std::wstring text;
    bool failed = false;
    bool entriesRead = false;
    DWORD entriesError = 0;
    std::map<DWORD, AgentEntry> entries;
    for (const UserSession& session : InteractiveUserSessions()) {
        if (AgentOfSession(agents, session.id) == nullptr) {
            continue;
        }
        std::wstring answer;
        for (const std::wstring& folder : LogFoldersOfUser(session.user, session.id)) {
            const AgentLog log = AgentLog::Read(folder);
            if (log.state != AgentLog::State::NoLog) {
                answer = FromLog(log, failed) + L", from the user's log";
                break;
            }
        }
        if (answer.empty()) {
            if (!entriesRead) {
                entries = LatestAgentEntriesOfThisMachine(entriesError);
                entriesRead = true;
            }
            const auto entry = entries.find(session.id);
            if (entry == entries.end()) {
                answer = L"no log of its user found, and no agent entry in the Application log" +
                         (entriesError != 0 && entriesError != ERROR_HANDLE_EOF
                              ? L" (it cannot be read, error " + std::to_wstring(entriesError) + L")"
                              : std::wstring());
            } else if (entry->second.id == 200) {
                failed = true;
                answer = L"not connected to the engine: entry 200 at " + entry->second.time + L" gives " +
                         entry->second.status + L", from the Application log";
            } else {
                answer = (entry->second.id == 201 ? L"connected to the engine: entry 201 at " : L"started: entry 100 at ") +
                         entry->second.time + L", from the Application log";
            }
        }
        text += (text.empty() ? L"" : L"; ") + std::wstring(L"session ") + std::to_wstring(session.id) + L" (" +
                session.user + L"): " + answer;
    }
    if (text.empty()) {
        return {"session.engine", CheckResult::Skipped, L"no agent runs in any session (see sessions)"};
    }
    return {"session.engine", failed ? CheckResult::Failure : CheckResult::Ok, text};
}

// A location the revert never touches, or never writes: why, or empty.
std::wstring Untouched(const std::wstring& location)
{
    if (location.rfind(L"\\\\", 0) == 0) {
        return location + L" is on a network share: not checked here";
    }
    if (FolderPermissionsManager::IsDriveDesignator(location)) {
        return location + L"\\ is a drive's root: the revert never writes it";
    }
    if (location.size() >= 2 && location[1] == L':' &&
        GetDriveTypeW((location.substr(0, 2) + L"\\").c_str()) == DRIVE_REMOTE) {
        return location + L" is on a network drive: not checked here";
    }
    return {};
}

// The settings that the revert will report at logoff as unreadable.
std::wstring UnreadableValues(const FolderPermissionsManager::SettingsRead& read)
{
    std::wstring problems;
    for (const auto& value : read.values) {
        const std::wstring why = FolderPermissionsManager::Unreadable(value);
        problems += why.empty() ? L"" : (problems.empty() ? L"" : L"; ") + std::wstring(value.name) + L": " + why;
    }
    return problems;
}

Check Folders(const CheckContext& context)
{
    if (!context.userSession) {
        return {"session.folders", CheckResult::Skipped, context.notUserSession};
    }
    if (!SyncWindowHandler::RetrieveAdjustPermissionsOnLogoffFromHklmRegistry()) {
        return {"session.folders", CheckResult::Skipped, L"the permission revert is off (policy.permissions)"};
    }
    const FolderPermissionsManager::Locations locations = FolderPermissionsManager().GetLocations();
    const std::wstring unreadable = UnreadableValues(locations.read);
    if (locations.syncRoot.empty()) {
        return {"session.folders", CheckResult::Warning,
                (unreadable.empty() ? L"SyncRootLocation is not set, or HKCU\\" + std::wstring(kSyncFoldersKey) +
                                          L" cannot be opened with full access"
                                    : unreadable) +
                    L": the revert does nothing for this user"};
    }
    std::wstring problems = unreadable;
    bool warn = !unreadable.empty();
    for (const std::wstring* location : {&locations.syncRoot, &locations.personalFolderRoot,
                                         &locations.sharedFoldersRoot, &locations.favoriteFoldersRoot}) {
        std::wstring why = location->empty() ? std::wstring() : Untouched(*location);
        warn = warn || FolderPermissionsManager::IsDriveDesignator(*location);
        if (why.empty() && location == &locations.syncRoot &&
            GetFileAttributesW(location->c_str()) == INVALID_FILE_ATTRIBUTES) {
            why = *location + L" does not exist";
            warn = true;
        }
        problems += why.empty() ? L"" : (problems.empty() ? L"" : L"; ") + why;
    }
    // The revert keeps an entry of the parent that is inherit-only as it is, and on the sync root such
    // an entry grants nothing: whoever it was for loses that access to the sync root itself.
    const std::wstring parent = FolderPermissionsManager::IsDriveDesignator(locations.parentFolder)
                                    ? locations.parentFolder + L"\\"
                                    : locations.parentFolder;
    DWORD error = 0;
    std::vector<BYTE> descriptor = parent.empty() ? std::vector<BYTE>() : ReadSecurity(parent, error);
    const std::wstring inheritOnly = descriptor.empty() ? std::wstring() : InheritOnlyEntries(descriptor.data());
    if (!inheritOnly.empty()) {
        warn = true;
        problems += (problems.empty() ? L"" : L"; ") + parent + L" hands down entries that apply only below " +
                    locations.syncRoot + L", not to it: " + inheritOnly +
                    L"; after a revert they grant nothing on the sync root itself (icacls " + parent + L" shows them)";
    }
    if (problems.empty()) {
        return {"session.folders", CheckResult::Ok, L"the revert works on " + locations.syncRoot + L" and its roots"};
    }
    return {"session.folders", warn ? CheckResult::Warning : CheckResult::Ok, problems};
}

} // namespace

void CheckSessions(const CheckContext& context, Checks& checks)
{
    DWORD listError = 0;
    const std::vector<AgentProcess> processes = HalyardProcesses(listError);
    std::vector<AgentProcess> agents;
    std::copy_if(processes.begin(), processes.end(), std::back_inserter(agents),
                 [](const AgentProcess& p) { return p.agent; });
    checks.push_back(Terminate());
    checks.push_back(Sessions(checks, processes, agents, listError));
    checks.push_back(Instance(context, agents));
    checks.push_back(context.userSession ? EngineOfThisSession(context, agents) : EngineOfEverySession(agents));
    checks.push_back(Folders(context));
}

} // namespace Orvanta::Deskweave
