#include "admin/check/SessionChecks.h"

#include "admin/check/AgentEntries.h"
#include "admin/check/SessionEngine.h"
#include "admin/common/AgentSessions.h"
#include "admin/common/FileIdentity.h"
#include "admin/common/RunEntry.h"
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

Check Terminate()
{
    const UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    const DWORD error = event ? 0 : GetLastError();
    if (event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
        return {"terminate", CheckResult::Failure,
                std::wstring(kTerminateEventName) +
                    L" is held signalled: every agent that starts ends at once "
                    L"(entry 600); end the process that holds it (HalyardStop resets it and exits with 4, until that "
                    L"process sets it again)"};
    }
    if (event || error == ERROR_FILE_NOT_FOUND) {
        return {"terminate", CheckResult::Ok,
                std::wstring(kTerminateEventName) + (event ? L" is not signalled"
                                                           : L" is not there yet: the first "
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
                          : L"; programs named " + std::wstring(kAgentProgram) +
                                L" that are not the installed agent (" + InstalledAgent() + L"): " + others;
}

// Which copy a session's agent runs, when it is not this folder's.
std::wstring CopyOf(const AgentProcess& agent, const CheckContext& context)
{
    if (agent.image.empty()) {
        return L", an agent whose path cannot be read from here";
    }
    if (SameFile(agent.image, context.folder + L"\\" + kAgentProgram)) {
        return {};
    }
    const RunEntry entry = RunEntry::Read();
    return L", running " + agent.image +
           (!entry.program.empty() && SameFile(agent.image, entry.program)
                ? L", the copy that logon starts (the Run value), not this folder's"
                : L", not this folder's");
}

Check Sessions(const CheckContext& context, const Checks& checks, const std::vector<AgentProcess>& processes,
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
                (agent != nullptr ? CopyOf(*agent, context) : std::wstring()) + L")";
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

Check Instance(const CheckContext& context, const std::vector<AgentProcess>& processes,
               const std::vector<AgentProcess>& agents)
{
    // The instance guard is the session's, whoever asks in it.
    if (context.caller.session == 0) {
        return {"session.instance", CheckResult::Skipped, L"session 0 runs no agent"};
    }
    const UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName));
    if (guard && AgentOfSession(agents, context.caller.session) == nullptr) {
        const std::wstring held = std::wstring(kInstanceMutexName) +
                                  L" exists, but no agent runs in this session, and every agent started here exits "
                                  L"as a second one: ";
        for (const AgentProcess& process : processes) {
            if (process.sessionId == context.caller.session) {
                return {"session.instance", CheckResult::Failure,
                        held + L"process " + std::to_wstring(process.processId) + L" runs " + process.image +
                            L", a copy of the agent that is none of this machine's, and holds it: HalyardStop ends "
                            L"it (every copy answers the terminate event), then HalyardStop /start starts this "
                            L"folder's"};
            }
        }
        return {"session.instance", CheckResult::Failure,
                held + L"another program holds it; find it by the handle of that name (Process Explorer's Find "
                       L"Handle, or handle.exe -a OrvantaSyncAgent), end it, then run HalyardStop /start"};
    }
    return {"session.instance", CheckResult::Ok,
            guard ? L"the agent of this session holds " + std::wstring(kInstanceMutexName)
                  : std::wstring(kInstanceMutexName) + L" is free for the next agent"};
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
    checks.push_back(Sessions(context, checks, processes, agents, listError));
    checks.push_back(Instance(context, processes, agents));
    const AgentEntriesSource entries = [](DWORD& error) { return AgentEntriesOfThisMachine(error); };
    if (!context.userSession) {
        checks.push_back(EngineOfSessions(SessionAgentsOf(InteractiveUserSessions(), agents, context.caller),
                                          context.caller.systemAccount, entries));
    } else if (const AgentProcess* agent = AgentOfSession(agents, context.caller.session)) {
        SessionAgent own;
        own.session = context.caller.session;
        own.user = context.caller.user;
        own.processId = agent->processId;
        own.started = agent->started;
        own.sid = agent->sid;
        own.folders = {{L"this process's temporary folder", TraceManager::GetLogFilesPath()}};
        checks.push_back(EngineOfThisSession(own, entries));
    } else {
        checks.push_back({"session.engine", CheckResult::Skipped, L"no agent runs in this session (see sessions)"});
    }
    checks.push_back(Folders(context));
}

} // namespace Orvanta::Deskweave
