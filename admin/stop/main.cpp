// HalyardStop: stops the Halyard agents of every logon session, for upgrades and maintenance.
//
//   HalyardStop [/timeout:SECONDS]        (default 30; 0 signals and checks once)
//
// It signals the machine-wide terminate event "Global\HalyardTerminate", waits until no Halyard.exe
// process is left in any session, and then closes its handle: the event is manual-reset and nobody
// resets it, so left open it would stop every agent that starts afterwards.
//
// Exit codes, for deployment scripts:
//   0  every agent has exited (or none was running)
//   1  time-out: agents are still running (listed on standard error)
//   2  usage error
//   3  the terminate event could not be created, opened or signalled (run elevated)
//   4  every agent has exited, but another process still holds the event signalled, so agents that
//      start now will stop at once; end that process before users log on again
#include "platform/ObjectNames.h"
#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

using namespace Orvanta::Deskweave;

namespace {

enum ExitCode { kStopped = 0, kTimedOut = 1, kUsage = 2, kCannotSignal = 3, kEventStillHeld = 4 };

struct Agent {
    DWORD processId;
    DWORD sessionId;
};

std::vector<Agent> RunningAgents()
{
    std::vector<Agent> agents;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return agents;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, kAgentProgram) == 0) {
            DWORD session = 0;
            ProcessIdToSessionId(entry.th32ProcessID, &session);
            agents.push_back({entry.th32ProcessID, session});
        }
    }
    return agents;
}

bool ParseTimeout(int argc, wchar_t** argv, DWORD& seconds)
{
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (_wcsnicmp(argument, L"/timeout:", 9) != 0 && _wcsnicmp(argument, L"-timeout:", 9) != 0) {
            return false;
        }
        wchar_t* end = nullptr;
        const unsigned long value = wcstoul(argument + 9, &end, 10);
        if (end == argument + 9 || *end != L'\0' || value > 86400) {
            return false;
        }
        seconds = value;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD timeoutSeconds = 30;
    if (!ParseTimeout(argc, argv, timeoutSeconds)) {
        fwprintf(stderr, L"usage: HalyardStop [/timeout:SECONDS]   (0 to 86400, default 30)\n");
        return kUsage;
    }

    // The same everyone-allowed descriptor the agents create it with, so that an agent of any user
    // can still open it while this tool holds it.
    UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueHandle terminate(CreateEventW(&attributes, TRUE, FALSE, kTerminateEventName));
    if (!terminate || !SetEvent(terminate.get())) {
        fwprintf(stderr, L"HalyardStop: cannot signal %ls: error %lu\n", kTerminateEventName, GetLastError());
        return kCannotSignal;
    }
    wprintf(L"HalyardStop: signalled %ls\n", kTerminateEventName);

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000;
    std::vector<Agent> agents = RunningAgents();
    if (!agents.empty()) {
        wprintf(L"HalyardStop: waiting up to %lu s for %zu agent(s) to exit\n", timeoutSeconds, agents.size());
    }
    while (!agents.empty() && GetTickCount64() < deadline) {
        Sleep(100);
        agents = RunningAgents();
    }
    terminate.reset();

    if (!agents.empty()) {
        fwprintf(stderr, L"HalyardStop: time-out; %zu agent(s) still running:\n", agents.size());
        for (const Agent& agent : agents) {
            fwprintf(stderr, L"  process %lu in session %lu\n", agent.processId, agent.sessionId);
        }
        return kTimedOut;
    }

    UniqueHandle lingering(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    if (lingering && WaitForSingleObject(lingering.get(), 0) == WAIT_OBJECT_0) {
        fwprintf(stderr,
                 L"HalyardStop: every agent has exited, but another process still holds %ls signalled;\n"
                 L"  agents that start now will stop at once. End that process before users log on.\n",
                 kTerminateEventName);
        return kEventStillHeld;
    }
    wprintf(L"HalyardStop: every agent has exited\n");
    return kStopped;
}
