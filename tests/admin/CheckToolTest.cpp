// HalyardCheck against planted machine states: real folders, files and registry values, and real
// agents in this session. Its JSON is parsed, never compared as text.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"
#include "admin/check/AgentEntries.h"
#include "admin/check/CheckReport.h"
#include "admin/check/SessionChecks.h"
#include "admin/common/AgentSessions.h"
#include "admin/common/SecurityReview.h"
#include "platform/SecurityDescriptor.h"

#include "HalyardProduct.h"

#include <nlohmann/json.hpp>

#include <sddl.h>

#include <algorithm>
#include <regex>
#include <map>

using namespace HalyardTest;

namespace {

using Results = std::map<std::string, std::string>;
using Changes = std::vector<std::pair<std::string, std::string>>;

// A folder as the package leaves it (under a name beyond ASCII, with a blank): the checker, the agent
// and the client's stand-ins beside it, and the machine's registration of them, for the object's life.
// Given a running agent's program, its Halyard.exe is that very file (a hard link): the installed agent.
class Installation
{
public:
    explicit Installation(const std::wstring& agent = {})
        : folder_(temp_ / L"Client \u00ef\u03a9"), logonStart_(L"\"" + folder_ + L"\\Halyard.exe\""),
          source_(HKEY_LOCAL_MACHINE, kEventSourceKey), remembered_(HKEY_LOCAL_MACHINE, kInstallFolderKey)
    {
        CreateDirectoryW(folder_.c_str(), nullptr);
        for (const wchar_t* file :
             {L"HalyardCheck.exe", kAgentProgram, kEngineLibrary, kSyncMonitorProgram, kSyncApplicationProgram}) {
            const std::wstring path = folder_ + L"\\" + file;
            EXPECT_TRUE(file == kAgentProgram && !agent.empty()
                            ? CreateHardLinkW(path.c_str(), agent.c_str(), nullptr)
                            : CopyFileW(BesideThisProgram(file).c_str(), path.c_str(), FALSE));
        }
        source_.SetString(kEventMessageFileValue, folder_ + L"\\Halyard.exe");
        remembered_.SetString(kInstallFolderValue, folder_ + L"\\");
    }
    const std::wstring& Folder() const { return folder_; }
    const std::wstring& Temp() const { return temp_.Path(); }
    std::wstring operator/(const std::wstring& name) const { return folder_ + L"\\" + name; }
    void Unregister() { source_.Delete(); }
    // The folder the package remembers, as another spelling of it.
    void Remember(const std::wstring& folder) { remembered_.SetString(kInstallFolderValue, folder); }

private:
    TempFolder temp_;
    std::wstring folder_;
    LogonStart logonStart_;
    ScopedRegistryKey source_;
    ScopedRegistryKey remembered_;
};

struct Checked {
    DWORD exitCode;
    nlohmann::json report;
    Results results;
};

// HalyardCheck /json of an installation, as this user with that temporary folder (where the agent's
// logs are).
Checked Check(const Installation& installation, const std::wstring& temp)
{
    const TempFolder output;
    const DWORD exitCode = RunAndWait(L"\"" + (installation / L"HalyardCheck.exe") + L"\" /json", 20000,
                                      {{{L"TMP", temp}, {L"TEMP", temp}}, {}, output / L"json.txt"});
    const std::string text = ReadFileBytes(output / L"json.txt");
    for (const char c : text) {
        EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80) << "not ASCII: " << text;
    }
    Checked checked{exitCode, nlohmann::json::parse(text, nullptr, false), {}};
    EXPECT_FALSE(checked.report.is_discarded()) << text;
    for (const auto& check : checked.report.value("checks", nlohmann::json::array())) {
        checked.results[check.at("id").get<std::string>()] = check.at("result").get<std::string>();
    }
    return checked;
}

std::string Text(const Checked& checked, const std::string& id)
{
    for (const auto& check : checked.report.at("checks")) {
        if (check.at("id") == id) {
            return check.at("text").get<std::string>();
        }
    }
    return "<no check " + id + ">";
}

// The temporary folder whose Orvanta folder holds a run's logs.
std::wstring TempOf(const AgentRun& run)
{
    const std::wstring logs = run.LogFolder();
    return logs.substr(0, logs.rfind(L'\\'));
}

const Results kHealthy = {
    {"install.files", "ok"},
    {"install.run", "ok"},
    {"install.eventsource", "ok"},
    {"install.folder", "ok"},
    {"install.permissions", "ok"},
    {"engine.file", "ok"},
    {"engine.machine", "ok"},
    {"engine.exports", "ok"},
    {"companions", "ok"},
    {"policy.drive", "ok"},
    {"policy.permissions", "ok"},
    {"terminate", "ok"},
    {"sessions", "ok"},
    {"session.instance", "ok"},
    {"session.engine", "ok"},
    {"session.folders", "skipped"},
};

// The client's folder that the agent of a test runs from: installations link their Halyard.exe to it.
class Client
{
public:
    Client()
    {
        for (const wchar_t* file : {kAgentProgram, kEngineLibrary, kSyncMonitorProgram, kSyncApplicationProgram}) {
            CopyFileW(BesideThisProgram(file).c_str(), (folder_ / file).c_str(), FALSE);
        }
    }
    std::wstring Agent() const { return folder_ / kAgentProgram; }

private:
    TempFolder folder_;
};

