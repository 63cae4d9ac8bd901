// The kernel object wrappers on real handles: events, the instance mutex, child processes.
#include "platform/Event.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "platform/UniqueResource.h"
#include "tests/support/LogReader.h"
#include "tests/support/TestFolders.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

using Messages = std::vector<std::string>;

class EventWrapper : public testing::Test
{
protected:
    LogCapture log_;
};

TEST_F(EventWrapper, OperationsWithoutAHandleFailAtOnceAndSaySo)
{
    {
        Event event;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(event.Set());
        EXPECT_FALSE(event.Reset());
        EXPECT_FALSE(event.Wait());
        event.Close();
    }
    const Messages expected = {
        "Orvanta::Deskweave::Event::Set:: Enter",
        "Orvanta::Deskweave::Event::Set:: SetEvent returned = 0",
        "Orvanta::Deskweave::Event::Reset:: Enter",
        "Orvanta::Deskweave::Event::Reset:: ResetEvent returned = 0",
        "Orvanta::Deskweave::Event::Wait:: Enter",
        "Orvanta::Deskweave::Event::Wait:: Wait on null event",
        "Orvanta::Deskweave::Event::Close:: Enter",
        "Orvanta::Deskweave::Event::Close:: Enter", // the destructor's
    };
    EXPECT_EQ(expected, log_.Messages());
}

TEST_F(EventWrapper, CreateOnAnOpenWrapperKeepsItsHandle)
{
    Event event;
    ASSERT_TRUE(event.Create(nullptr, TRUE, FALSE, nullptr));
    const HANDLE first = event.Handle();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(event.Create(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(first, event.Handle());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Handle(), 0)) << "the second Create changed nothing";
    const Messages messages = log_.Messages();
    EXPECT_EQ((Messages{"Orvanta::Deskweave::Event::Create:: Event = (null)",
                        "Orvanta::Deskweave::Event::Create:: Event = (null)"}),
              messages);
}

TEST_F(EventWrapper, ASecondEventOfTheSameNameOpensTheSameObject)
{
    const std::wstring name = L"Local\\HalyardTestEvent-" + UniqueSuffix();
    Event first;
    Event second;
    ASSERT_TRUE(first.CreateEveryOneAllowed(name.c_str(), TRUE, FALSE));
    ASSERT_TRUE(second.CreateEveryOneAllowed(name.c_str(), TRUE, FALSE));
    EXPECT_EQ(name, second.Name());

    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(second.Handle(), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);

    ASSERT_TRUE(first.Set());
    EXPECT_TRUE(second.Wait());
    EXPECT_TRUE(second.Wait()) << "manual reset: stays signalled";
    ASSERT_TRUE(second.Reset());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.Handle(), 0));

    const Messages messages = log_.Messages();
    const std::string named = "Event = " + Narrow(name);
    EXPECT_EQ("Orvanta::Deskweave::Event::CreateEveryOneAllowed:: " + named, messages[0]);
    EXPECT_EQ("Orvanta::Deskweave::Event::Create:: " + named, messages[1]);
}

TEST(HandleOwner, ClosingKeepsTheLastErrorACallerIsAboutToReport)
{
    // A value that is no handle: closing it fails and would set ERROR_INVALID_HANDLE.
    UniqueHandle bogus(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFFF0)));
    SetLastError(0xdeadbeef);
    bogus.reset();
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    EXPECT_FALSE(bogus);
}

TEST(InstanceMutex, SecondMutexOfSameNameIsNotOwnedUntilTheFirstIsGone)
{
    const std::wstring name = L"Local\\HalyardTestMutex-" + UniqueSuffix();
    auto first = std::make_unique<NamedMutex>(name.c_str());
    EXPECT_TRUE(first->IsOwned());
    EXPECT_EQ(0u, first->LastError());
    {
        NamedMutex second(name.c_str());
        EXPECT_FALSE(second.IsOwned());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), second.LastError());
    }
    // The second closed without releasing: the first still owns it, another thread cannot take it.
    std::thread([&name] {
        HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(other, 0));
        CloseHandle(other);
    }).join();

    first.reset();
    NamedMutex third(name.c_str());
    EXPECT_TRUE(third.IsOwned()) << "released and closed by the first one's destructor";
}

class ChildProcess : public testing::Test
{
protected:
    StandInRecords records_;
};

TEST_F(ChildProcess, CommandLineIsTheQuotedProgramThenTheArguments)
{
    LogCapture log;
    Process application(L"OrvantaSync.exe");
    EXPECT_EQ(0u, application.Create(L"/resetpassword"));
    EXPECT_EQ(Messages{"\"OrvantaSync.exe\" /resetpassword"}, records_.WaitForLines(L"children.log", 1));
    EXPECT_EQ(0u, application.Create(L""));
    EXPECT_EQ((Messages{"\"OrvantaSync.exe\" /resetpassword", "\"OrvantaSync.exe\""}),
              records_.WaitForLines(L"children.log", 2));

    const Messages messages = log.Messages();
    EXPECT_EQ((Messages{"Orvanta::Deskweave::Process::Process:: cmd line = OrvantaSync.exe",
                        "Orvanta::Deskweave::Process::Create:: enter...",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"OrvantaSync.exe\" /resetpassword'",
                        "Orvanta::Deskweave::Process::Create:: enter...",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"OrvantaSync.exe\"'"}),
              messages);
}

TEST_F(ChildProcess, MissingProgramGivesFileNotFoundAndStartsNothing)
{
    Process missing(L"NoSuchProgram-" + UniqueSuffix() + L".exe");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.Create(L"/x"));
}

} // namespace
