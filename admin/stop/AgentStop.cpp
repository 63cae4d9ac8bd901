#include "admin/stop/AgentStop.h"

#include "admin/common/AgentSessions.h"
#include "platform/ObjectNames.h"
#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"

#include <vector>

namespace Orvanta::Deskweave {

std::wstring TerminateEventRefusal(DWORD error)
{
    const std::wstring lasting =
        L": every agent that starts now cannot open it either and ends at once, until every process that holds "
        L"it (the running agents too) has exited, or the machine restarts";
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return L"its permissions were changed, which any user may do" + lasting;
    case ERROR_INVALID_HANDLE:
        return L"another kind of object (a mutex, a semaphore) holds its name" + lasting;
    case 0:
        // Any process may create an event in the machine-wide namespace (the privilege to create global
        // objects guards file mappings and links there, not events): a refusal is the error's.
        return L"it does not exist, and it could not be created either: see the error";
    default:
        return L"see the error" + lasting;
    }
}

StopResult StopAllAgents(DWORD timeoutSeconds, const std::function<void(const std::wstring& line, bool error)>& report)
{
    const std::wstring event = kTerminateEventName;
    // Those running now are the ones this stop waits for: listed before the signal, which they answer
    // within milliseconds.
    DWORD listError = 0;
    const std::vector<AgentProcess> processes = HalyardProcesses(listError);
    // The descriptor the agents create it with, so that an agent of any user can still open it while
    // it is held here.
    UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueHandle terminate(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kTerminateEventName));
    const DWORD openError = terminate ? 0 : GetLastError();
    // Signalled already, by a program that holds it so: every agent that starts ends at once.
    const bool heldBefore = terminate && WaitForSingleObject(terminate.get(), 0) == WAIT_OBJECT_0;
    if (openError == ERROR_FILE_NOT_FOUND) {
        terminate.reset(CreateEventW(&attributes, TRUE, FALSE, kTerminateEventName));
    }
    if (!terminate || !SetEvent(terminate.get())) {
        const DWORD error = GetLastError();
        report(L"HalyardStop: cannot signal " + event + L": error " + std::to_wstring(error) + L": " +
                   TerminateEventRefusal(openError == ERROR_FILE_NOT_FOUND ? 0 : error),
               true);
        return StopResult::CannotSignal;
    }
    report(L"HalyardStop: signalled " + event, false);

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000;
    size_t running = 0;
    for (const AgentProcess& process : processes) {
        if (process.agent) {
            ++running;
        } else {
            report(L"HalyardStop: process " + std::to_wstring(process.processId) + L" in session " +
                       std::to_wstring(process.sessionId) + L" is " + process.image + L", not the installed agent (" +
                       InstalledAgent() + L"): not waited for",
                   false);
        }
    }
    if (running > 0) {
        report(L"HalyardStop: waiting up to " + std::to_wstring(timeoutSeconds) + L" s for " +
                   std::to_wstring(running) + L" agent(s) to exit",
               false);
    }
    std::vector<AgentProcess> agents = RunningAgents();
    while (!agents.empty() && GetTickCount64() < deadline) {
        Sleep(100);
        agents = RunningAgents();
    }
    // Manual reset: left signalled while any process holds it (an agent that has not ended, another
    // program), it would end every agent that starts afterwards. The agents told to end have seen it.
    ResetEvent(terminate.get());
    terminate.reset();
    UniqueHandle lingering(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    const bool setAgain = lingering && WaitForSingleObject(lingering.get(), 0) == WAIT_OBJECT_0;

    if (!agents.empty()) {
        report(L"HalyardStop: time-out; " + std::to_wstring(agents.size()) + L" agent(s) still running:", true);
        for (const AgentProcess& agent : agents) {
            report(L"  process " + std::to_wstring(agent.processId) + L" in session " +
                       std::to_wstring(agent.sessionId) +
                       (agent.image.empty() ? L" (its path cannot be read from here: taken for an agent)" : L""),
                   true);
        }
        report(setAgain ? L"  " + event + L" is signalled again by another process: agents that start now stop at once"
                        : L"  " + event + L" was reset when the wait ended: agents that start now run beside them",
               true);
        return StopResult::TimedOut;
    }
    if (heldBefore || setAgain) {
        report(L"HalyardStop: every agent has exited, but another process held " + event + L" signalled" +
                   (setAgain ? L", and holds it so again;"
                             : L" before this stop; it was reset, until that process sets it again;"),
               true);
        report(L"  while it is signalled, agents that start stop at once. End that process before users log on.", true);
        return StopResult::EventStillHeld;
    }
    report(L"HalyardStop: every agent has exited", false);
    return StopResult::Stopped;
}

} // namespace Orvanta::Deskweave
