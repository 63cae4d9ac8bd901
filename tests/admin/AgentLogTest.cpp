// How the checker reads a user's log folder, maybe as the system account: which folders it reads at
// all, how it opens them, which files are the running agent's, where in them it looks, and the bounds
// of it all. On real folders and files; the agent's own are planted, written in order and the newest
// held open for writing, as the agent holds its log.
#include "tests/support/TestSupport.h"
#include "admin/check/AgentLog.h"
#include "admin/check/LogFolder.h"
#include "admin/check/SessionEngine.h"
#include "admin/common/BoundedWorker.h"
#include "admin/common/UserImpersonation.h"

#include <sddl.h>
#include <share.h>
#include <winnetwk.h>
#include <winioctl.h>
#include <wtsapi32.h>

#include <regex>
#include <stdexcept>

using namespace HalyardTest;

namespace {

const std::string kConnected = "[00000A1C] [12/07 10:00:02] Orvanta::Deskweave::SyncWindowHandler::OnTimer::"
                               "OvRegisterJobStatusListener returned result = 00000000\r\n";

std::string Failed(const std::string& time, const std::string& status)
{
    const std::string line = "] Orvanta::Deskweave::SyncWindowHandler::OnTimer::OvInitialize2 failed with result = ";
    return "[00000A1C] [" + time + line + status + "\r\n";
}

// Lines of the agent that say nothing of the engine, about `bytes` of them.
std::string Filler(size_t bytes)
{
    const std::string line = "[00000A1C] [12/07 10:00:03] Orvanta::Deskweave::Window::WindowProc: executing... "
                             "uMsg: 1029 wParam: 0 lParam: 0\r\n";
    std::string text;
    while (text.size() < bytes) {
        text += line;
    }
    return text;
}

unsigned long long Now()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// A log folder of planted files, each written a little after the one before.
class PlantedLogs
{
public:
    PlantedLogs() { CreateDirectoryW(Folder().c_str(), nullptr); }
    ~PlantedLogs()
    {
        for (FILE* file : held_) {
            fclose(file);
        }
    }
    PlantedLogs(const PlantedLogs&) = delete;
    PlantedLogs& operator=(const PlantedLogs&) = delete;

