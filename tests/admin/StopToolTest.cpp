// HalyardStop end to end under Wine, against real running agents.
#include "tests/support/AgentRun.h"
#include "tests/support/Child.h"
#include "devtools/common/AgentControl.h"
#include "platform/UniqueResource.h"

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
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardStop.exe") + L"\" " + arguments);
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
    void SetUp() override { ASSERT_TRUE(EnsureNoAgent()); }
    PolicyKey policy_;
};

TEST_F(StopTool, StopsTheRunningAgentAndLeavesNoEventBehindForTheNextOne)
{
    AgentRun first;
    first.StartRunning();

    EXPECT_EQ(0u, Stop());
    EXPECT_EQ(0u, first.WaitForExit());
    EXPECT_EQ("Terminating Halyard process.", first.LogMessages().back());
    EXPECT_FALSE(TerminateEventExists());

    AgentRun next;
    next.StartRunning();
    EXPECT_EQ(STILL_ACTIVE, next.WaitForExit(500)) << "the next agent is not stopped by a lingering event";
}

TEST_F(StopTool, ReportsAnotherProcessThatKeepsTheEventSignalled)
{
    Orvanta::Deskweave::UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate"));
    ASSERT_TRUE(held);
    EXPECT_EQ(4u, Stop(L"/timeout:5"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.get(), 0));
}

TEST_F(StopTool, TimesOutOnAnAgentThatDoesNotExitAndRejectsBadArguments)
{
    // Image names are matched without regard to case, as Windows compares file names.
    const LonelyCopy impostor(L"hALYARD.EXE");
    ChildProcess lingering;
    ASSERT_EQ(0u, lingering.Start(L"\"" + impostor.Path() + L"\" --child linger"));
    EXPECT_EQ(1u, Stop(L"/timeout:1"));
    lingering.Terminate();

    EXPECT_EQ(2u, Stop(L"/timeout:soon"));
    EXPECT_EQ(2u, Stop(L"/wait"));
}

} // namespace
