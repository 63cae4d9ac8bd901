// HalyardCheck against planted machine states: real folders, files and registry values, and real
// agents in this session. Its JSON is parsed, never compared as text.
#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"
#include "devtools/common/AgentControl.h"

#include "HalyardProduct.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

using namespace HalyardTest;

namespace {

using Results = std::map<std::string, std::string>;
using Changes = std::vector<std::pair<std::string, std::string>>;

// A folder as the package leaves it (under a name beyond ASCII): the checker, the agent and the
// client's stand-ins beside it, and the machine's registration of them, for the object's life.
class Installation
{
public:
    Installation()
        : folder_(temp_ / L"Client \u00ef\u03a9"), logonStart_(L"\"" + folder_ + L"\\Halyard.exe\""),
          source_(HKEY_LOCAL_MACHINE, kEventSourceKey), remembered_(HKEY_LOCAL_MACHINE, kInstallFolderKey)
    {
        CreateDirectoryW(folder_.c_str(), nullptr);
        for (const wchar_t* file :
             {L"HalyardCheck.exe", kAgentProgram, kEngineLibrary, kSyncMonitorProgram, kSyncApplicationProgram}) {
            CopyFileW(BesideThisProgram(file).c_str(), (folder_ + L"\\" + file).c_str(), FALSE);
        }
        source_.SetString(kEventMessageFileValue, folder_ + L"\\Halyard.exe");
        remembered_.SetString(kInstallFolderValue, folder_ + L"\\");
    }
    const std::wstring& Folder() const { return folder_; }
    std::wstring operator/(const std::wstring& name) const { return folder_ + L"\\" + name; }
    void Unregister() { source_.Delete(); }

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
    {"install.files", "ok"},      {"install.run", "ok"},    {"install.eventsource", "ok"},
    {"install.folder", "ok"},     {"engine.file", "ok"},    {"engine.machine", "ok"},
    {"engine.exports", "ok"},     {"companions", "ok"},     {"policy.drive", "ok"},
    {"policy.permissions", "ok"}, {"terminate", "ok"},      {"sessions", "ok"},
    {"session.instance", "ok"},   {"session.engine", "ok"}, {"session.folders", "skipped"},
};

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
    std::unique_ptr<ScopedRegistryKey> folders; // a row's own key, gone with the next row's
    const auto patchMachine = [](Installation& installation, ScopedRegistryKey&) {
        std::string image = ReadFileBytes(installation / kEngineLibrary);
        const auto header = *reinterpret_cast<const LONG*>(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew));
        image[header + 4] = '\x4C'; // IMAGE_FILE_MACHINE_I386, 0x014C
        image[header + 5] = '\x01';
        WriteFileBytes(installation / kEngineLibrary, image);
    };
    const struct {
        const char* name;
        SetUp setUp;
        Changes changed;
        int exitCode;
        std::string text; // in the text of the check named first in the row
    } rows[] = {
        {"healthy", [](Installation&, ScopedRegistryKey&) {}, {}, 0, ""},
        {"engine missing",
         [](Installation& i, ScopedRegistryKey&) { DeleteFileW((i / kEngineLibrary).c_str()); },
         {{"engine.file", "failure"},
          {"engine.machine", "skipped"},
          {"engine.exports", "skipped"},
          {"install.folder", "warning"}},
         2,
         "8007007E"},
        {"engine not x64", patchMachine, {{"engine.machine", "failure"}, {"engine.exports", "skipped"}}, 2, "800700C1"},
        {"engine without its entry points",
         [](Installation& i, ScopedRegistryKey&) {
             CopyFileW(BesideThisProgram(L"HalyardHalfInstalledEngine.dll").c_str(), (i / kEngineLibrary).c_str(),
                       FALSE);
         },
         {{"engine.exports", "failure"}},
         2,
         "lacks OvInitializeIPC2, OvPrepareForLogoff, OvUninitialize: the agent reports 8007007F"},
        {"a companion missing",
         [](Installation& i, ScopedRegistryKey&) { DeleteFileW((i / kSyncApplicationProgram).c_str()); },
         {{"companions", "warning"}},
         1,
         "no OrvantaSync.exe"},
        {"logon start removed",
         [](Installation&, ScopedRegistryKey&) { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue); },
         {{"install.run", "failure"}},
         2,
         "cannot be read (error 2)"},
        {"logon start elsewhere",
         [](Installation&, ScopedRegistryKey&) {
             const wchar_t other[] = L"\"C:\\Elsewhere\\Halyard.exe\"";
             RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, other, sizeof(other));
         },
         {{"install.run", "failure"}},
         2,
         "runs \"C:\\Elsewhere\\Halyard.exe\", not"},
        {"event source not registered",
         [](Installation& i, ScopedRegistryKey&) { i.Unregister(); },
         {{"install.eventsource", "warning"}},
         1,
         "not registered"},
        {"no policy key",
         [](Installation&, ScopedRegistryKey& p) { p.Delete(); },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync is not configured.  Exit.\""},
        {"no drive value",
         [](Installation&, ScopedRegistryKey&) {
             RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kDiskVolumeValue);
         },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync drive is not configured.  Exit.\""},
        {"drive value over 60 bytes",
         [=](Installation&, ScopedRegistryKey& p) { p.SetString(drive, std::wstring(30, L'O')); },
         {{"policy.drive", "failure"}, {"sessions", "skipped"}},
         2,
         "\"On-demand Sync drive is not configured.  Exit.\""},
        {"revert meant on, read off",
         [](Installation&, ScopedRegistryKey& p) { p.SetString(kAdjustPermissionsValue, L"true"); },
         {{"policy.permissions", "warning"}},
         1,
         "read as off from REG_SZ \"true\""},
        {"revert on, no sync root",
         [](Installation&, ScopedRegistryKey& p) { p.SetDword(kAdjustPermissionsValue, 1); },
         {{"session.folders", "warning"}},
         1,
         "SyncRootLocation is not set"},
        {"engine cut short",
         [](Installation& i, ScopedRegistryKey&) {
             WriteFileBytes(i / kEngineLibrary, ReadFileBytes(i / kEngineLibrary).substr(0, 300));
         },
         {{"engine.machine", "failure"}, {"engine.exports", "skipped"}},
         2,
         "is not an image Windows maps (truncated or damaged, error 193): the agent reports 800700C1 every 2 s: the "
         "libOVSyncEngine.dll beside Halyard.exe is 32-bit, truncated or damaged"},
        {"engine a folder",
         [](Installation& i, ScopedRegistryKey&) {
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
         [&held](Installation& i, ScopedRegistryKey&) {
             held.reset(CreateFileW((i / kEngineLibrary).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
         },
         {{"engine.file", "failure"}, {"engine.machine", "skipped"}, {"engine.exports", "skipped"}},
         2,
         "(a sharing violation): the agent reports 80070020"},
        {"logon start off by policy",
         [&folders](Installation&, ScopedRegistryKey&) {
             folders.reset(new ScopedRegistryKey(HKEY_LOCAL_MACHINE, kExplorerPolicyKey));
             folders->SetDword(kDisableMachineRunValue, 1);
         },
         {{"install.run", "failure"}},
         2,
         "DisableLocalMachineRun"},
        {"revert on from a one-character string",
         [](Installation&, ScopedRegistryKey& p) { p.SetString(kAdjustPermissionsValue, L"0"); },
         {{"policy.permissions", "warning"}, {"session.folders", "warning"}},
         1,
         "read as on from REG_SZ \"0\""},
        {"revert on, sync root a drive's root",
         [&folders](Installation&, ScopedRegistryKey& p) {
             p.SetDword(kAdjustPermissionsValue, 1);
             folders.reset(new ScopedRegistryKey(HKEY_CURRENT_USER, kSyncFoldersKey));
             folders->SetString(kSyncRootValue, L"C:\\");
         },
         {{"session.folders", "warning"}},
         1,
         "C:\\ is a drive's root: the revert never writes it"},
        // Last: the agent of this session ends at the signal, and then another program holds its name.
        {"terminate event held signalled",
         [&held](Installation&, ScopedRegistryKey&) {
             held.reset(CreateEventW(nullptr, TRUE, FALSE, kTerminateEventName));
             SetEvent(held.get());
             WaitForAgentWindow(false, 20000);
         },
         {{"terminate", "failure"}, {"sessions", "warning"}},
         2,
         "is held signalled"},
        {"instance name held, no agent",
         [&held](Installation&, ScopedRegistryKey&) {
             SetLastError(0);
             held.reset(CreateMutexW(nullptr, TRUE, kInstanceMutexName));
             EXPECT_EQ(0u, GetLastError()) << "an agent still holds the name";
         },
         {{"session.instance", "failure"}, {"sessions", "warning"}},
         2,
         "no agent runs in this session"},
    };
    AgentRun agent;
    {
        PolicyKey policy;
        agent.StartRunning();
    }
    ASSERT_TRUE(agent.WaitForDebugText(L"OvRegisterJobStatusListener returned result = 00000000"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PolicyKey rowPolicy;
        Installation installation;
        folders.reset();
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
    }
}

TEST_F(CheckTool, AnAgentThatCannotReachItsEngineFailsTheEngineCheckWithWhatItsStatusMeans)
{
    PolicyKey policy;
    const Installation installation;
    AgentRun agent;
    agent.StandIns().ScriptEngine("InitializeFailures=1000\r\nInitializeFailureStatus=0x8007007E\r\n");
    agent.StartRunning();
    ASSERT_TRUE(agent.WaitForDebugText(L"OvInitialize2 failed with result = 8007007E"));
    const Checked checked = Check(installation, TempOf(agent));
    EXPECT_EQ("failure", checked.results.at("session.engine"));
    EXPECT_NE(std::string::npos, Text(checked, "session.engine")
                                     .find("returned 8007007E: libOVSyncEngine.dll, or a library it needs, was not "
                                           "found beside Halyard.exe"))
        << Text(checked, "session.engine");
    EXPECT_EQ(2u, checked.exitCode);

    // The table fits a console 100 columns wide; the usage answers /? and bad arguments.
    const TempFolder output;
    const std::wstring checker = L"\"" + (installation / L"HalyardCheck.exe") + L"\"";
    EXPECT_EQ(2u, RunAndWait(checker, 20000, {{{L"TMP", TempOf(agent)}}, {}, output / L"table.txt"}));
    const Messages table = ReadLines(output / L"table.txt");
    EXPECT_EQ(0u, table.back().find("HalyardCheck " HALYARD_VERSION_TEXT " on ")) << table.back();
    for (const std::string& line : table) {
        // Characters, not the UTF-8 bytes of the folder's name.
        EXPECT_LT(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }), 100) << line;
    }
    EXPECT_EQ(0u, RunAndWait(checker + L" /?"));
    EXPECT_EQ(3u, RunAndWait(checker + L" /json /verbose"));
}

} // namespace