void SetRunValue(REGSAM view, const std::wstring& command)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                             &key, nullptr));
    const UniqueHkey owner(key);
    RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
}

class CheckTool : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(EnsureNoAgent()); }
};

TEST_F(CheckTool, EachPlantedStateFailsItsOwnChecksWithTheExitCodeAndTheJsonStaysAscii)
{
    const wchar_t* drive = kDiskVolumeValue;
    using SetUp = std::function<void(Installation&, ScopedRegistryKey&)>;
    UniqueHandle held;
    ChildProcess other;
    std::unique_ptr<ScopedRegistryKey> folders; // a row's own keys, gone with the next row's
    std::unique_ptr<ScopedRegistryKey> approval;
    const auto patchMachine = [](auto& installation, auto&) {
        std::string image = ReadFileBytes(installation / kEngineLibrary);
        const auto header = *reinterpret_cast<const LONG*>(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew));
        image[header + 4] = '\x4C'; // IMAGE_FILE_MACHINE_I386, 0x014C
        image[header + 5] = '\x01';
        WriteFileBytes(installation / kEngineLibrary, image);
    };
    // Task Manager's switch: off when the lowest bit of the first byte is set, whatever follows and however
    // long it is.
    const auto approved = [&folders](const std::string& bytes) -> SetUp {
        return [&folders, bytes](auto&, auto&) {
            folders.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE, kStartupApprovedRunKey));
            folders->SetBytes(kRunValue, REG_BINARY, bytes);
        };
    };
    const Changes runFails = {{"install.run", "failure"}};
    const std::string off = "is switched off in Task Manager's Startup tab";
    const struct {
        const char* name;
        SetUp setUp;
        Changes changed = {}; // none: every check ok, exit code 0
        int exitCode = 0;
        std::string text = {}; // in the text of the check named first in the row
    } rows[] = {
        {"healthy", [](auto&, auto&) {}},
        {"engine missing",
         [](auto& i, auto&) { DeleteFileW((i / kEngineLibrary).c_str()); },
         {{"engine.file", "failure"},
          {"engine.machine", "skipped"},
          {"engine.exports", "skipped"},
          {"install.folder", "warning"}},
         2,
         "8007007E"},
        {"engine not x64", patchMachine, {{"engine.machine", "failure"}, {"engine.exports", "skipped"}}, 2, "800700C1"},
        {"engine without its entry points",
         [](auto& i, auto&) {
             CopyFileW(BesideThisProgram(L"HalyardHalfInstalledEngine.dll").c_str(), (i / kEngineLibrary).c_str(),
                       FALSE);
         },
         {{"engine.exports", "failure"}},
         2,
         "lacks OvInitializeIPC2, OvPrepareForLogoff, OvUninitialize: the agent reports 8007007F"},
        {"a companion missing",
         [](auto& i, auto&) { DeleteFileW((i / kSyncApplicationProgram).c_str()); },
         {{"companions", "warning"}},
         1,
         "no OrvantaSync.exe"},
        {"logon start removed",
         [](auto&, auto&) { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue); },
         {{"install.run", "failure"}},
         2,
         "cannot be read (error 2)"},
        {"logon start elsewhere",
         [](auto&, auto&) {
             const wchar_t other[] = L"\"C:\\Elsewhere\\Halyard.exe\"";
             RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, other, sizeof(other));
         },
         {{"install.run", "failure"}},
         2,
         "runs \"C:\\Elsewhere\\Halyard.exe\", and no such program exists"},
        {"logon start unquoted",
         [](auto& i, auto&) { SetRunValue(KEY_WOW64_64KEY, i / kAgentProgram); },
         {{"install.run", "warning"}},
         1,
         "from a path with blanks, not quoted"},
        {"logon start unquoted, another program found first",
         [](auto& i, auto&) {
             CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (i.Temp() + L"\\Client.exe").c_str(), FALSE);
             SetRunValue(KEY_WOW64_64KEY, i / kAgentProgram);
         },
         {{"install.run", "failure"}},
         2,
         "\\Client.exe, not this folder's Halyard.exe (its path is not quoted"},
        {"logon start with an argument",
         [](auto& i, auto&) { SetRunValue(KEY_WOW64_64KEY, L"\"" + (i / kAgentProgram) + L"\" /run"); },
         {{"install.run", "ok"}},
         0,
         "Halyard.exe\" /run"},
        {"logon start only in the 32-bit view",
         [&folders](auto& i, auto&) {
             RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue);
             folders.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE,
                                                 L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"));
             folders->SetString(kRunValue, L"\"" + (i / kAgentProgram) + L"\"");
         },
         {{"install.run", "warning"}},
         1,
         "only in the 32-bit view, HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run\\Halyard"},
        {"logon start switched off", approved("\x03" + std::string(11, '\0')), runFails, 2, off},
        {"logon start switched off, 07 and 11 bytes", approved("\x07" + std::string(11, '\0')), runFails, 2, off},
        {"logon start switched off, 03 in 80 bytes", approved("\x03" + std::string(79, '\x55')), runFails, 2, off},
        {"logon start switched on, 06 and 11 bytes", approved("\x06" + std::string(11, '\0'))},
        {"only in the 32-bit view and switched off there",
         [&folders, &approval](auto& i, auto&) {
             RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue);
             folders.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE,
                                                 L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"));
             folders->SetString(kRunValue, L"\"" + (i / kAgentProgram) + L"\"");
             approval.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE, kStartupApprovedRun32Key));
             approval->SetBytes(kRunValue, REG_BINARY, std::string("\x03\0\0\0", 4));
         },
         {{"install.run", "failure"}},
         2,
         "StartupApproved\\Run32"},
        {"the engine without OvPrepareForLogoff",
         [](auto& i, auto&) {
             std::string image = ReadFileBytes(i / kEngineLibrary);
             const size_t name = image.find(std::string("OvPrepareForLogoff") + '\0');
             ASSERT_NE(std::string::npos, name);
             image[name + 17] = 'X'; // still sorted between its neighbours
             WriteFileBytes(i / kEngineLibrary, image);
         },
         {{"engine.exports", "failure"}},
         2,
         "lacks OvPrepareForLogoff: the agent connects; at every logoff OvPrepareForLogoff fails with 8007007F, and "
         "the engine is not prepared for it"},
        {"install folder that everyone may write",
         [](auto& i, auto&) {
             PSECURITY_DESCRIPTOR open = nullptr;
             ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                  nullptr);
             const UniqueLocalMemory owner(open);
             SetFileSecurityW(i.Folder().c_str(), DACL_SECURITY_INFORMATION, open);
         },
         {{"install.permissions", "failure"}},
         2,
         "Everyone (S-1-1-0) may create files in it (FILE_ADD_FILE)"},
        // One folder, however it is spelled: compared by what the file system knows it as.
        {"the remembered folder in other letters",
         [](auto& i, auto&) {
             std::wstring upper = i.Folder();
             CharUpperW(upper.data());
             i.Remember(upper);
         }},
        {"the remembered folder as a \\\\?\\ path", [](auto& i, auto&) { i.Remember(L"\\\\?\\" + i.Folder()); }},
        {"the remembered folder by its short name",
         [](auto& i, auto&) {
             wchar_t shortName[MAX_PATH] = {};
             ASSERT_NE(0u, GetShortPathNameW(i.Folder().c_str(), shortName, MAX_PATH));
             ASSERT_NE(i.Folder(), shortName);
             i.Remember(shortName);
         }},
        // This folder's running agent stays this folder's; logon starts another copy, which is said.
        {"the Run value naming another copy of the agent",
         [](auto& i, auto&) {
             CreateDirectoryW((i.Temp() + L"\\Other").c_str(), nullptr);
             CopyFileW(BesideThisProgram(kAgentProgram).c_str(), (i.Temp() + L"\\Other\\Halyard.exe").c_str(), FALSE);
             SetRunValue(KEY_WOW64_64KEY, L"\"" + i.Temp() + L"\\Other\\Halyard.exe\"");
         },
         {{"install.run", "failure"}},
         2,
         "\\Other\\Halyard.exe, not this folder's Halyard.exe: logon starts another program"},
        {"event source not registered",
         [](auto& i, auto&) { i.Unregister(); },
         {{"install.eventsource", "warning"}},
         1,
         "not registered"},
        {"no policy key",
         [](auto&, auto& p) { p.Delete(); },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync is not configured.  Exit.\""},
        {"no drive value",
         [](auto&, auto&) { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kDiskVolumeValue); },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync drive is not configured.  Exit.\""},
        {"drive value over 60 bytes",
         [=](auto&, auto& p) { p.SetString(drive, std::wstring(30, L'O')); },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync drive is not configured.  Exit.\""},
        {"revert meant on, read off",
         [](auto&, auto& p) { p.SetString(kAdjustPermissionsValue, L"true"); },
         {{"policy.permissions", "warning"}},
         1,
         "read as off from REG_SZ \"true\""},
        {"revert on from REG_NONE",
         [](auto&, auto& p) { p.SetBytes(kAdjustPermissionsValue, REG_NONE, "\x01"); },
         {{"policy.permissions", "warning"}, {"session.folders", "warning"}},
         1,
         "read as on from REG_NONE 01"},
        {"revert on, sync root too long to read",
         [&folders](auto&, auto& p) {
             p.SetDword(kAdjustPermissionsValue, 1);
             folders.reset(new ScopedRegistryKey(HKEY_CURRENT_USER, kSyncFoldersKey));
             folders->SetString(kSyncRootValue, L"C:\\" + std::wstring(257, L's'));
         },
         {{"session.folders", "warning"}},
         1,
         "SyncRootLocation: error 234: it holds 260 characters or more: the revert does nothing for this user"},
        {"a user's own Halyard.exe",
         [&other](auto& i, auto&) {
             const std::wstring own = i.Temp() + L"\\" + kAgentProgram;
             CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), own.c_str(), FALSE);
             ASSERT_EQ(0u, other.Start(L"\"" + own + L"\" wait-gone 20000"));
         },
         {{"sessions", "ok"}},
         0,
         "programs named Halyard.exe that are not the installed agent"},
        {"revert on, no sync root",
         [](auto&, auto& p) { p.SetDword(kAdjustPermissionsValue, 1); },
         {{"session.folders", "warning"}},
         1,
         "SyncRootLocation is not set"},
        {"engine cut short",
         [](auto& i, auto&) { WriteFileBytes(i / kEngineLibrary, ReadFileBytes(i / kEngineLibrary).substr(0, 300)); },
         {{"engine.machine", "failure"}, {"engine.exports", "skipped"}},
         2,
         "is not an image Windows maps (truncated or damaged, error 193): the agent reports 800700C1 every 2 s: the "
         "libOVSyncEngine.dll beside Halyard.exe is 32-bit, truncated or damaged"},
        {"engine a folder",
         [](auto& i, auto&) {
             DeleteFileW((i / kEngineLibrary).c_str());
             CreateDirectoryW((i / kEngineLibrary).c_str(), nullptr);
         },
         {{"engine.file", "failure"},
          {"engine.machine", "skipped"},
          {"engine.exports", "skipped"},
          {"install.folder", "warning"}},
         2,
         "is a folder, not the library: the agent reports 80070005"},
        {"engine held by another program",
         [&held](auto& i, auto&) {
             held.reset(CreateFileW((i / kEngineLibrary).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
         },
         {{"engine.file", "failure"}, {"engine.machine", "skipped"}, {"engine.exports", "skipped"}},
         2,
         "(a sharing violation): the agent reports 80070020"},
        {"logon start off by policy",
         [&folders](auto&, auto&) {
             folders.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE, kExplorerPolicyKey));
             folders->SetDword(kDisableMachineRunValue, 1);
         },
         {{"install.run", "failure"}},
         2,
         "DisableLocalMachineRun"},
        {"revert on from a one-character string",
         [](auto&, auto& p) { p.SetString(kAdjustPermissionsValue, L"0"); },
         {{"policy.permissions", "warning"}, {"session.folders", "warning"}},
         1,
         "read as on from REG_SZ \"0\""},
        {"revert on, sync root a drive's root",
         [&folders](auto&, auto& p) {
             p.SetDword(kAdjustPermissionsValue, 1);
             folders.reset(new ScopedRegistryKey(HKEY_CURRENT_USER, kSyncFoldersKey));
             folders->SetString(kSyncRootValue, L"C:\\");
         },
         {{"session.folders", "warning"}},
         1,
         "C:\\ is a drive's root: the revert never writes it"},
        // Last: the agent of this session ends at the signal, and then another program holds its name.
        {"terminate event held signalled",
         [&held](auto&, auto&) {
             held.reset(CreateEventW(nullptr, TRUE, FALSE, kTerminateEventName));
             SetEvent(held.get());
             WaitForAgentWindow(false, 20000);
         },
         {{"terminate", "failure"}, {"sessions", "warning"}, {"session.engine", "skipped"}},
         2,
         "is held signalled"},
        {"instance name held, no agent",
         [&held](auto&, auto&) {
             SetLastError(0);
             held.reset(CreateMutexW(nullptr, TRUE, kInstanceMutexName));
             EXPECT_EQ(0u, GetLastError()) << "an agent still holds the name";
         },
         {{"session.instance", "failure"}, {"sessions", "warning"}, {"session.engine", "skipped"}},
         2,
         "no agent runs in this session"},
        {"terminate event's name held by a mutex",
         [&held](auto&, auto&) { held.reset(CreateMutexW(nullptr, FALSE, kTerminateEventName)); },
         {{"terminate", "failure"}, {"sessions", "warning"}, {"session.engine", "skipped"}},
         2,
         "another kind of object (a mutex, a semaphore) holds its name"},
    };
    const Client client;
    AgentRun agent(client.Agent());
    {
        PolicyKey policy;
        agent.StartRunning();
    }
    ASSERT_TRUE(agent.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PolicyKey rowPolicy;
        Installation installation(client.Agent());
        folders.reset();
        approval.reset();
        row.setUp(installation, rowPolicy);
        const Checked checked = Check(installation, TempOf(agent));
        Results expected = kHealthy;
        for (const auto& [id, result] : row.changed) {
            expected[id] = result;
        }
        EXPECT_EQ(expected, checked.results);
        EXPECT_EQ(static_cast<DWORD>(row.exitCode), checked.exitCode);
        if (!row.changed.empty()) {
            EXPECT_NE(std::string::npos, Text(checked, row.changed[0].first).find(row.text))
                << Text(checked, row.changed[0].first);
        } else {
            EXPECT_EQ("ok", checked.report.at("result"));
            EXPECT_EQ(HALYARD_VERSION_TEXT, checked.report.at("version"));
            EXPECT_EQ(Narrow(installation.Folder()),
                      Text(checked, "install.files").substr(Text(checked, "install.files").find(" in ") + 4));
        }
        held.reset();
        other.Terminate();
    }
}

