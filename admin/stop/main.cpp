// HalyardStop: stops the Halyard agents of every session, for upgrades and maintenance, and starts
// them again afterwards.
//
//   HalyardStop [/timeout:SECONDS]        (default 30; 0 signals and checks once)
//   HalyardStop /start
//
// Exit codes of the stop, for deployment scripts:
//   0  every agent has exited (or none was running)
//   1  time-out: agents are still running (listed on standard error); the event is reset all the same,
//      so that agents that start now run
//   2  usage error (the refused argument is named; /?, /h and /help print the usage, exit code 0)
//   3  the terminate event could not be created, opened or signalled (the line says why)
//   4  every agent has exited, but another process held the event signalled before the stop (it was
//      reset), or sets it again; while it is signalled agents that start stop at once: end that process
// Exit codes of /start:
//   0  an agent runs in every session with a logged-on user: one that ran, or one started and seen
//      running (waiting for messages)
//   1  some session is left without one: not started, or the started agent ended at once (listed on
//      standard error, with its exit code and the reason the tool can tell)
//   2  usage error (the refused argument is named; /?, /h and /help print the usage, exit code 0)
#include "admin/start/AgentStart.h"
#include "admin/stop/AgentStop.h"
#include "platform/EventLog.h"
#include "platform/SystemLibraries.h"
#include "platform/UniqueResource.h"

#include "HalyardEvents.h"

#include <cstdio>
#include <cwchar>

using namespace Orvanta::Deskweave;

namespace {

constexpr int kUsage = 2;
constexpr DWORD kStartTimeoutMs = 30000;

const wchar_t kUsageText[] = L"usage: HalyardStop [/timeout:SECONDS]   (0 to 86400, default 30)\n"
                             L"       HalyardStop /start               (the agent in every session again)\n";

struct Arguments {
    bool start = false;
    bool help = false;
    DWORD timeoutSeconds = 30;
    const wchar_t* refused = nullptr;
    const wchar_t* alone = nullptr; // /start, given with other arguments
};

// False with the refused argument in `arguments`.
bool Parse(int argc, wchar_t** argv, Arguments& arguments)
{
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        arguments.refused = argument;
        if ((argument[0] == L'/' || argument[0] == L'-') &&
            (wcscmp(argument + 1, L"?") == 0 || _wcsicmp(argument + 1, L"h") == 0 ||
             _wcsicmp(argument + 1, L"help") == 0)) {
            arguments.help = true;
            continue;
        }
        if (_wcsicmp(argument, L"/start") == 0 || _wcsicmp(argument, L"-start") == 0) {
            if (argc != 2) {
                arguments.alone = argument;
                return false;
            }
            arguments.start = true;
            continue;
        }
        if (_wcsnicmp(argument, L"/timeout:", 9) != 0 && _wcsnicmp(argument, L"-timeout:", 9) != 0) {
            return false;
        }
        wchar_t* end = nullptr;
        const unsigned long value = wcstoul(argument + 9, &end, 10);
        if (end == argument + 9 || *end != L'\0' || value > 86400) {
            return false;
        }
        arguments.timeoutSeconds = value;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    LoadLibrariesFromSystemFolderOnly();
    Arguments arguments;
    if (!Parse(argc, argv, arguments)) {
        if (arguments.alone != nullptr) {
            fwprintf(stderr, L"HalyardStop: %ls takes no other argument, and no second %ls\n%ls", arguments.alone,
                     arguments.alone, kUsageText);
        } else {
            fwprintf(stderr, L"HalyardStop: the argument %ls is not one of these\n%ls", arguments.refused, kUsageText);
        }
        return kUsage;
    }
    if (arguments.help) {
        fwprintf(stdout, L"%ls", kUsageText);
        return 0;
    }
    std::wstring record;
    const auto print = [&record](const std::wstring& line, bool error) {
        fwprintf(error ? stderr : stdout, L"%ls\n", line.c_str());
        record += line + L"\r\n";
    };
    // Only the system account may ask for the user token of any session.
    const Caller caller = Caller::OfThisProcess();
    const int result =
        arguments.start
            ? static_cast<int>(StartAgents(caller.systemAccount ? StartScope::EverySession : StartScope::ThisSession,
                                           kStartTimeoutMs, print, caller))
            : static_cast<int>(StopAllAgents(arguments.timeoutSeconds, print));
    // One entry for what this run did, where the agents' own entries are: a deployment script's stop
    // or start shows beside the agents it ended or started.
    EventLog::Report(result == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE, HALYARD_EVENT_STOP_TOOL,
                     {std::to_wstring(result), record});
    return result;
}
