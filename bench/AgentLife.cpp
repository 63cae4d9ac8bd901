#include "bench/Measures.h"
#include "bench/ProcessUsage.h"
#include "bench/floor/FloorNames.h"

#include "devtools/common/ChildProcess.h"
#include "devtools/common/LogReader.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"
#include "window/WindowMessages.h"

#include <tlhelp32.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace HalyardDev;
using namespace Orvanta::Deskweave;

namespace HalyardBench {
namespace {

ChildProcess Start(const std::wstring& program, const std::wstring& arguments)
{
    ChildProcess child;
    if (const DWORD error = child.Start(L"\"" + BesideThisProgram(program) + L"\" " + arguments)) {
        fwprintf(stderr, L"HalyardBench: cannot start %ls: %lu\n", program.c_str(), error);
    }
    return child;
}

// A spin, not a sleep: the time it returns at is a measurement.
HWND WaitForWindow(const wchar_t* windowClass, DWORD timeoutMs)
{
    const double deadline = Now() + timeoutMs / 1000.0;
    while (Now() < deadline) {
        if (HWND window = FindWindowW(windowClass, nullptr)) {
            return window;
        }
        SwitchToThread();
    }
    return nullptr;
}

size_t RunningAgents()
{
    size_t count = 0;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); snapshot && more;
         more = Process32NextW(snapshot.get(), &entry)) {
        count += _wcsicmp(entry.szExeFile, kAgentProgram) == 0 ? 1 : 0;
    }
    return count;
}

// The machine policy for one measure: present or not, with the permission revert on or off.
std::unique_ptr<ScopedRegistryKey> Policy(bool present, bool adjustPermissions)
{
    auto key = std::make_unique<ScopedRegistryKey>(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (!present) {
        key->Delete();
        return key;
    }
    key->SetString(kDiskVolumeValue, L"O:");
    key->SetDword(kAdjustPermissionsValue, adjustPermissions ? 1 : 0);
    return key;
}

// A named manual-reset event held open before the process that waits on it starts, so that no
// signal can fall between that start and its opening of the event.
class HeldEvent
{
public:
    explicit HeldEvent(const wchar_t* name) : event_(CreateEventW(nullptr, TRUE, FALSE, name)) {}
    void Signal() { SetEvent(event_.get()); }
    void Reset() { ResetEvent(event_.get()); }

private:
    UniqueHandle event_;
};

// From the signal to the process's exit, in ms; the event is reset again for the next round.
double TimeTermination(HeldEvent& event, ChildProcess& child)
{
    Sleep(100); // the watcher thread is waiting by now
    const double start = Now();
    event.Signal();
    child.WaitForExit(20000);
    const double elapsed = (Now() - start) * 1000;
    event.Reset();
    return elapsed;
}

} // namespace

void MeasureLogonCost(BenchRun& run)
{
    const auto policy = Policy(false, false); // the relaunched child then leaves at once; the parent is timed
    std::vector<double> agent;
    std::vector<double> floor;
    for (int i = 0; i < run.Repeat(15, 5); ++i) {
        for (bool isFloor : {false, true}) {
            const double start = Now();
            ChildProcess parent = isFloor ? Start(L"HalyardLogonFloor.exe", L"") : Start(kAgentProgram, L"");
            parent.WaitForExit(20000);
            (isFloor ? floor : agent).push_back((Now() - start) * 1000);
            while (RunningAgents() > 0) {
                Sleep(5);
            }
        }
    }
    run.Add({"logon cost (empty command line)", "ms", Summarize(agent), Summarize(floor)});
}

void MeasureStartupAndTerminate(BenchRun& run)
{
    const auto policy = Policy(true, false);
    HeldEvent agentTerminate(kTerminateEventName);
    HeldEvent floorTerminate(kFloorTerminateEvent);
    std::vector<double> startAgent;
    std::vector<double> startFloor;
    std::vector<double> stopAgent;
    std::vector<double> stopFloor;
    for (int i = 0; i < run.Repeat(40, 5); ++i) {
        double start = Now();
        ChildProcess agent = Start(kAgentProgram, L"/run");
        if (WaitForWindow(kWindowClassName, 20000) == nullptr) {
            fwprintf(stderr, L"HalyardBench: the agent's window never appeared\n");
            continue;
        }
        startAgent.push_back((Now() - start) * 1000);
        stopAgent.push_back(TimeTermination(agentTerminate, agent));

        // The same work as the agent's: a window, and a watcher thread that closes it on a signal.
        start = Now();
        ChildProcess floor = Start(L"HalyardFloor.exe", L"window");
        WaitForWindow(kFloorWindowClass, 20000);
        startFloor.push_back((Now() - start) * 1000);
        stopFloor.push_back(TimeTermination(floorTerminate, floor));
    }
    run.Add({"start-up to window ready", "ms", Summarize(startAgent), Summarize(startFloor)});
    run.Add({"terminate event to process exit", "ms", Summarize(stopAgent), Summarize(stopFloor)});
}