    std::wstring Folder() const { return temp_ / L"Orvanta"; }
    std::wstring operator/(const std::wstring& name) const { return Folder() + L"\\" + name; }
    void Write(const std::wstring& name, const std::string& bytes)
    {
        WriteFileBytes(*this / name, bytes);
        Sleep(30);
    }
    // Written, then held open for writing and not shared for it, as the agent holds its current log.
    void Hold(const std::wstring& name, const std::string& bytes)
    {
        FILE* file = _wfsopen((*this / name).c_str(), L"ab", _SH_DENYWR);
        ASSERT_NE(nullptr, file);
        fwrite(bytes.data(), 1, bytes.size(), file);
        fflush(file);
        held_.push_back(file);
        Sleep(30);
    }

private:
    TempFolder temp_;
    std::vector<FILE*> held_;
};

const std::wstring kCurrent = L"Halyard_2026-12-07_10-05-00.log";
const std::wstring kRotated = L"Halyard_2026-12-07_10-00-00.log";

TEST(AgentLog, OnlyTheRunningAgentsOwnFilesAreJudgedAndItsLastAttemptIsFoundWhereItIsReadingLittle)
{
    using AgentState = AgentLog::State;
    const struct {
        const char* name;
        std::function<void(PlantedLogs&, unsigned long long&)> plant;
        unsigned long long mostBytes;
        AgentState state;
        std::wstring file;
        std::string answer; // time, or time and status
        unsigned long long mostRead;
    } rows[] = {
        {"connected, in its last lines", [](auto& logs, auto&) { logs.Hold(kCurrent, Filler(1000) + kConnected); },
         6 << 20, AgentState::Connected, kCurrent, "2026-12-07 10:00:02", 4096},
        {"the last attempt failed",
         [](auto& logs, auto&) {
             logs.Hold(kCurrent, Failed("12/07 10:00:02", "80070015") + Failed("12/07 10:00:04", "8007007E"));
         },
         6 << 20, AgentState::NotConnected, kCurrent, "2026-12-07 10:00:04 8007007E", 4096},
        {"after a rotation, the connection in the file before",
         [](auto& logs, auto&) {
             logs.Write(kRotated, kConnected + Filler(20000));
             logs.Hold(kCurrent, Filler(20000));
         },
         6 << 20, AgentState::Connected, kRotated, "2026-12-07 10:00:02", 8192},
        {"a file named later that a user wrote, saying otherwise",
         [](auto& logs, auto&) {
             logs.Hold(kCurrent, kConnected);
             logs.Write(L"Halyard_2099-01-01_00-00-00.log", Failed("01/01 00:00:05", "8007007E"));
         },
         6 << 20, AgentState::Connected, kCurrent, "2026-12-07 10:00:02", 4096},
        {"an earlier run's log",
         [](auto& logs, auto& started) {
             logs.Write(kRotated, Failed("12/07 10:00:04", "8007007E"));
             Sleep(2100); // beyond the coarse clocks' allowance
             started = Now();
             logs.Hold(kCurrent, Filler(100));
         },
         6 << 20, AgentState::NoAttempt, kCurrent, "", 4096},
        {"no file held open", [](auto& logs, auto&) { logs.Write(kCurrent, kConnected); }, 6 << 20,
         AgentState::NotTheAgents, L"", "", 0},
        {"connected at the start of a long log",
         [](auto& logs, auto&) { logs.Hold(kCurrent, kConnected + Filler(200000)); }, 6 << 20, AgentState::Connected,
         kCurrent, "2026-12-07 10:00:02", 8192},
        {"more than the bound of bytes, and no attempt", [](auto& logs, auto&) { logs.Hold(kCurrent, Filler(200000)); },
         10000, AgentState::NoAttempt, kCurrent, "", 10000},
        {"a log begun on the last day of a year, a line of the next",
         [](auto& logs, auto&) { logs.Hold(L"Halyard_2099-12-31_23-59-58.log", Failed("01/01 00:00:05", "8007007E")); },
         6 << 20, AgentState::NotConnected, L"Halyard_2099-12-31_23-59-58.log", "2100-01-01 00:00:05 8007007E", 4096},
        {"its current log with a second name, a hard link a user may make to someone else's file",
         [](auto& logs, auto&) {
             logs.Hold(kCurrent, kConnected);
             CreateHardLinkW((logs / L"secret.txt").c_str(), (logs / kCurrent).c_str(), nullptr);
         },
         6 << 20, AgentState::Unreadable, L"", "1920", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlantedLogs logs;
        unsigned long long started = Now();
        Sleep(30);
        row.plant(logs, started);
        LogFolder folder;
        ASSERT_EQ(0u, folder.Open(logs.Folder()));
        AgentLog::Limits limits;
        limits.bytes = row.mostBytes;
        const AgentLog log = AgentLog::Read(folder, started, limits);
        EXPECT_EQ(row.state, log.state);
        EXPECT_EQ(Narrow(row.file), Narrow(log.file));
        char status[16] = {};
        sprintf_s(status, "%08X", log.status);
        const std::string answer = log.state == AgentState::Unreadable     ? std::to_string(log.error)
                                   : log.state == AgentState::NotConnected ? Narrow(log.time) + " " + status
                                                                           : Narrow(log.time);
        EXPECT_EQ(row.answer, answer);
        EXPECT_LE(log.bytesRead, row.mostRead);
        EXPECT_EQ(row.mostBytes < (1 << 20), log.bytesCapHit);
    }
}

TEST(AgentLog, AFolderWithMoreEntriesThanTheBoundIsListedToTheBoundAndSaysSo)
{
    PlantedLogs logs;
    const unsigned long long started = Now();
    for (int i = 0; i < 30; ++i) {
        WriteFileBytes(logs / (L"other-" + std::to_wstring(i) + L".txt"), "x");
    }
    logs.Hold(kCurrent, kConnected);
    LogFolder folder;
    ASSERT_EQ(0u, folder.Open(logs.Folder()));
    AgentLog::Limits limits;
    limits.entries = 10;
    EXPECT_TRUE(AgentLog::Read(folder, started, limits).entriesCapHit);
    limits.entries = 100;
    const AgentLog all = AgentLog::Read(folder, started, limits);
    EXPECT_FALSE(all.entriesCapHit);
    EXPECT_EQ(AgentLog::State::Connected, all.state);
}

// What a user's value names is decided on its text before anything is opened: only a folder of a drive
// letter that the system resolves to a fixed local volume.
TEST(LogFolder, OnlyAFolderOnAFixedLocalVolumeIsEverOpenedAndNoLinkOnTheWayIsFollowed)
{
    TempFolder temp;
    const WineDrive linked(temp.Path());
    const std::pair<std::wstring, std::string> rows[] = {
        {L"\\\\some-host\\share\\Temp", "a network path (UNC)"},
        {L"\\\\.\\C:\\Temp", "a device path"},
        {L"\\\\?\\C:\\Temp", "a device path"},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Temp", "a device path"},
        {L"\\??\\C:\\Temp", "a device path"},
        {L"Orvanta", "not a folder on a drive"},
        {L"C:\\Users\\%NOWHERE%\\Temp", "it holds a variable that did not expand"},
        {L"C:\\" + std::wstring(300, L'x'), "303 characters, longer than a folder of log files may be"},
        {L"C:\\Users\\..\\Windows", "not a plain path"},
        {L"C:\\Temp::$INDEX_ALLOCATION", "not a plain path"},
        {linked.Letter() + L"\\Temp", "the system resolves drive " + Narrow(linked.Letter()) + " to no volume"},
        {temp.Path(), ""},
    };
    for (const auto& [path, why] : rows) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_EQ(0u, Narrow(LogFolder::Refusal(path)).find(why)) << Narrow(LogFolder::Refusal(path));
        EXPECT_EQ(why.empty(), LogFolder::Refusal(path).empty());
    }

    CreateDirectoryW((temp / L"real").c_str(), nullptr);
    CreateDirectoryW((temp / L"real\\Orvanta").c_str(), nullptr);
    LogFolder folder;
    EXPECT_EQ(0u, folder.Open(temp / L"real\\Orvanta"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), folder.Open(temp / L"real\\missing"));
    // A symbolic link where the system makes one (Windows, for an administrator; Debian's Wine 8 says it
    // made one and makes none, and shows Unix links as what they point to).
    CreateSymbolicLinkW((temp / L"link").c_str(), (temp / L"real").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    const DWORD attributes = GetFileAttributesW((temp / L"link").c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), folder.Open(temp / L"link\\Orvanta"));
        EXPECT_EQ(Narrow(temp / L"link"), Narrow(folder.LinkAt()));
    }
}

