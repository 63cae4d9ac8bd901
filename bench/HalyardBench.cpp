// HalyardBench: what the agent costs against the least the platform costs for the same work (the
// floor), measured in the same run, printed as one table: median (min-max) of repeated runs, and the
// ratio agent/floor (for throughput, floor/agent: how many times slower). Runs under Wine or Windows.
//   HalyardBench [--quick]      --quick: fewer repetitions and 5 s of idleness instead of 30
#include "devtools/common/DevFiles.h"
#include "devtools/debugcapture/DebugCapture.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <windows.h>
#include <psapi.h>
#include <share.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using Orvanta::Deskweave::Trace;
using Orvanta::Deskweave::TraceManager;
using HalyardDev::BinaryFolder;
using HalyardDev::TempFolder;

namespace {

const wchar_t kAgentClass[] = L"OrvantaSyncAgentWindowClass";
const wchar_t kFloorClass[] = L"HalyardFloorWindowClass";
const wchar_t kPolicyKey[] = L"Software\\Policies\\Veltane\\Orvanta\\Groupmere";
const wchar_t kSyncKey[] = L"SOFTWARE\\Veltane\\Orvanta\\Sync";
const wchar_t kTraceTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnTimer";

bool g_quick = false;

// Measurements point the temporary path of this process (and so of the agents it starts) at folders
// of their own; this puts it back.
class TempPathScope
{
public:
    explicit TempPathScope(const std::wstring& folder)
    {
        GetEnvironmentVariableW(L"TMP", tmp_, MAX_PATH);
        GetEnvironmentVariableW(L"TEMP", temp_, MAX_PATH);
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ~TempPathScope()
    {
        SetEnvironmentVariableW(L"TMP", tmp_[0] != L'\0' ? tmp_ : nullptr);
        SetEnvironmentVariableW(L"TEMP", temp_[0] != L'\0' ? temp_ : nullptr);
    }
    TempPathScope(const TempPathScope&) = delete;
    TempPathScope& operator=(const TempPathScope&) = delete;

private:
    wchar_t tmp_[MAX_PATH] = {};
    wchar_t temp_[MAX_PATH] = {};
};

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

struct Stats {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t runs = 0;
};

Stats Summarize(std::vector<double> values)
{
    Stats stats;
    if (values.empty()) {
        return stats;
    }
    std::sort(values.begin(), values.end());
    stats.runs = values.size();
    stats.min = values.front();
    stats.max = values.back();
    const size_t middle = values.size() / 2;
    stats.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return stats;
}

struct Row {
    std::string measure;
    std::string unit;
    Stats agent;
    Stats floor;
    bool throughput = false; // higher is better
};

std::vector<Row> g_rows;

struct Child {
    HANDLE process = nullptr;
    DWORD id = 0;
};

Child Start(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + BinaryFolder() + L"\\" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        fwprintf(stderr, L"HalyardBench: cannot start %ls: %lu\n", program.c_str(), GetLastError());
        return {};
    }
    CloseHandle(info.hThread);
    return {info.hProcess, info.dwProcessId};
}

void Finish(Child& child, DWORD timeoutMs = 20000)
{
    if (child.process != nullptr) {
        if (WaitForSingleObject(child.process, timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(child.process, 1);
        }
        CloseHandle(child.process);
        child.process = nullptr;
    }
}

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

void StopAgent(Child& agent)
{
    // Held open until the agent has gone: a signal that reached no waiter would be lost with the event.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate");
    SetEvent(event);
    Finish(agent);
    CloseHandle(event);
}

size_t HalyardProcesses()
{
    size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        count += _wcsicmp(entry.szExeFile, L"Halyard.exe") == 0 ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

void SetPolicy(bool present, bool adjustPermissions)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (present) {
        const wchar_t drive[] = L"O:";
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, L"On-demandSyncDiskVolume", REG_SZ, drive, sizeof(drive));
        const DWORD adjust = adjustPermissions ? 1 : 0;
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, L"AdjustPermissionsOnLogoff", REG_DWORD, &adjust,
                        sizeof(adjust));
    }
}

