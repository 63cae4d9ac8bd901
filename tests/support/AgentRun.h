#pragma once

#include "devtools/common/ChildProcess.h"
#include "devtools/common/DebugCapture.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "tests/support/StandInFolder.h"
#include "devtools/common/TempFolder.h"

#include <string>
#include <vector>

namespace HalyardTest {

using namespace HalyardDev;
using Messages = std::vector<std::string>;

// One run of the real Halyard.exe under a debugger loop, with a temporary path (and so a log folder)
// and a stand-in folder of its own. The destructor ends an agent that still runs. Waits are in ms.
class AgentRun : public DebugCapture
{
public:
    // program: the agent to start; by default the one built beside this test.
    explicit AgentRun(std::wstring program = {});
    ~AgentRun();
    AgentRun(const AgentRun&) = delete;
    AgentRun& operator=(const AgentRun&) = delete;

    const StandInFolder& StandIns() const { return standIns_; }
    // Starts the agent with the argument text (empty: the logon start), with further environment and
    // a current directory in the options. 0 or the Win32 error.
    DWORD Start(const std::wstring& arguments = L"/run", ChildOptions options = {});
    // Starts an agent that gets through the gate and waits until its watcher has the terminate event.
    void StartRunning();
    // The started process's exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD WaitForExit(DWORD timeoutMs = 20000) { return DebugCapture::WaitForExit(timeoutMs); }
    bool WaitForDebugText(const std::wstring& text, DWORD timeoutMs = 20000) { return WaitForText(text, timeoutMs); }
    // Signals the terminate event, held until every process of the run has ended (or the time is up);
    // the started process's exit code.
    DWORD Terminate(DWORD timeoutMs = 20000);

    // What reached the debugger: from every process, or from the first one only.
    Messages DebugMessages(bool firstProcessOnly = false) const;
    std::wstring LogFolder() const { return folder_ / L"temp\\Orvanta"; }
    Messages LogMessages() const;
    Messages EngineCalls() const { return standIns_.EngineCalls(); }
    Messages Children() const;

private:
    std::wstring program_;
    TempFolder folder_;
    StandInFolder standIns_;
    bool started_ = false;
};

// The machine policy that lets the agent run, set for the test's life and removed afterwards.
class PolicyKey : public ScopedRegistryKey
{
public:
    PolicyKey();
};

// The machine's logon start (the Run value the package writes), set for the object's life.
class LogonStart
{
public:
    explicit LogonStart(const std::wstring& command);
    ~LogonStart();
    LogonStart(const LogonStart&) = delete;
    LogonStart& operator=(const LogonStart&) = delete;
};

// Leaves no agent running in this session (terminating the ones that are): for set-ups that need the
// session's instance mutex. False when one still runs after the time.
bool EnsureNoAgent(DWORD timeoutMs = 20000);

// Runs the development driver (HalyardDevCtl) with the given arguments; its exit code.
DWORD DevCtl(const std::wstring& arguments);

} // namespace HalyardTest
