#pragma once

#include "devtools/debugcapture/DebugCapture.h"
#include "tests/support/TestFolders.h"

#include <string>
#include <vector>

namespace HalyardTest {

// One run of the real Halyard.exe under a debugger loop, in an environment of its own: its temporary
// path (and so its log folder) and the stand-ins' script and record folder are fresh per run.
// The destructor ends an agent that still runs, through the terminate event.
class AgentRun
{
public:
    AgentRun();
    ~AgentRun();

    // engine.ini of the engine stand-in, section [engine].
    void ScriptEngine(const std::string& settings);
    // Starts "<bin>\Halyard.exe" with the argument text (empty: the logon start). 0 or the Win32 error.
    DWORD Start(const std::wstring& arguments = L"/run");
    // The started process's exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD WaitForExit(DWORD timeoutMs = 20000);
    bool WaitForAllExited(DWORD timeoutMs = 20000);
    bool WaitForDebugText(const std::wstring& text, DWORD timeoutMs = 20000);

    HalyardDev::DebugCapture& Debugger() { return capture_; }
    std::wstring LogFolder() const;
    std::vector<std::string> LogMessages() const;
    // Records of the stand-ins, without the process ids of the engine's lines.
    std::vector<std::string> EngineCalls() const;
    std::vector<std::string> Children() const;

    static bool WaitForAgentWindow(DWORD timeoutMs = 20000);
    // Runs the development driver (HalyardDevCtl) with the given arguments and returns its exit code.
    static DWORD RunDevCtl(const std::wstring& arguments);
    static void SignalTerminate();

private:
    std::vector<std::string> RecordLines(const wchar_t* name) const;

    TempFolder folder_;
    HalyardDev::DebugCapture capture_;
    bool started_ = false;
};

// The machine policy that lets the agent run, set for the test's life and removed afterwards.
class PolicyKey : public TestRegistryKey
{
public:
    PolicyKey();
};

} // namespace HalyardTest