// The read of one session may hang (a user who holds a log under an oplock, a hung disk): it is given
// up at the session's bound and said so, the other sessions are read, and the check ends within its own
// bound. The abandoned read ends by itself, safely, when it can.
TEST(SessionEngine, ASessionWhoseReadHangsIsGivenUpAtItsBoundAndNamedAndTheCheckKeepsItsOwn)
{
    PlantedLogs logs;
    const unsigned long long started = Now();
    Sleep(30);
    logs.Hold(kCurrent, kConnected);
    std::vector<SessionAgent> agents;
    for (DWORD session : {1, 2, 3, 4}) {
        SessionAgent agent;
        agent.session = session;
        agent.user = L"PC\\user" + std::to_wstring(session);
        agent.processId = 100 + session;
        agent.started = started;
        agent.folders = {{L"TMP of the planted user", logs.Folder()}};
        agents.push_back(agent);
    }
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EngineBounds bounds;
    bounds.sessionMs = 300;
    bounds.checkMs = 600;
    const HANDLE held = release.get();
    bounds.beforeRead = [held](DWORD session) {
        if (session != 1) {
            WaitForSingleObject(held, 10000);
        }
    };
    const ULONGLONG begun = GetTickCount64();
    const Check check = EngineOfSessions(
        agents, false, [](DWORD& error) { return error = 0, std::vector<AgentEntry>(); }, bounds);
    EXPECT_LT(GetTickCount64() - begun, 1500u);
    SetEvent(release.get());
    EXPECT_EQ(CheckResult::Warning, check.result);
    const std::string text = Narrow(check.text);
    const std::string givenUp = "its log was not read within the bound (a slow or hung disk, or a log held under an "
                                "oplock): given up; the Application log says: ";
    for (const std::string& said : Messages{"session 1 (PC\\user1): connected to the engine at 2026-12-07 10:00:02 (",
                                            "session 2 (PC\\user2): " + givenUp, "session 3 (PC\\user3): " + givenUp,
                                            "session 4 (PC\\user4): not read: the check's 600 ms for the users' logs "
                                            "were up"}) {
        EXPECT_NE(std::string::npos, text.find(said)) << text;
    }
    // One thread serves call after call; a call abandoned leaves the next one a thread of its own.
    BoundedWorker worker;
    DWORD first = 0;
    DWORD again = 0;
    EXPECT_TRUE(worker.Run([&first] { first = GetCurrentThreadId(); }, 5000));
    EXPECT_TRUE(worker.Run([&again] { again = GetCurrentThreadId(); }, 5000));
    EXPECT_EQ(first, again);
    const auto stuck = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(worker.Run([stuck] { WaitForSingleObject(stuck->get(), 10000); }, 100));
    DWORD after = 0;
    EXPECT_TRUE(worker.Run([&after] { after = GetCurrentThreadId(); }, 5000));
    EXPECT_NE(first, after);
    SetEvent(stuck->get());
}

