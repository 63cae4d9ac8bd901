// HalyardStop: stops the Halyard agents of every logon session, for upgrades and maintenance.
//
//   HalyardStop [/timeout:SECONDS]        (default 30; 0 signals and checks once)
//
// Exit codes, for deployment scripts:
//   0  every agent has exited (or none was running)
//   1  time-out: agents are still running (listed on standard error)
//   2  usage error
//   3  the terminate event could not be created, opened or signalled (run elevated)
//   4  every agent has exited, but another process still holds the event signalled, so agents that
//      start now will stop at once; end that process before users log on again
#include "admin/stop/AgentStop.h"
#include "platform/EventLog.h"

#include "HalyardEvents.h"

#include <cstdio>
#include <cwchar>

using namespace Orvanta::Deskweave;

namespace {

constexpr int kUsage = 2;

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
    std::wstring record;
    const StopResult result = StopAllAgents(timeoutSeconds, [&record](const std::wstring& line, bool error) {
        fwprintf(error ? stderr : stdout, L"%ls\n", line.c_str());
        record += line + L"\r\n";
    });
    // One entry for what this run did, where the agents' own entries are: a deployment script's stop
    // shows beside the agents it ended.
    EventLog::Report(result == StopResult::Stopped ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                     HALYARD_EVENT_STOP_TOOL, {std::to_wstring(static_cast<int>(result)), record});
    return static_cast<int>(result);
}