TEST_F(CheckTool, AnAgentThatCannotReachItsEngineFailsTheEngineCheckWithWhatItsStatusMeans)
{
    PolicyKey policy;
    const Installation installation;
    AgentRun agent(installation / kAgentProgram);
    agent.StandIns().ScriptEngine("InitializeFailures=1000\r\nInitializeFailureStatus=0x8007007E\r\n");
    agent.StartRunning();
    ASSERT_TRUE(agent.WaitForDebugText(L"OvInitialize2 failed with result = 8007007E"));
    const Checked checked = Check(installation, TempOf(agent));
    EXPECT_EQ("failure", checked.results.at("session.engine"));
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    // The log's lines carry no year: it comes from the log's name.
    EXPECT_NE(std::string::npos,
              Text(checked, "session.engine").find("the last attempt, at " + std::to_string(now.wYear) + "-"))
        << Text(checked, "session.engine");
    EXPECT_NE(std::string::npos, Text(checked, "session.engine")
                                     .find("returned 8007007E: libOVSyncEngine.dll, or a library it needs, was not "
                                           "found beside Halyard.exe"))
        << Text(checked, "session.engine");
    EXPECT_EQ(2u, checked.exitCode);

    // The table fits a console 100 columns wide, but for a path, which is never broken across lines.
    const TempFolder output;
    const std::wstring checker = L"\"" + (installation / L"HalyardCheck.exe") + L"\"";
    const ChildOptions asTheAgentsUser = {{{L"TMP", TempOf(agent)}}, {}, {}};
    const auto run = [&](const std::wstring& arguments, const wchar_t* file) {
        ChildOptions options = asTheAgentsUser;
        options.outputFile = output / file;
        return RunAndWait(checker + arguments, 20000, options);
    };
    EXPECT_EQ(2u, run(L"", L"table.txt"));
    const std::string folder = Narrow(installation.Folder());
    EXPECT_NE(std::string::npos, ReadFileBytes(output / L"table.txt").find(folder + "\\libOVSyncEngine.dll"));
    const Messages table = ReadLines(output / L"table.txt");
    EXPECT_EQ(0u, table.back().find("HalyardCheck " HALYARD_VERSION_TEXT " on ")) << table.back();
    for (const std::string& line : table) {
        // Characters, not the UTF-8 bytes of the folder's name.
        EXPECT_TRUE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }) < 100 ||
                    line.find(folder) != std::string::npos)
            << line;
    }
    // One line for a deployment tool: the result, the ids, the texts.
    EXPECT_EQ(2u, run(L" /summary", L"summary.txt"));
    const std::string summary = ReadFileBytes(output / L"summary.txt");
    EXPECT_EQ(0u, summary.find("failure: 1 failure(s), 0 warning(s), 14 ok, 1 skipped: session.engine | "
                               "session.engine: not connected to the engine: the last attempt, at "))
        << summary;
    EXPECT_EQ(summary.size() - 2, summary.find("\r\n"));

    // The usage answers every way of asking for it, and names an argument it refuses.
    for (const wchar_t* help : {L" /?", L" -h", L" /HELP"}) {
        EXPECT_EQ(0u, run(help, L"usage.txt")) << Narrow(help);
        EXPECT_EQ(0u, ReadFileBytes(output / L"usage.txt").find("usage: HalyardCheck [/json | /summary]"));
    }
    EXPECT_EQ(3u, run(L" /json /verbose", L"refused.txt"));
    EXPECT_EQ(0u,
              ReadFileBytes(output / L"refused.txt").find("HalyardCheck: the argument /verbose is not one of these"));
    EXPECT_EQ(3u, run(L" /json /summary", L"refused.txt"));
}

