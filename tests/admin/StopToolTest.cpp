// HalyardStop end to end under Wine, against real running agents.
#include "tests/support/AgentRun.h"
#include "tests/support/LogReader.h"

#include <gtest/gtest.h>

using namespace HalyardTest;

namespace {

// Stands in for an agent that does not react to the terminate event.
int Linger()
{
    Sleep(30000);
    return 0;
}
const ChildRoutine linger("linger", Linger);

DWORD Stop(const std::wstring& arguments = L"")
{
    return RunAndWait(L"\"" + BinaryFolder() + L"\\HalyardStop.exe\" " + arguments);
}

bool TerminateEventExists()
{
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\HalyardTerminate");
    if (event != nullptr) {
        CloseHandle(event);
    }
    return event != nullptr;
}

class StopTool : public testing::Test
{
protected:
    void SetUp() override
    {
        if (AgentRun::RunDevCtl(L"wait-gone 0") != 0) {
            AgentRun::SignalTerminate();
            ASSERT_EQ(0u, AgentRun::RunDevCtl(L"wait-gone 20000"));
        }
    }
    PolicyKey policy_;
};

TEST_F(StopTool, StopsTheRunningAgentAndLeavesNoEventBehindForTheNextOne)
{
    AgentRun first;
    ASSERT_EQ(0u, first.Start());
    ASSERT_TRUE(AgentRun::WaitForAgentWindow());
    ASSERT_TRUE(first.WaitForDebugText(L"Event = Global\\HalyardTerminate"));

    EXPECT_EQ(0u, Stop());
    EXPECT_EQ(0u, first.WaitForExit());
    EXPECT_EQ("Terminating Halyard process.", first.LogMessages().back());
    EXPECT_FALSE(TerminateEventExists());

    AgentRun next;
    ASSERT_EQ(0u, next.Start());
    ASSERT_TRUE(AgentRun::WaitForAgentWindow());
    Sleep(500);
    EXPECT_EQ(0u, AgentRun::RunDevCtl(L"wait-window 0")) << "the next agent is not stopped by a lingering event";
    EXPECT_EQ(STILL_ACTIVE, next.WaitForExit(0));
}

TEST_F(StopTool, ReportsAnotherProcessThatKeepsTheEventSignalled)
{
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate");
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(4u, Stop(L"/timeout:5"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 0));
    CloseHandle(held);
}

TEST_F(StopTool, TimesOutOnAnAgentThatDoesNotExitAndRejectsBadArguments)
{
    TempFolder temp;
    const std::wstring impostor = temp / L"Halyard.exe";
    ASSERT_TRUE(CopyFileW((BinaryFolder() + L"\\stop_tool_test.exe").c_str(), impostor.c_str(), FALSE));
    std::wstring commandLine = L"\"" + impostor + L"\" --child linger";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    CloseHandle(info.hThread);
    const HANDLE process = info.hProcess;

    EXPECT_EQ(1u, Stop(L"/timeout:1"));
    TerminateProcess(process, 0);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);

    EXPECT_EQ(2u, Stop(L"/timeout:soon"));
    EXPECT_EQ(2u, Stop(L"/wait"));
}

} // namespace