// ---- trace throughput -------------------------------------------------------------------------

// Lines per second written by `threads` threads; the floor writes the same finished line with
// OutputDebugStringW, fwprintf and fflush and nothing else.
double TraceRate(bool floor, int threads, int lines)
{
    const TempFolder temp;
    const std::wstring& folder = temp.Path();
    const TempPathScope tempPath(folder);
    FILE* file = nullptr;
    std::wstring line = std::wstring(L"[00000F3C] [12/04 10:13:44] ") + kTraceTag + L"::enter...\n";
    const std::wstring message = std::wstring(kTraceTag) + L"::enter...\n";
    if (floor) {
        file = _wfsopen((folder + L"\\floor.log").c_str(), L"a+", _SH_DENYWR);
    } else {
        TraceManager::Initialize();
    }

    const double start = Now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < lines / threads; ++i) {
                if (floor) {
                    OutputDebugStringW(message.c_str());
                    fwprintf(file, L"%ls", line.c_str());
                    fflush(file);
                } else {
                    Trace(L"%s::enter...\n", kTraceTag);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double elapsed = Now() - start;

    if (floor) {
        fclose(file);
    } else {
        TraceManager::Uninitialize();
    }
    return (lines / threads) * threads / elapsed;
}

int TraceChild(int argc, wchar_t** argv)
{
    // --trace-child agent|floor THREADS LINES RESULT-FILE
    if (argc < 6) {
        return 2;
    }
    const double rate = TraceRate(wcscmp(argv[2], L"floor") == 0, _wtoi(argv[3]), _wtoi(argv[4]));
    FILE* result = _wfopen(argv[5], L"w");
    if (result == nullptr) {
        return 3;
    }
    fprintf(result, "%f\n", rate);
    fclose(result);
    return 0;
}

double TraceRateUnderDebugger(bool floor, int threads, int lines)
{
    const TempFolder temp;
    const std::wstring result = temp / L"rate.txt";
    HalyardDev::DebugCapture capture;
    capture.Start(L"\"" + BinaryFolder() + L"\\HalyardBench.exe\" --trace-child " + (floor ? L"floor " : L"agent ") +
                  std::to_wstring(threads) + L" " + std::to_wstring(lines) + L" \"" + result + L"\"");
    capture.WaitForExit(120000);
    capture.Stop();
    FILE* file = _wfopen(result.c_str(), L"r");
    double rate = 0;
    if (file != nullptr) {
        fscanf(file, "%lf", &rate);
        fclose(file);
    }
    return rate;
}

void MeasureTrace()
{
    const int runs = g_quick ? 3 : 7;
    const int lines = g_quick ? 4000 : 20000;
    for (int threads : {1, 4}) {
        std::vector<double> agent, floor;
        for (int i = 0; i < runs; ++i) {
            agent.push_back(TraceRate(false, threads, lines));
            floor.push_back(TraceRate(true, threads, lines));
        }
        g_rows.push_back({"trace throughput, " + std::to_string(threads) + " thread(s)", "lines/s", Summarize(agent),
                          Summarize(floor), true});
    }
    // Every captured string costs the debugger a round trip: keep the flood short.
    std::vector<double> agent, floor;
    for (int i = 0; i < (g_quick ? 2 : 3); ++i) {
        agent.push_back(TraceRateUnderDebugger(false, 1, 300));
        floor.push_back(TraceRateUnderDebugger(true, 1, 300));
    }
    g_rows.push_back({"trace throughput, debugger attached", "lines/s", Summarize(agent), Summarize(floor), true});
}

// ---- process life -----------------------------------------------------------------------------

void MeasureLogonCost()
{
    SetPolicy(false, false); // the relaunched child then leaves at once; only the parent is timed
    std::vector<double> agent, floor;
    for (int i = 0; i < (g_quick ? 5 : 15); ++i) {
        for (bool isFloor : {false, true}) {
            const double start = Now();
            Child parent = isFloor ? Start(L"HalyardFloor.exe", L"launch") : Start(L"Halyard.exe", L"");
            WaitForSingleObject(parent.process, INFINITE);
            (isFloor ? floor : agent).push_back((Now() - start) * 1000);
            Finish(parent);
            while (HalyardProcesses() > 0) {
                Sleep(5);
            }
        }
    }
    g_rows.push_back({"logon cost (empty command line)", "ms", Summarize(agent), Summarize(floor)});
}

// Created before the process that waits on it, so that no signal can fall between its start and its
// opening of the event; reset again once the waiter has gone.
class HeldEvent
{
public:
    explicit HeldEvent(const wchar_t* name) : event_(CreateEventW(nullptr, TRUE, FALSE, name)) {}
    ~HeldEvent() { CloseHandle(event_); }
    HeldEvent(const HeldEvent&) = delete;
    HeldEvent& operator=(const HeldEvent&) = delete;
    void Signal() { SetEvent(event_); }
    void Reset() { ResetEvent(event_); }

private:
    HANDLE event_;
};

// From the signal to the process's exit, in ms; the event is reset again for the next round.
double TimeTermination(HeldEvent& event, Child& child)
{
    Sleep(100); // the watcher thread is waiting by now
    const double start = Now();
    event.Signal();
    WaitForSingleObject(child.process, INFINITE);
    const double elapsed = (Now() - start) * 1000;
    event.Reset();
    Finish(child);
    return elapsed;
}

void MeasureStartupAndTerminate()
{
    SetPolicy(true, false);
    HeldEvent agentTerminate(L"Global\\HalyardTerminate");
    HeldEvent floorTerminate(L"Global\\HalyardFloorTerminate");
    std::vector<double> startAgent, startFloor, stopAgent, stopFloor;
    for (int i = 0; i < (g_quick ? 5 : 15); ++i) {
        double start = Now();
        Child agent = Start(L"Halyard.exe", L"/run");
        if (WaitForWindow(kAgentClass, 20000) == nullptr) {
            fwprintf(stderr, L"HalyardBench: the agent's window never appeared\n");
            Finish(agent, 0);
            continue;
        }
        startAgent.push_back((Now() - start) * 1000);
        stopAgent.push_back(TimeTermination(agentTerminate, agent));

        start = Now();
        Child floor = Start(L"HalyardFloor.exe", L"window");
        HWND window = WaitForWindow(kFloorClass, 20000);
        startFloor.push_back((Now() - start) * 1000);
        PostMessageW(window, WM_CLOSE, 0, 0);
        Finish(floor);

        // The same work as the agent's: a watcher thread closes a window, whose loop then ends.
        Child waiter = Start(L"HalyardFloor.exe", L"window Global\\HalyardFloorTerminate");
        WaitForWindow(kFloorClass, 20000);
        stopFloor.push_back(TimeTermination(floorTerminate, waiter));
    }
    g_rows.push_back({"start-up to window ready", "ms", Summarize(startAgent), Summarize(startFloor)});
    g_rows.push_back({"terminate event to process exit", "ms", Summarize(stopAgent), Summarize(stopFloor)});
}

struct Usage {
    double cpuMs = 0;
    double privateKb = 0;
    double workingSetKb = 0;
};

// Under Wine every Windows process is a Unix process, and Wine does not report another process's
// CPU times: read them from the Unix side (Z: is the Unix root), by the command line Wine gives it.
// Clock ticks are taken as 100 a second. Returns -1 where there is no such process (on Windows).
double UnixCpuMs(const std::string& commandLineNeedle)
{
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return -1;
    }
    double cpuMs = -1;
    do {
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9') {
            continue;
        }
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + found.cFileName;
        FILE* file = _wfopen((folder + L"\\cmdline").c_str(), L"rb");
        if (file == nullptr) {
            continue;
        }
        char buffer[1024] = {};
        const size_t read = fread(buffer, 1, sizeof(buffer) - 1, file);
        fclose(file);
        for (size_t i = 0; i < read; ++i) {
            buffer[i] = buffer[i] == '\0' ? ' ' : buffer[i];
        }
        if (std::string(buffer, read).find(commandLineNeedle) == std::string::npos) {
            continue;
        }
        file = _wfopen((folder + L"\\stat").c_str(), L"rb");
        if (file == nullptr) {
            continue;
        }
        char stat[1024] = {};
        fread(stat, 1, sizeof(stat) - 1, file);
        fclose(file);
        const char* fields = strrchr(stat, ')');
        unsigned long long user = 0, system = 0;
        if (fields != nullptr &&
            sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) == 2) {
            cpuMs = (user + system) * 10.0;
        }
    } while (cpuMs < 0 && FindNextFileW(search, &found));
    FindClose(search);
    return cpuMs;
}