// As another user in a user's session (psexec -s -i, runas) or from session 0, the checks of one user
// are skipped and each session's agent is judged from its own log, found from its user's values (by
// the SID of its token) and read with this account's rights, which it says. A log that a user plants
// there, named later and saying otherwise, is not the agent's. A value that names a network or device
// path, or a drive the system resolves elsewhere, is named, said not to be read, and nothing of it is
// opened: the Application log answers then.
TEST_F(CheckTool, FromElsewhereEachAgentIsJudgedFromItsOwnLogAndAValueThatIsNotALocalFolderIsNotRead)
{
    PolicyKey policy;
    AgentRun agent;
    agent.StartRunning();
    ASSERT_TRUE(agent.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    const UserEnvironmentValue tmp(L"TMP", TempOf(agent));
    const UserEnvironmentValue temp(L"TEMP", TempOf(agent));
    ASSERT_TRUE(WriteFileBytes(agent.LogFolder() + L"\\Halyard_2099-12-31_23-59-58.log",
                               "[0000002C] [01/01 00:00:05] Orvanta::Deskweave::SyncWindowHandler::OnTimer::"
                               "OvInitialize2 failed with result = 8007007E\r\n"));
    Caller anotherUser = Caller::OfThisProcess();
    anotherUser.user = L"OTHER\\administrator";
    Caller sessionZero = Caller::OfThisProcess();
    sessionZero.session = 0;
    for (const Caller& caller : {anotherUser, sessionZero}) {
        SCOPED_TRACE(caller.session);
        Checks checks;
        CheckSessions(CheckContext::Of(BesideThisProgram(L""), caller), checks);
        const auto* engine = FindCheck(checks, "session.engine");
        ASSERT_NE(nullptr, engine);
        EXPECT_EQ(CheckResult::Ok, engine->result) << Narrow(engine->text);
        EXPECT_TRUE(
            std::regex_search(Narrow(engine->text),
                              std::regex(R"(^session \d+ \(.+\): connected to the engine at \d{4}-\d\d-\d\d )"
                                         R"(\d\d:\d\d:\d\d \(Halyard_\d{4}.*\), from the user's log \(read with )"
                                         R"(this account's rights, not as each user)")))
            << Narrow(engine->text);
        EXPECT_EQ(CheckResult::Skipped, FindCheck(checks, "session.folders")->result);
        EXPECT_EQ(0u,
                  FindCheck(checks, "session.folders")
                      ->text.find(caller.session == 0 ? L"not in a user's session" : L"run as OTHER\\administrator"));
    }
    const WineDrive linked(agent.LogFolder());
    const std::pair<std::wstring, std::string> refused[] = {
        {L"\\\\some-host\\share", "a network path (UNC)"},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Temp", "a device path"},
        {L"%NOWHERE%\\Temp", "it holds a variable that did not expand"},
        {linked.Letter() + L"\\Temp", "the system resolves drive " + Narrow(linked.Letter()) + " to no volume"},
    };
    for (const auto& [value, why] : refused) {
        SCOPED_TRACE(Narrow(value));
        tmp.Set(value);
        temp.Set(value);
        Checks checks;
        CheckSessions(CheckContext::Of(BesideThisProgram(L""), sessionZero), checks);
        const std::string text = Narrow(FindCheck(checks, "session.engine")->text);
        EXPECT_NE(std::string::npos, text.find("TMP of S-1-")) << text;
        EXPECT_NE(std::string::npos, text.find(": not read: " + why)) << text;
        EXPECT_NE(std::string::npos, text.find("; the Application log says: ")) << text;
    }
}

// One Application log record as ReadEventLogW returns it, naming a user and a time.
std::string Record(DWORD id, const std::wstring& source, const std::vector<std::wstring>& strings, size_t padding = 0,
                   const wchar_t* sid = nullptr, DWORD generated = 4102444800) // 2100-01-01 00:00:00 UTC
{
    std::wstring texts = source + L'\0' + L"PC" + L'\0';
    EVENTLOGRECORD header = {};
    header.EventID = id;
    header.TimeGenerated = generated;
    header.NumStrings = static_cast<WORD>(strings.size());
    std::string record(sizeof(header), '\0');
    record.append(reinterpret_cast<const char*>(texts.data()), texts.size() * sizeof(wchar_t));
    PSID user = nullptr;
    if (sid != nullptr && ConvertStringSidToSidW(sid, &user)) {
        record.append(4 - record.size() % 4, '\0');
        header.UserSidOffset = static_cast<DWORD>(record.size());
        header.UserSidLength = GetLengthSid(user);
        record.append(static_cast<const char*>(user), GetLengthSid(user));
        LocalFree(user);
    }
    header.StringOffset = static_cast<DWORD>(record.size());
    std::wstring strung;
    for (const std::wstring& text : strings) {
        strung += text + L'\0';
    }
    record.append(reinterpret_cast<const char*>(strung.data()), strung.size() * sizeof(wchar_t));
    record.append(padding + 4 - record.size() % 4, '\0');
    header.Length = static_cast<DWORD>(record.size());
    memcpy(&record[0], &header, sizeof(header));
    return record;
}

// The Event Log's records parsed through the reading's seam (Wine's ReadEventLogW is a stub), newest
// first: a record larger than the buffer is read again with the size it asks for; records of other
// sources, other ids and sessions that are not numbers are passed over. A session's agent is its
// session's newest entry of its user since it started: its number, given again after a logoff, and
// another user's entries naming it prove nothing of it.
TEST(AgentEntries, ASessionsAgentIsToldByItsSessionItsUserAndItsStartWhateverTheRecordsBeforeIt)
{
    const wchar_t* alice = L"S-1-5-21-1-2-3-1001";
    const wchar_t* bob = L"S-1-5-21-1-2-3-1002";
    const std::vector<std::string> reads = {
        Record(200, L"Other", {L"5"}, 70 * 1024),
        Record(200, kEventSourceName, {L"3", L"8007007E", L"not found"}, 0, bob) +
            Record(201, kEventSourceName, {L"3", L"7"}, 0, alice) +
            Record(0x40000000 | 100, kEventSourceName, {L"4", L"1.0"}, 0, alice) +
            Record(201, kEventSourceName, {L"x5"}) + Record(300, kEventSourceName, {L"6"}) +
            Record(200, kEventSourceName, {L"7", L"&<script>"}, 0, alice) +
            Record(201, kEventSourceName, {L"3", L"2"}, 0, alice, 4102444800 - 86400),
    };
    size_t next = 0;
    const EventLogReading reading = [&](BYTE* buffer, DWORD size, DWORD& read, DWORD& needed) -> BOOL {
        if (next == reads.size()) {
            SetLastError(ERROR_HANDLE_EOF);
            return FALSE;
        }
        if (reads[next].size() > size) {
            needed = static_cast<DWORD>(reads[next].size());
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(buffer, reads[next].data(), reads[next].size());
        read = static_cast<DWORD>(reads[next++].size());
        return TRUE;
    };
    DWORD error = 0;
    const std::vector<AgentEntry> entries = AgentEntriesNewestFirst(reading, 4 << 20, error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), error);
    std::vector<std::string> found;
    for (const AgentEntry& entry : entries) {
        found.push_back(std::to_string(entry.session) + " " + std::to_string(entry.id) + " " + Narrow(entry.status) +
                        " " + Narrow(entry.sid));
    }
    EXPECT_EQ((std::vector<std::string>{"3 200 8007007E S-1-5-21-1-2-3-1002", "3 201  S-1-5-21-1-2-3-1001",
                                        "4 100  S-1-5-21-1-2-3-1001",
                                        "7 200 (a status that is not one) S-1-5-21-1-2-3-1001",
                                        "3 201  S-1-5-21-1-2-3-1001"}),
              found);
    const struct {
        DWORD session;
        const wchar_t* sid;
        DWORD since;
        int found; // the index of the entry, or -1
    } rows[] = {
        {3, alice, 0, 1},
        {3, bob, 0, 0},
        {3, L"s-1-5-21-1-2-3-1001", 0, 1},
        {3, alice, 4102444800, 1},
        {3, alice, 4102444801, -1},
        {3, L"", 0, 0},
        {4, bob, 0, -1},
        {5, L"", 0, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.session) + " " + Narrow(row.sid) + " " + std::to_string(row.since));
        const AgentEntry* entry = LatestEntryOf(entries, row.session, row.sid, row.since);
        EXPECT_EQ(row.found, entry == nullptr ? -1 : static_cast<int>(entry - entries.data()));
    }
    EXPECT_EQ("2100", Narrow(entries[1].time).substr(0, 4) == "2099" ? "2100" : Narrow(entries[1].time).substr(0, 4));
}

