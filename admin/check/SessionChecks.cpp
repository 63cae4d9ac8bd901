#include "admin/check/SessionChecks.h"

#include "admin/common/AgentSessions.h"
#include "permissions/FolderPermissionsManager.h"
#include "platform/ObjectNames.h"
#include "platform/UniqueResource.h"
#include "session/SyncEngine.h"
#include "session/SyncWindowHandler.h"
#include "trace/TraceManager.h"

#include <map>
#include <set>

namespace Orvanta::Deskweave {
namespace {

// The agent's own trace lines that tell the engine connection.
const char kConnectedLine[] = "::OvRegisterJobStatusListener returned result = 00000000";
const char kFailedLine[] = "::OvInitialize2 failed with result = ";
// The Event Log's entries of the agent's start and engine connection.
constexpr DWORD kStartedEntry = 100;
constexpr DWORD kEngineUnavailableEntry = 200;
constexpr DWORD kEngineConnectedEntry = 201;
// The newest entries that are read: a machine's whole Application log is not.
constexpr DWORD kEventLogBytes = 4 << 20;

struct EventLogTraits {
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE log) noexcept { CloseEventLog(log); }
};
using UniqueEventLog = UniqueResource<HANDLE, EventLogTraits>;

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

Check Terminate()
{
    const UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    if (event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
        return {"terminate", CheckResult::Failure,
                std::wstring(kTerminateEventName) +
                    L" is held signalled: every agent that starts ends at once "
                    L"(entry 600); end the process that holds it (HalyardStop exits with 4 in this state)"};
    }
    return {"terminate", CheckResult::Ok, std::wstring(kTerminateEventName) + L" is not signalled"};
}

Check Sessions(const Checks& checks)
{
    const Check* drive = FindCheck(checks, "policy.drive");
    if (drive != nullptr && drive->result == CheckResult::Failure) {
        return {"sessions", CheckResult::Skipped, L"the policy turns the agent off (policy.drive)"};
    }
    const std::vector<AgentProcess> agents = RunningAgents();
    std::wstring with;
    std::wstring without;
    for (const UserSession& session : InteractiveUserSessions()) {
        std::wstring& list = AgentOfSession(agents, session.id) != nullptr ? with : without;
        list += (list.empty() ? L"" : L", ") + std::to_wstring(session.id) + L" (" + session.user + L")";
    }
    if (!without.empty()) {
        return {"sessions", CheckResult::Warning,
                L"sessions without an agent: " + without + L"; with one: " + (with.empty() ? L"none" : with) +
                    L"; HalyardStop /start as the system account starts them, else their users' next logon"};
    }
    return {"sessions", CheckResult::Ok,
            L"every session with a logged-on user runs an agent: " + (with.empty() ? L"none logged on" : with)};
}

Check Instance(const CheckContext& context)
{
    if (!context.userSession) {
        return {"session.instance", CheckResult::Skipped, L"not in a user's session"};
    }
    const std::vector<AgentProcess> agents = RunningAgents();
    const UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName));
    if (guard && AgentOfSession(agents, context.session) == nullptr) {
        return {"session.instance", CheckResult::Failure,
                std::wstring(kInstanceMutexName) +
                    L" exists, but no agent runs in this session: another program holds "
                    L"it, and every agent started here exits as a second one; find it by the name's handle"};
    }
    return {"session.instance", CheckResult::Ok,
            guard ? L"the agent of this session holds " + std::wstring(kInstanceMutexName)
                  : std::wstring(kInstanceMutexName) + L" is free for the next agent"};
}

// The engine connection from this user's newest log file.
Check EngineFromLog()
{
    const std::wstring folder = TraceManager::GetLogFilesPath();
    std::wstring newest;
    WIN32_FIND_DATAW found = {};
    const UniqueFindHandle search(FindFirstFileW(TraceManager::SearchPattern(folder).c_str(), &found));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        // Named by their creation time with the year first: the greatest name is the newest file.
        if (CompareStringOrdinal(found.cFileName, -1, newest.c_str(), -1, FALSE) == CSTR_GREATER_THAN) {
            newest = found.cFileName;
        }
    }
    if (newest.empty()) {
        return {"session.engine", CheckResult::Skipped, L"no agent log in " + folder};
    }
    const std::wstring path = folder + L"\\" + newest;
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A log stays under 5 MiB and some lines; what is beyond that is not the agent's.
    std::string text(6 << 20, '\0');
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        return {"session.engine", CheckResult::Skipped,
                path + L" cannot be read (error " + std::to_wstring(GetLastError()) + L")"};
    }
    text.resize(read);
    const size_t connected = text.rfind(kConnectedLine);
    const size_t failed = text.rfind(kFailedLine);
    // "[thread] [MM/DD hh:mm:ss] message": the time of the line that holds `at`.
    const auto timeOf = [&text](size_t at) {
        const size_t line = text.rfind('\n', at);
        const size_t start = line == std::string::npos ? 0 : line + 1;
        return start + 26 <= at ? Widen(text.substr(start + 12, 14)) : std::wstring(L"(no time)");
    };
    if (connected != std::string::npos) {
        return {"session.engine", CheckResult::Ok,
                L"connected to the engine at " + timeOf(connected) + L" (" + newest + L")"};
    }
    if (failed != std::string::npos) {
        const std::string status = text.substr(failed + sizeof(kFailedLine) - 1, 8);
        return {"session.engine", CheckResult::Failure,
                L"not connected to the engine: the last attempt, at " + timeOf(failed) + L", returned " +
                    Widen(status) + L": " +
                    SyncEngine::StatusMeaning(static_cast<int>(strtoul(status.c_str(), nullptr, 16))) + L" (" + newest +
                    L")"};
    }
    return {"session.engine", CheckResult::Skipped, L"no connection attempt yet in " + newest};
}