void MeasureLogoff(BenchRun& run)
{
    const TempFolder sync;
    ScopedRegistryKey folders(HKEY_CURRENT_USER, kSyncFoldersKey);
    const std::pair<const wchar_t*, const wchar_t*> locations[] = {{kSyncRootValue, L"Sync"},
                                                                   {kPersonalFolderRootValue, L"Sync\\Personal"},
                                                                   {kSharedFoldersRootValue, L"Sync\\Shared"},
                                                                   {kFavoriteFoldersRootValue, L"Sync\\Favorite"}};
    for (const auto& location : locations) {
        CreateDirectoryW((sync / location.second).c_str(), nullptr);
        folders.SetString(location.first, sync / location.second);
    }

    // Each side is measured with the same policy and the same folders, both running at once and asked
    // in turn, so that whatever slows the machine meanwhile slows both alike.
    HeldEvent agentTerminate(kTerminateEventName);
    HeldEvent floorTerminate(kFloorTerminateEvent);
    for (bool adjust : {false, true}) {
        const auto policy = Policy(true, adjust);
        ChildProcess agent = Start(kAgentProgram, L"/run");
        ChildProcess floor = Start(L"HalyardFloor.exe", L"window");
        const HWND windows[] = {WaitForWindow(kWindowClassName, 20000), WaitForWindow(kFloorWindowClass, 20000)};
        Sleep(100);
        std::vector<double> times[2];
        for (int i = 0; i < run.Repeat(25, 7); ++i) {
            for (int side = 0; side < 2; ++side) {
                // A cancelled session end, so that each one is a new end with its full work: the agent
                // does the work once a session end, and one that truly ends is its last.
                SendMessageW(windows[side], WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
                const double start = Now();
                SendMessageW(windows[side], WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
                times[side].push_back((Now() - start) * 1000);
            }
        }
        TimeTermination(agentTerminate, agent);
        TimeTermination(floorTerminate, floor);
        run.Add({std::string("logoff: WM_ENDSESSION round trip, policy ") + (adjust ? "on" : "off"), "ms",
                 Summarize(times[0]), Summarize(times[1])});
    }
}

void MeasureIdle(BenchRun& run)
{
    const auto policy = Policy(true, false);
    const TempFolder temp;
    const TempPathOverride tempPath(temp.Path());
    // Any argument text runs the agent; this one names the two processes of this run, and no other.
    const std::wstring token = L"bench-idle-" + UniqueSuffix();
    HeldEvent agentTerminate(kTerminateEventName);
    HeldEvent floorTerminate(kFloorTerminateEvent);
    ChildProcess agent = Start(kAgentProgram, token);
    ChildProcess floor = Start(L"HalyardFloor.exe", L"window " + token);
    WaitForWindow(kWindowClassName, 20000);
    WaitForWindow(kFloorWindowClass, 20000);
    Sleep(3000); // the first tick, 2 s after the window, connects to the engine

    const int idleSeconds = run.Repeat(30, 5);
    const std::wstring logFolder = temp / L"Orvanta";
    const int ticksBefore = CountMessages(LogMessages(logFolder), "WM_TIMER received");
    const ProcessUsage agentBefore = ReadProcessUsage(agent.Handle(), Narrow(token));
    const ProcessUsage floorBefore = ReadProcessUsage(floor.Handle(), Narrow(token));
    Sleep(idleSeconds * 1000);
    const ProcessUsage agentAfter = ReadProcessUsage(agent.Handle(), Narrow(token));
    const ProcessUsage floorAfter = ReadProcessUsage(floor.Handle(), Narrow(token));
    const int ticksAfter = CountMessages(LogMessages(logFolder), "WM_TIMER received");

    const auto one = [](double value) { return Summarize({value}); };
    const std::string seconds = std::to_string(idleSeconds);
    run.Add({"idle: private bytes", "KiB", one(agentAfter.privateKb), one(floorAfter.privateKb)});
    run.Add({"idle: working set", "KiB", one(agentAfter.workingSetKb), one(floorAfter.workingSetKb)});
    run.Add({"idle: CPU time in " + seconds + " s", "ms", one(agentAfter.cpuMs - agentBefore.cpuMs),
             one(floorAfter.cpuMs - floorBefore.cpuMs)});
    run.Add({"idle: timer wake-ups in " + seconds + " s", "count", one(ticksAfter - ticksBefore), one(0)});

    TimeTermination(agentTerminate, agent);
    TimeTermination(floorTerminate, floor);
}

} // namespace HalyardBench