// The reading thread takes the user's token for the read alone, and is itself again on every way out.
TEST(UserImpersonation, TheThreadActsAsTheTokensUserForTheScopeAndRevertsOnEveryWayOut)
{
    HANDLE opened = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &opened));
    const UniqueHandle token(opened);
    for (const bool throws : {false, true}) {
        SCOPED_TRACE(throws);
        try {
            const UserImpersonation asUser(token.get());
            EXPECT_TRUE(asUser.Impersonating());
            HANDLE thread = nullptr;
            EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread));
            const UniqueHandle threadToken(thread);
            if (throws) {
                throw std::runtime_error("a read that fails");
            }
        } catch (const std::runtime_error&) {
        }
        HANDLE after = nullptr;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &after));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError());
    }
    const UserImpersonation none(nullptr);
    EXPECT_FALSE(none.Impersonating());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), none.Error());
}

// A drive mapped to a share is not read, whatever the share: its letter resolves to the network's
// redirector.
// Label: windows
TEST(LogFolder, ADriveMappedToAShareIsNotRead)
{
    NETRESOURCEW share = {};
    share.dwType = RESOURCETYPE_DISK;
    wchar_t letter[] = L"Q:";
    wchar_t remote[] = L"\\\\localhost\\C$";
    share.lpLocalName = letter;
    share.lpRemoteName = remote;
    if (UnderWine() || WNetAddConnection2W(&share, nullptr, nullptr, 0) != NO_ERROR) {
        GTEST_SKIP() << "needs a drive mapped to a share (Wine maps none)";
    }
    EXPECT_NE(std::wstring::npos, LogFolder::Refusal(L"Q:\\Temp").find(L"not a volume of a local disk"));
    WNetCancelConnection2W(letter, 0, TRUE);
}

// A log held under an oplock whose break is never acknowledged holds up no read for longer than the
// session's bound.
// Label: windows
TEST(SessionEngine, ALogHeldUnderAnOplockHoldsTheCheckNoLongerThanTheSessionsBound)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine grants no oplocks";
    }
    PlantedLogs logs;
    const unsigned long long started = Now();
    logs.Hold(kCurrent, kConnected);
    const UniqueFileHandle holder(CreateFileW((logs / kCurrent).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    OVERLAPPED oplock = {};
    const UniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    oplock.hEvent = broken.get();
    DeviceIoControl(holder.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, nullptr, &oplock);
    SessionAgent agent;
    agent.session = 1;
    agent.started = started;
    agent.folders = {{L"TMP of the planted user", logs.Folder()}};
    EngineBounds bounds;
    bounds.sessionMs = 1000;
    const ULONGLONG begun = GetTickCount64();
    EngineOfSessions(
        {agent}, false, [](DWORD& error) { return error = 0, std::vector<AgentEntry>(); }, bounds);
    EXPECT_LT(GetTickCount64() - begun, 3000u);
    CancelIoEx(holder.get(), &oplock);
}

// As the system account, a user's log is read with the user's rights: a folder the user may not read is
// not read, though the system account may.
// Label: windows
TEST(SessionEngine, AsTheSystemAccountAUsersLogIsReadWithTheUsersRightsAlone)
{
    HANDLE token = nullptr;
    if (UnderWine() || !Caller::OfThisProcess().systemAccount ||
        !WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) {
        GTEST_SKIP() << "needs the system account and a logged-on user (Wine gives no other user's token)";
    }
    PlantedLogs logs;
    const unsigned long long started = Now();
    logs.Hold(kCurrent, kConnected);
    PSECURITY_DESCRIPTOR systemOnly = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)", SDDL_REVISION_1, &systemOnly, nullptr);
    const UniqueLocalMemory owner(systemOnly);
    SetFileSecurityW(logs.Folder().c_str(), DACL_SECURITY_INFORMATION, systemOnly);
    SessionAgent agent;
    agent.session = WTSGetActiveConsoleSessionId();
    agent.started = started;
    agent.token = std::make_shared<UniqueHandle>(token);
    agent.folders = {{L"TMP of the planted user", logs.Folder()}};
    const Check check =
        EngineOfSessions({agent}, true, [](DWORD& error) { return error = 0, std::vector<AgentEntry>(); });
    EXPECT_NE(std::wstring::npos, check.text.find(L"its log cannot be read (error 5")) << Narrow(check.text);
}

} // namespace
