#include "agent/CrashReport.h"
#include "agent/ExitDeadline.h"
#include "agent/PolicyGate.h"
#include "agent/ShutdownOrder.h"
#include "agent/TerminateWatcher.h"
#include "agent/resource.h"
#include "platform/EventLog.h"
#include "platform/Event.h"
#include "platform/NamedMutex.h"
#include "platform/ObjectNames.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SystemLibraries.h"
#include "session/SyncWindowHandler.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"
#include "window/Window.h"

#include <windows.h>

#include "HalyardEvents.h"
#include "HalyardProduct.h"

#include <memory>
#include <string>
#include <system_error>
#include <thread>

using namespace Orvanta::Deskweave;

namespace {

const wchar_t kFallbackTitle[] = L"Orvanta Sync User Agent";
constexpr int kTitleBufferLength = 1024;
// Once the agent is told to end, or its loop has ended, it is gone within this, whatever the engine does.
constexpr DWORD kEndBoundMs = 5000;

// Started by the logon process, which waits for it: hand the real work to a child and return at once.
int RelaunchForLogon()
{
    TraceToDebugger(L"This instance is called usually by WinLogon. Start a child process to unblock the logon.\n");
    Process agent(kAgentProgram);
    const DWORD result = agent.Create(L"/run");
    TraceToDebugger(L"%s::CreateProcess result = %08X\n", L"wWinMain", result);
    return 0;
}

std::wstring LoadWindowTitle(HINSTANCE instance)
{
    auto buffer = std::make_unique<wchar_t[]>(kTitleBufferLength);
    if (LoadStringW(instance, IDS_WINDOW_TITLE, buffer.get(), kTitleBufferLength) == 0) {
        return kFallbackTitle;
    }
    return buffer.get();
}

// The administrator's record of each agent that passed the gate; without a log file, the only one.
void ReportStart(bool logFileOpen)
{
    EventLog::Report(logFileOpen ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                     logFileOpen ? HALYARD_EVENT_AGENT_STARTED : HALYARD_EVENT_AGENT_STARTED_WITHOUT_LOG,
                     {EventLog::ThisSession(), HALYARD_VERSION_WIDE, TraceManager::StartedLogLocation()});
}

// Every object lives on this stack and is destroyed in reverse order of creation, so each early
// return enters the teardown at the step that matches how far start-up came.
int RunAgent(HINSTANCE instance)
{
    NamedMutex instanceGuard(kInstanceMutexName);
    if (!instanceGuard.IsOwned()) {
        TraceToDebugger(L"Another instance of Halyard process is already running.\n");
        return 0;
    }

    const bool logFileOpen = TraceManager::Initialize();

    Registry policy;
    if (const wchar_t* refusal = CheckPolicyGate(policy)) {
        Trace(L"%s", refusal);
        return 0;
    }
    ReportStart(logFileOpen);
    // Destroyed last: it bounds every step of the teardown, the handler's release of the engine too.
    ExitDeadline deadline(kEndBoundMs);
    ReportUnhandledExceptions();

    SetShutdownOrder();
    RegisterForRestart();

    const std::wstring title = LoadWindowTitle(instance);
    Window window(0);
    window.PaceTimer(SyncWindowHandler::kConnectionTimerId, SyncWindowHandler::kConnectionTimerPeriodMs);
    SyncWindowHandler handler;
    const DWORD created = window.Create(instance, title.c_str(), &handler);
    if (created != 0) {
        Trace(L"Failed to create the hidden session agent window.  Error = 0x%08X\n", created);
        return 0;
    }

    // The handler is destroyed before the window, so on the early returns below the window is closed
    // first: its WM_DESTROY must still find a living callback.
    Event internalEvent;
    if (!internalEvent.Create(nullptr, FALSE, FALSE, nullptr)) {
        Trace(L"Failed to create the internal event object.  Error = 0x%08X\n", GetLastError());
        window.Destroy();
        return 0;
    }

    try {
        deadline.Start([&internalEvent, &window, &deadline] { WatchForTermination(internalEvent, window, deadline); });
    } catch (const std::system_error& e) {
        Trace(L"Failed to start the terminate watcher thread.  %S\n", e.what());
        window.Destroy();
        return 0;
    }
    const int exitCode = window.MessageLoop();

    deadline.Arm();
    internalEvent.Set();
    // The watcher is done with the window and the internal event; it serves the bound from here on.
    deadline.WaitForWatch();
    // The loop also ends with the window still there: a WM_QUIT posted by another program, or a failed
    // GetMessageW. The handler goes before the window, so the window goes now, while its WM_DESTROY
    // still reaches a living handler.
    if (window.Handle() != nullptr) {
        window.Destroy();
    }
    Trace(L"Terminating Halyard process.\n");
    TraceManager::Uninitialize();
    return exitCode;
}

} // namespace

// The runtime's header names the parameters in its own way; these are named for what is used.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int)
{
    // No library is ever loaded from the current folder: the engine's own dependencies are looked for
    // beside it and in the system's folders, and a user's folder the agent was started in is neither.
    LoadLibrariesWithoutTheCurrentFolder();
    if (commandLine == nullptr || commandLine[0] == L'\0') {
        return RelaunchForLogon();
    }
    return RunAgent(instance);
}
