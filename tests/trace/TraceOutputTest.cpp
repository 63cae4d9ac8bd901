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
    EXPECT_EQ((std::vector<std::string>{"before initialize\n", "wide|narrow|18446744073709551615|0000BEEF|-5|4000000000\n",
                                        "100% done %s %d %%\n", "no line end", "follows on\n", std::string(1022, 'a'),
                                        "\n", std::string(1022, 'b'), "\n", "debugger only\n", "after uninitialize\n",
                                        "after second uninitialize\n"}),
              debugger);

    const std::vector<std::wstring> files = LogFiles(temp / L"Orvanta");
    ASSERT_EQ(1u, files.size());
    const std::string log = ReadFileBytes(temp / (L"Orvanta\\" + files[0]));
    const std::string prefix = R"(\[[0-9A-F]{8}\] \[\d\d/\d\d \d\d:\d\d:\d\d\] )";
    const std::regex expected(prefix + R"(wide\|narrow\|18446744073709551615\|0000BEEF\|-5\|4000000000\r\n)" +
                              prefix + R"(100% done %s %d %%\r\n)" + prefix + "no line end" + prefix + "follows on\r\n" +
                              prefix + "a{1022}" + prefix + "\r\n" + prefix + "b{1022}" + prefix + "\r\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log.substr(0, 400);
}

} // namespace
