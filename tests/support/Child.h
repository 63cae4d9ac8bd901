#pragma once

#include "devtools/common/ChildProcess.h"
#include "devtools/common/TempFolder.h"

#include <string>

// A test that needs a process of its own (a real debugger attached, a crash or hang to survive, a
// platform setting keyed by program name) relaunches its own binary with "--child NAME".
namespace HalyardTest {

using namespace HalyardDev;

// The full path of this test binary.
std::wstring ThisProgram();

// Registers a routine that "<test binary> --child NAME" runs in place of the tests. It returns the
// process's exit code: 0 when all went well, else it prints what went wrong first.
struct ChildRoutine {
    ChildRoutine(const char* name, int (*routine)());
};

struct ChildResult {
    DWORD exitCode;     // STILL_ACTIVE when it ran out of time (it is then ended)
    std::string output; // its standard output and error, under Wine with the debug channels asked for
};

// Runs a routine of this test binary, or of a copy of it, and waits for it at most timeoutMs.
ChildResult RunChild(const char* routine, const ChildOptions& options = {}, DWORD timeoutMs = 60000,
                     const std::wstring& program = {});

// As RunChild, with Wine's debug channels on (WINEDEBUG syntax) and in the output: what Wine
// records of the calls the child makes (a stub reports each call on the "fixme" channel).
ChildResult RunChildRecordingWine(const char* routine, const std::string& channels, const std::wstring& program = {});

// A copy of this test binary alone in a fresh folder, under a name of its own: no agent, engine or
// companion program beside it.
class LonelyCopy
{
public:
    explicit LonelyCopy(const std::wstring& name = L"lonely-" + UniqueSuffix() + L".exe");
    const std::wstring& Path() const { return path_; }

private:
    TempFolder folder_;
    std::wstring path_;
};

} // namespace HalyardTest