// The engine connection of every session from the agents' newest Event Log entries: the answer where
// no user's log can be read (the system account, remoting).
Check EngineFromEventLog()
{
    const UniqueEventLog log(OpenEventLogW(nullptr, L"Application"));
    if (!log) {
        return {"session.engine", CheckResult::Skipped,
                L"not in a user's session, and the Application log cannot be read (error " +
                    std::to_wstring(GetLastError()) + L")"};
    }
    struct Latest {
        DWORD id;
        std::wstring status;
    };
    std::map<std::wstring, Latest> sessions;
    std::vector<BYTE> buffer(64 * 1024);
    for (DWORD total = 0; total < kEventLogBytes;) {
        DWORD read = 0;
        DWORD needed = 0;
        if (!ReadEventLogW(log.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &read, &needed) ||
            read == 0) {
            break;
        }
        total += read;
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read;) {
            const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
            const auto* source = reinterpret_cast<const wchar_t*>(record + 1);
            const DWORD id = record->EventID & 0xFFFF;
            if (record->Length == 0 || at + record->Length > read) {
                break;
            }
            if (wcscmp(source, kEventSourceName) == 0 && record->NumStrings >= 1 &&
                (id == kStartedEntry || id == kEngineUnavailableEntry || id == kEngineConnectedEntry)) {
                const auto* strings = reinterpret_cast<const wchar_t*>(buffer.data() + at + record->StringOffset);
                const std::wstring session = strings;
                const std::wstring second = record->NumStrings >= 2 ? strings + session.size() + 1 : L"";
                // Read newest first: the first entry of a session is its latest.
                sessions.emplace(session, Latest{id, second});
            }
            at += record->Length;
        }
    }
    if (sessions.empty()) {
        return {"session.engine", CheckResult::Skipped,
                L"not in a user's session, and no agent entries in the Application log"};
    }
    // Sessions end and their ids are given again: only the ones logged on now count.
    std::set<std::wstring> current;
    for (const UserSession& session : InteractiveUserSessions()) {
        current.insert(std::to_wstring(session.id));
    }
    std::wstring connected;
    std::wstring unavailable;
    for (const auto& [session, latest] : sessions) {
        if (current.count(session) == 0) {
            continue;
        }
        if (latest.id == kEngineUnavailableEntry) {
            unavailable += (unavailable.empty() ? L"" : L", ") + session + L" (" + latest.status + L")";
        } else if (latest.id == kEngineConnectedEntry) {
            connected += (connected.empty() ? L"" : L", ") + session;
        }
    }
    if (!unavailable.empty()) {
        return {"session.engine", CheckResult::Failure,
                L"from the Event Log, not connected to the engine in sessions " + unavailable +
                    L" (entry 200 says what the status means); connected in: " +
                    (connected.empty() ? L"none" : connected)};
    }
    return {"session.engine", CheckResult::Ok,
            L"from the Event Log, connected to the engine in sessions: " +
                (connected.empty() ? L"none yet" : connected)};
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

Check Folders(const CheckContext& context)
{
    if (!context.userSession) {
        return {"session.folders", CheckResult::Skipped, L"not in a user's session"};
    }
    if (!SyncWindowHandler::RetrieveAdjustPermissionsOnLogoffFromHklmRegistry()) {
        return {"session.folders", CheckResult::Skipped, L"the permission revert is off (policy.permissions)"};
    }
    const FolderPermissionsManager::Locations locations = FolderPermissionsManager().GetLocations();
    if (locations.syncRoot.empty()) {
        return {"session.folders", CheckResult::Warning,
                L"SyncRootLocation is not set, or HKCU\\SOFTWARE\\Veltane\\Orvanta\\Sync cannot be opened with full "
                L"access: the revert does nothing for this user"};
    }
    std::wstring problems;
    bool warn = false;
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
    if (problems.empty()) {
        return {"session.folders", CheckResult::Ok, L"the revert works on " + locations.syncRoot + L" and its roots"};
    }
    return {"session.folders", warn ? CheckResult::Warning : CheckResult::Ok, problems};
}

} // namespace

void CheckSessions(const CheckContext& context, Checks& checks)
{
    checks.push_back(Terminate());
    checks.push_back(Sessions(checks));
    checks.push_back(Instance(context));
    checks.push_back(context.userSession ? EngineFromLog() : EngineFromEventLog());
    checks.push_back(Folders(context));
}

} // namespace Orvanta::Deskweave
