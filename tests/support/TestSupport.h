#pragma once

// What every test of this suite works with: GoogleTest, the development-support library, and the
// product's names and handle owners. Included first by each test.
#include "devtools/common/ChildProcess.h"
#include "devtools/common/Environment.h"
#include "devtools/common/Files.h"
#include "devtools/common/LogCapture.h"
#include "devtools/common/LogReader.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include "tests/support/EventLogReader.h"
#include "tests/support/StandInFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace HalyardTest {

using namespace HalyardDev;
using namespace Orvanta::Deskweave;
using Messages = std::vector<std::string>;

// Index of the first message at or after `from` that contains `needle`, or -1.
int FindMessage(const Messages& messages, const std::string& needle, int from = 0);
// Indices of each needle in order, each found after the one before; -1 for a needle missing or out
// of order (the search goes on after the previous one found).
std::vector<int> FindInOrder(const Messages& messages, const Messages& needles);
// Lines of a text file (a stand-in's record, a tool's output), without their line ends.
Messages ReadLines(const std::wstring& path);
bool FileExists(const std::wstring& path);

// Each needle found after the one before; a missing one, or one out of order, fails the test by name.
inline void ExpectInOrder(const Messages& messages, const Messages& needles)
{
    const std::vector<int> found = FindInOrder(messages, needles);
    for (size_t i = 0; i < needles.size(); ++i) {
        EXPECT_GE(found[i], 0) << "missing, or out of order: " << needles[i];
    }
}

// A test that needs a process of its own (a real debugger attached, a crash or hang to survive, a
// platform setting keyed by program name) relaunches its own binary with "--child NAME".

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
ChildResult RunChild(const char* routine, const ChildOptions& options = {}, DWORD timeoutMs = 30000,
                     const std::wstring& program = {});

// As RunChild, with Wine's debug channels on (WINEDEBUG syntax) and in the output: what Wine
// records of the calls the child makes (a stub reports each call on the "fixme" channel).
ChildResult RunChildRecordingWine(const char* routine, const std::string& channels, const std::wstring& program = {});

// Programs started from here on that crash end at once, with the exception's code: no Windows Error
// Reporting dialog (the error mode children inherit), and under Wine no crash debugger waiting for an
// answer on a desktop no one sees.
void EndCrashedProgramsAtOnce();

// Deletes a file as a system other than Windows may (a file server's, a cleanup's), though a program
// holds it open without sharing its deletion: under Wine, through the Unix system. False elsewhere, or
// when the file is still there after 5 s.
bool DeleteBehindWindows(const std::wstring& path);

// Whether these tests run under Wine: what only Windows shows is skipped there, and what needs Wine's own
// arrangements (its debug channels, a Unix command) runs there alone ("// Label: wine").
bool UnderWine();

// The Unix path of a Windows path under Wine; empty elsewhere.
std::string UnixPath(const std::wstring& path);

// A drive letter of this Wine prefix that names a folder, as a volume's root, for the object's life
// (Wine's DefineDosDeviceW names no folder its file calls see). Letter() is empty when none was free.
class WineDrive
{
public:
    explicit WineDrive(const std::wstring& folder);
    ~WineDrive();
    WineDrive(const WineDrive&) = delete;
    WineDrive& operator=(const WineDrive&) = delete;
    // "R:", without a backslash.
    const std::wstring& Letter() const { return letter_; }

private:
    std::wstring letter_;
    std::string link_;
};

// A value of HKEY_CURRENT_USER\Environment for the object's life, put back as it was afterwards: what a
// user's environment block holds (CreateEnvironmentBlock), and where other accounts find the user's TMP.
class UserEnvironmentValue
{
public:
    UserEnvironmentValue(const wchar_t* name, const std::wstring& value);
    ~UserEnvironmentValue();
    UserEnvironmentValue(const UserEnvironmentValue&) = delete;
    UserEnvironmentValue& operator=(const UserEnvironmentValue&) = delete;
    void Set(const std::wstring& value) const;

private:
    const wchar_t* name_;
    std::wstring old_;
    bool had_ = false;
};

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

// Runs one call on a thread of its own (the end of session, as the window thread would run it), so
// that a test can tell whether it still waits. Every wait for it is bounded: if the call is still
// blocked 20 s after the test is done with it, the process ends with a message instead of hanging,
// since the objects the call uses cannot safely be destroyed under it.
class Background
{
public:
    explicit Background(std::function<void()> call) : done_(std::async(std::launch::async, std::move(call))) {}
    ~Background()
    {
        if (!Finished(20000)) {
            fprintf(stderr, "A call made in the background is still blocked 20 s after its test: ending the test.\n");
            fflush(nullptr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    // True once the call has returned; waits at most timeoutMs for that.
    bool Finished(DWORD timeoutMs)
    {
        return done_.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    }

private:
    std::future<void> done_;
};

} // namespace HalyardTest