Usage UsageOf(HANDLE process, const std::string& commandLineNeedle)
{
    Usage usage;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        };
        usage.cpuMs = (ticks(kernel) + ticks(user)) / 10000.0;
    }
    const double unixCpuMs = UnixCpuMs(commandLineNeedle);
    if (unixCpuMs >= 0) {
        usage.cpuMs = unixCpuMs;
    }
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        // Wine leaves PrivateUsage 0 for other processes; on Windows PagefileUsage is the same figure.
        usage.privateKb = (memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage) / 1024.0;
        usage.workingSetKb = memory.WorkingSetSize / 1024.0;
    }
    return usage;
}

size_t CountInLogs(const std::wstring& folder, const char* needle)
{
    size_t count = 0;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder + L"\\Halyard_*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        FILE* file = _wfsopen((folder + L"\\" + found.cFileName).c_str(), L"r", _SH_DENYNO);
        char line[2048];
        while (file != nullptr && fgets(line, sizeof(line), file) != nullptr) {
            count += strstr(line, needle) != nullptr ? 1 : 0;
        }
        if (file != nullptr) {
            fclose(file);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

void MeasureIdle()
{
    SetPolicy(true, false);
    const TempFolder idle;
    const std::wstring& temp = idle.Path();
    const TempPathScope tempPath(temp);
    Child agent = Start(L"Halyard.exe", L"/run");
    Child floor = Start(L"HalyardFloor.exe", L"window");
    WaitForWindow(kAgentClass, 20000);
    HWND floorWindow = WaitForWindow(kFloorClass, 20000);
    Sleep(3000); // the first tick, 2 s after the window, connects to the engine

    const DWORD idleSeconds = g_quick ? 5 : 30;
    const size_t ticksBefore = CountInLogs(temp + L"\\Orvanta", "WM_TIMER received");
    const Usage agentBefore = UsageOf(agent.process, "Halyard.exe /run");
    const Usage floorBefore = UsageOf(floor.process, "HalyardFloor.exe window");
    Sleep(idleSeconds * 1000);
    const Usage agentAfter = UsageOf(agent.process, "Halyard.exe /run");
    const Usage floorAfter = UsageOf(floor.process, "HalyardFloor.exe window");
    const size_t ticksAfter = CountInLogs(temp + L"\\Orvanta", "WM_TIMER received");

    fprintf(stderr, "HalyardBench: CPU time since start: agent %.0f ms, floor %.0f ms\n", agentAfter.cpuMs,
            floorAfter.cpuMs);
    const auto one = [](double value) { return Summarize({value}); };
    g_rows.push_back({"idle: private bytes", "KiB", one(agentAfter.privateKb), one(floorAfter.privateKb)});
    g_rows.push_back({"idle: working set", "KiB", one(agentAfter.workingSetKb), one(floorAfter.workingSetKb)});
    g_rows.push_back({"idle: CPU time in " + std::to_string(idleSeconds) + " s", "ms",
                      one(agentAfter.cpuMs - agentBefore.cpuMs), one(floorAfter.cpuMs - floorBefore.cpuMs)});
    g_rows.push_back({"idle: timer wake-ups in " + std::to_string(idleSeconds) + " s", "count",
                      one(static_cast<double>(ticksAfter - ticksBefore)), one(0)});

    StopAgent(agent);
    PostMessageW(floorWindow, WM_CLOSE, 0, 0);
    Finish(floor);
}

void MeasureLogoff()
{
    const TempFolder sync;
    const std::wstring& folders = sync.Path();
    for (const wchar_t* sub : {L"\\Sync", L"\\Sync\\Personal", L"\\Sync\\Shared", L"\\Sync\\Favorite"}) {
        CreateDirectoryW((folders + sub).c_str(), nullptr);
    }
    const auto setFolder = [&](const wchar_t* name, const wchar_t* sub) {
        const std::wstring path = folders + sub;
        RegSetKeyValueW(HKEY_CURRENT_USER, kSyncKey, name, REG_SZ, path.c_str(),
                        static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    };
    setFolder(L"SyncRootLocation", L"\\Sync");
    setFolder(L"PersonalFolderRootLocation", L"\\Sync\\Personal");
    setFolder(L"SharedFoldersRootLocation", L"\\Sync\\Shared");
    setFolder(L"FavoriteFoldersRootLocation", L"\\Sync\\Favorite");

    const int rounds = g_quick ? 7 : 25;
    // Each side is measured with the same policy: the floor makes the permission revert's registry
    // and file-security calls too when the policy asks for it, without tracing.
    const auto roundTrips = [rounds](const wchar_t* program, const wchar_t* arguments, const wchar_t* windowClass) {
        std::vector<double> times;
        Child child = Start(program, arguments);
        HWND window = WaitForWindow(windowClass, 20000);
        Sleep(100);
        for (int i = 0; i < rounds; ++i) {
            const double start = Now();
            SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            times.push_back((Now() - start) * 1000);
        }
        if (std::wstring(program) == L"Halyard.exe") {
            StopAgent(child);
        } else {
            PostMessageW(window, WM_CLOSE, 0, 0);
            Finish(child);
        }
        return times;
    };
    for (bool adjust : {false, true}) {
        SetPolicy(true, adjust);
        const std::vector<double> agent = roundTrips(L"Halyard.exe", L"/run", kAgentClass);
        const std::vector<double> floor = roundTrips(L"HalyardFloor.exe", L"window", kFloorClass);
        g_rows.push_back({std::string("logoff: WM_ENDSESSION round trip, policy ") + (adjust ? "on" : "off"), "ms",
                          Summarize(agent), Summarize(floor)});
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kSyncKey);
}

void PrintTable()
{
    printf("| Measure | Unit | Halyard median (min-max) | Floor median (min-max) | Ratio | Runs |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const Row& row : g_rows) {
        double ratio = 0;
        if (row.throughput) {
            ratio = row.agent.median > 0 ? row.floor.median / row.agent.median : 0;
        } else {
            ratio = row.floor.median > 0 ? row.agent.median / row.floor.median : 0;
        }
        const bool integral = row.unit == "lines/s" || row.unit == "KiB" || row.unit == "count";
        const char* format = integral ? "%.0f (%.0f-%.0f)" : "%.2f (%.2f-%.2f)";
        char agent[96], floor[96], ratioText[32];
        snprintf(agent, sizeof(agent), format, row.agent.median, row.agent.min, row.agent.max);
        snprintf(floor, sizeof(floor), format, row.floor.median, row.floor.min, row.floor.max);
        if (row.floor.median > 0 && row.agent.median > 0) {
            snprintf(ratioText, sizeof(ratioText), "%.2fx", ratio);
        } else {
            snprintf(ratioText, sizeof(ratioText), "-");
        }
        printf("| %s | %s | %s | %s | %s | %zu |\n", row.measure.c_str(), row.unit.c_str(), agent, floor, ratioText,
               row.agent.runs);
    }
    fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"--trace-child") == 0) {
        return TraceChild(argc, argv);
    }
    g_quick = argc >= 2 && wcscmp(argv[1], L"--quick") == 0;

    fprintf(stderr, "HalyardBench: trace throughput...\n");
    MeasureTrace();
    fprintf(stderr, "HalyardBench: logon cost...\n");
    MeasureLogonCost();
    fprintf(stderr, "HalyardBench: start-up and terminate...\n");
    MeasureStartupAndTerminate();
    fprintf(stderr, "HalyardBench: logoff...\n");
    MeasureLogoff();
    fprintf(stderr, "HalyardBench: idle footprint...\n");
    MeasureIdle();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
    PrintTable();
    return 0;
}
