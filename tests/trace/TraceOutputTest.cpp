// What a trace call really writes: the debugger output as a debugger loop receives it, and the bytes
// of the log file. The traces come from this binary relaunched, so that a real debugger can be
// attached to it.
#include "tests/support/TestSupport.h"
#include "devtools/common/DebugCapture.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <regex>

using namespace HalyardTest;

namespace {

int EmitTraces()
{
    Trace(L"before initialize\n");
    TraceManager::Initialize();
    Trace(L"%s|%S|%I64u|%08X|%d|%lu\n", L"wide", "narrow", 18446744073709551615ULL, 0xBEEFu, -5, 4000000000UL);
    Trace(L"%s\n", L"100% done %s %d %%");
    Trace(L"no line end");
    Trace(L"follows on\n");
    Trace(L"%s", std::wstring(1022, L'a').c_str());
    Trace(L"\n");
    Trace(L"%s", std::wstring(1500, L'b').c_str());
    Trace(L"\n");
    TraceToDebugger(L"debugger only\n");
    TraceManager::Uninitialize();
    Trace(L"after uninitialize\n");
    TraceManager::Uninitialize();
    Trace(L"after second uninitialize\n");
    return 0;
}
const ChildRoutine emitTraces("emit-traces", EmitTraces);

// A disk that fills up after the tenth line and is freed after the fiftieth; the write that finds it
// full writes half its line, as a file system may.
int TraceOnADiskThatFillsUp()
{
    TraceManager::SetFileWriter([](HANDLE file, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* at) -> BOOL {
        static int writes = 0;
        ++writes;
        if (writes <= 10 || writes > 50) {
            return WriteFile(file, bytes, size, written, at);
        }
        if (writes == 11) {
            WriteFile(file, bytes, size / 2, written, at);
        }
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    });
    TraceManager::Initialize();
    for (int line = 1; line <= 60; ++line) {
        Trace(L"line %d\n", line);
    }
    TraceManager::Uninitialize();
    return 0;
}
const ChildRoutine fullDisk("full-disk", TraceOnADiskThatFillsUp);

// Each line reaches the file whole or not at all; the lines that could not be written are reported once
// to the debugger, and counted in the log as soon as it can be written again.
TEST(TraceOutput, LinesThatADiskFullCannotTakeAreCountedInTheLogOnceItCanBeWrittenAgainAndNoneIsTorn)
{
    TempFolder temp;
    TempPathOverride tempPath(temp.Path());
    DebugCapture capture;
    ASSERT_EQ(0u, capture.Start(L"\"" + ThisProgram() + L"\" --child full-disk"));
    ASSERT_EQ(0u, capture.WaitForExit(20000));
    capture.Stop();
    int reports = 0;
    for (const DebugString& s : capture.Strings()) {
        reports += s.text == L"TraceManager::WriteLine:WriteFile: failed, and log lines are lost until one can be "
                             L"written again; last error: 112\n";
    }
    EXPECT_EQ(1, reports);
    const std::vector<LogLine> lines = LogLines(temp / L"Orvanta");
    ASSERT_EQ(21u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(0u, lines[i].threadId) << "a torn line: " << lines[i].message;
        const int number = i < 10 ? static_cast<int>(i) + 1 : static_cast<int>(i) + 40;
        if (i != 10) {
            EXPECT_EQ("line " + std::to_string(number), lines[i].message);
        }
    }
    EXPECT_TRUE(std::regex_match(lines[10].message,
                                 std::regex(R"(Lost 40 log lines between (\d\d/\d\d \d\d:\d\d:\d\d) and )"
                                            R"((\d\d/\d\d \d\d:\d\d:\d\d): writing the log failed with error 112\.)")))
        << lines[10].message;
}

TEST(TraceOutput, DebuggerGetsEachMessageAloneAndTheLogPrefixedLinesWithCrLfWhileTracingIsStarted)
{
    TempFolder temp;
    TempPathOverride tempPath(temp.Path());
    DebugCapture capture;
    ASSERT_EQ(0u, capture.Start(L"\"" + ThisProgram() + L"\" --child emit-traces"));
    ASSERT_EQ(0u, capture.WaitForExit(20000));
    capture.Stop();
    std::vector<std::string> debugger;
    for (const DebugString& s : capture.Strings()) {
        if (s.processId == capture.ProcessId()) {
            debugger.push_back(Narrow(s.text));
        }
    }
    // The Microsoft wide conventions, a message cut after 1022 characters, a percent sign as it is.
    EXPECT_EQ((std::vector<std::string>{"before initialize\n",
                                        "wide|narrow|18446744073709551615|0000BEEF|-5|4000000000\n",
                                        "100% done %s %d %%\n", "no line end", "follows on\n", std::string(1022, 'a'),
                                        "\n", std::string(1022, 'b'), "\n", "debugger only\n", "after uninitialize\n",
                                        "after second uninitialize\n"}),
              debugger);

    const std::vector<std::wstring> files = LogFiles(temp / L"Orvanta");
    ASSERT_EQ(1u, files.size());
    const std::string log = ReadFileBytes(temp / (L"Orvanta\\" + files[0]));
    const std::string prefix = R"(\[[0-9A-F]{8}\] \[\d\d/\d\d \d\d:\d\d:\d\d\] )";
    const std::regex expected(prefix + R"(wide\|narrow\|18446744073709551615\|0000BEEF\|-5\|4000000000\r\n)" + prefix +
                              R"(100% done %s %d %%\r\n)" + prefix + "no line end" + prefix + "follows on\r\n" +
                              prefix + "a{1022}" + prefix + "\r\n" + prefix + "b{1022}" + prefix + "\r\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log.substr(0, 400);
}

} // namespace
