#include "admin/stop/AgentStop.h"

#include "admin/common/AgentSessions.h"
#include "platform/ObjectNames.h"
#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"

#include <vector>

namespace Orvanta::Deskweave {

StopResult StopAllAgents(DWORD timeoutSeconds, const std::function<void(const std::wstring& line, bool error)>& report)
{
    const std::wstring event = kTerminateEventName;
    // The descriptor the agents create it with, so that an agent of any user can still open it while
    // it is held here.
    UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueHandle terminate(CreateEventW(&attributes, TRUE, FALSE, kTerminateEventName));
    if (!terminate || !SetEvent(terminate.get())) {
        report(L"HalyardStop: cannot signal " + event + L": error " + std::to_wstring(GetLastError()), true);
        return StopResult::CannotSignal;
    }
    report(L"HalyardStop: signalled " + event, false);

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000;
    std::vector<AgentProcess> agents = RunningAgents();
    if (!agents.empty()) {
        report(L"HalyardStop: waiting up to " + std::to_wstring(timeoutSeconds) + L" s for " +
                   std::to_wstring(agents.size()) + L" agent(s) to exit",
               false);
    }
    while (!agents.empty() && GetTickCount64() < deadline) {
        Sleep(100);
        agents = RunningAgents();
    }
    terminate.reset();

    if (!agents.empty()) {
        report(L"HalyardStop: time-out; " + std::to_wstring(agents.size()) + L" agent(s) still running:", true);
        for (const AgentProcess& agent : agents) {
            report(L"  process " + std::to_wstring(agent.processId) + L" in session " + std::to_wstring(agent.sessionId),
                   true);
        }
        return StopResult::TimedOut;
    }
    UniqueHandle lingering(OpenEventW(SYNCHRONIZE, FALSE, kTerminateEventName));
    if (lingering && WaitForSingleObject(lingering.get(), 0) == WAIT_OBJECT_0) {
        report(L"HalyardStop: every agent has exited, but another process still holds " + event + L" signalled;", true);
        report(L"  agents that start now will stop at once. End that process before users log on.", true);
        return StopResult::EventStillHeld;
    }
    report(L"HalyardStop: every agent has exited", false);
    return StopResult::Stopped;
}

} // namespace Orvanta::Deskweave