// What a descriptor lets others do, on descriptors as Windows sets them (Wine keeps no DACLs: it
// makes them from file modes): the install folder, its parent and a file, and the entries that a sync
// root's parent hands down that grant nothing on the sync root itself.
TEST(SecurityReview, DescriptorsAsWindowsSetsThemAreJudgedForWhoMayChangeWhatRunsAndWhatIsInheritOnly)
{
    const std::wstring installer = L"S-1-5-80-956008885-3425439555-4228271513-2283512549-1433233245";
    const struct {
        const char* what;
        std::wstring sddl;
        Guarded kind;
        std::wstring writer; // the beginning of what is said; empty: nobody
    } rows[] = {
        {"Program Files as Windows sets it",
         L"O:" + installer + L"D:PAI(A;;FA;;;" + installer + L")(A;OICIIO;GA;;;" + installer +
             L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
             L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)",
         Guarded::Parent, L""},
        {"a client's folder below it",
         L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"
         L"(A;OICIIOID;GA;;;CO)",
         Guarded::Folder, L""},
        {"Users with Modify, inherited", L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;BU)",
         Guarded::Folder, L"BUILTIN\\Users (S-1-5-32-545) may create files in it (FILE_ADD_FILE)"},
        {"a folder under C:\\", L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1301bf;;;AU)",
         Guarded::Folder, L"NT AUTHORITY\\Authenticated Users (S-1-5-11) may create files in it"},
        {"C:\\ above it",
         L"O:" + installer + L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)",
         Guarded::Parent, L""},
        {"a program Everyone may write", L"O:BAD:(A;;FA;;;SY)(A;;FW;;;WD)", Guarded::File,
         L"Everyone (S-1-1-0) may write it (FILE_WRITE_DATA)"},
        {"a parent that lets Users delete", L"O:BAD:(A;;0x1200e9;;;BU)", Guarded::Parent,
         L"BUILTIN\\Users (S-1-5-32-545) may delete or rename what is in it"},
        {"owned by a user", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", Guarded::Folder,
         L"S-1-5-21-1-2-3-1001 (S-1-5-21-1-2-3-1001) owns it"},
        {"denied, not allowed", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", Guarded::Folder, L""},
        {"a parent that Users may rename", L"O:BAD:(A;;0x1200a9;;;SY)(A;;SD;;;BU)", Guarded::Parent,
         L"BUILTIN\\Users (S-1-5-32-545) may delete or rename it, and with it the install folder's path (DELETE)"},
        {"a program Users may write by a generic right", L"O:BAD:(A;;FA;;;SY)(A;;GW;;;BU)", Guarded::File,
         L"BUILTIN\\Users (S-1-5-32-545) may write it (FILE_WRITE_DATA)"},
        {"a folder Users may change by a generic right", L"O:BAD:(A;;GA;;;BU)", Guarded::Folder,
         L"BUILTIN\\Users (S-1-5-32-545) may create files in it (FILE_ADD_FILE)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         nullptr));
        const UniqueLocalMemory owner(descriptor);
        const std::wstring writer = FindWriter(descriptor, row.kind, nullptr);
        EXPECT_EQ(0u, writer.find(row.writer)) << Narrow(writer);
        EXPECT_EQ(row.writer.empty(), writer.empty()) << Narrow(writer);
    }
    // The administrator who asks may own what they installed.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)",
                                                                     SDDL_REVISION_1, &descriptor, nullptr));
    const UniqueLocalMemory owner(descriptor);
    BOOL defaulted = FALSE;
    PSID user = nullptr;
    GetSecurityDescriptorOwner(descriptor, &user, &defaulted);
    EXPECT_EQ(L"", FindWriter(descriptor, Guarded::Folder, user));
    const UniqueLocalMemory nullDacl(CreateEveryOneAllowedSecurityDescriptor());
    EXPECT_EQ(L"everyone may do anything with it (it has a null DACL)",
              FindWriter(nullDacl.get(), Guarded::File, nullptr));

    // A volume's root as Windows formats it: Authenticated Users' Modify and CREATOR OWNER's Full control
    // apply to subfolders only.
    PSECURITY_DESCRIPTOR root = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)",
        SDDL_REVISION_1, &root, nullptr));
    const UniqueLocalMemory rootOwner(root);
    EXPECT_EQ(L"NT AUTHORITY\\Authenticated Users (OI)(CI)(IO)(M); CREATOR OWNER (OI)(CI)(IO)(F)",
              InheritOnlyEntries(root));
    EXPECT_EQ(L"", InheritOnlyEntries(descriptor));
}

// The one line for deployment tools keeps 2,048 characters, the line end included, and the table's
// lines break between words but never inside a path, whatever its blanks.
TEST(CheckReport, TheSummaryFitsWhatDeploymentToolsKeepAndTheTableNeverBreaksAPath)
{
    const std::wstring path = L"C:\\Program Files\\Orvanta Client\\libOVSyncEngine.dll";
    const CheckReport report(L"1.0", L"PC", 2,
                             {{"engine.file", CheckResult::Failure,
                               L"no " + path + L": the agent reports " + std::wstring(3000, L'x')},
                              {"companions", CheckResult::Warning, L"\u00ef"},
                              {"sessions", CheckResult::Ok, L"fine"}});
    const std::string summary = report.Summary();
    EXPECT_EQ(2048u, summary.size());
    EXPECT_EQ(0u, summary.find("failure: 1 failure(s), 1 warning(s), 1 ok, 0 skipped: engine.file, companions | "
                               "engine.file: no " +
                               Narrow(path) + ": the agent reports xxx"));
    EXPECT_EQ(summary.size() - 5, summary.find("...\r\n"));
    // 2,048 characters with the line end are kept whole; one more, and the line is cut to 2,048.
    const std::string head = "warning: 0 failure(s), 1 warning(s), 0 ok, 0 skipped: companions | companions: ";
    for (const size_t length : {2046, 2047}) {
        SCOPED_TRACE(length);
        const CheckReport fitting(L"1.0", L"PC", 2,
                                  {{"companions", CheckResult::Warning, std::wstring(length - head.size(), L'y')}});
        const std::string line = fitting.Summary();
        EXPECT_EQ(2048u, line.size());
        EXPECT_EQ(length == 2047, line.find("...\r\n") == 2043) << line.substr(2030);
    }
    const CheckReport shorter(L"1.0", L"PC", 2, {{"companions", CheckResult::Warning, L"\u00ef"}});
    EXPECT_EQ("warning: 0 failure(s), 1 warning(s), 0 ok, 0 skipped: companions | companions: \\u00ef\r\n",
              shorter.Summary());

    const CheckReport table(L"1.0", L"PC", 2,
                            {{"engine.file", CheckResult::Failure,
                              L"a text of some length before the path that is long enough for the path to be at the "
                              L"end of the line: " +
                                  path + L": what to do"}});
    const std::wstring text = table.Text();
    EXPECT_NE(std::wstring::npos, text.find(L"\r\n                            " + path + L": what to do\r\n"))
        << Narrow(text);
}

// Who runs the tools decides what they read: the session's user, told by name as Windows compares
// account names (without regard to case), with or without the domain the session's list gives.
TEST(Caller, TheSessionsUserIsToldByNameWithoutRegardToCase)
{
    const struct {
        const wchar_t* user;
        const wchar_t* sessionUser;
        bool same;
    } rows[] = {
        {L"VM\\root", L"VM\\root", true},    {L"VM\\ROOT", L"vm\\Root", true},
        {L"VM\\Root", L"root", true},        {L"OTHER\\root", L"VM\\root", false},
        {L"VM\\rooted", L"VM\\root", false}, {L"VM\\root", L"", false},
        {L"", L"VM\\root", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.user) + " / " + Narrow(row.sessionUser));
        Caller caller;
        caller.user = row.user;
        caller.sessionUser = row.sessionUser;
        EXPECT_EQ(row.same, caller.IsSessionUser());
    }
}

// Where the system's list of processes fails, or holds none at all (which it never does where it works),
// the agents are still found, from a snapshot, each with its session where this caller may ask it.
TEST(AgentSessions, WhereTheSystemsListFailsOrHoldsNothingTheAgentsAreTakenFromASnapshot)
{
    const TempFolder folder;
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"HalyardDevCtl.exe").c_str(), (folder / kAgentProgram).c_str(), FALSE));
    ChildProcess named;
    ASSERT_EQ(0u, named.Start(L"\"" + (folder / kAgentProgram) + L"\" wait-gone 20000"));
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    for (const DWORD failure : {0ul, 1722ul}) {
        SCOPED_TRACE(failure);
        DWORD error = 0;
        const std::vector<AgentProcess> found =
            HalyardProcessesFrom([failure](std::vector<ListedProcess>&) { return failure; }, error);
        EXPECT_EQ(failure == 0 ? static_cast<DWORD>(ERROR_NO_DATA) : failure, error);
        const auto it = std::find_if(found.begin(), found.end(),
                                     [&named](const AgentProcess& p) { return p.processId == named.Id(); });
        ASSERT_NE(found.end(), it);
        EXPECT_EQ(session, it->sessionId);
        EXPECT_FALSE(it->agent) << "a program of the agent's name elsewhere";
    }
}

// The Application log answers for a session whose agent's log cannot be read: its newest entry of that
// session, of the agent's user and since its start.
// Label: windows
TEST_F(CheckTool, TheApplicationLogNamesASessionsAgentByItsSessionUserAndStart)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine's ReadEventLogW is a stub";
    }
    PolicyKey policy;
    AgentRun agent;
    agent.StartRunning();
    ASSERT_TRUE(agent.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    const std::vector<AgentProcess> agents = RunningAgents();
    ASSERT_EQ(1u, agents.size());
    DWORD error = 0;
    const std::vector<AgentEntry> entries = AgentEntriesOfThisMachine(error);
    const AgentEntry* entry = LatestEntryOf(entries, agents[0].sessionId, agents[0].sid,
                                            static_cast<DWORD>(agents[0].started / 10000000ULL - 11644473600ULL));
    ASSERT_NE(nullptr, entry) << error;
    EXPECT_EQ(201u, entry->id);
}

} // namespace
