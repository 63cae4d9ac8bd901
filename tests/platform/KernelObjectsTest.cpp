// The kernel object wrappers on real handles: events, the instance mutex, child processes.
#include "platform/Event.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "platform/UniqueResource.h"
#include "tests/support/LogCapture.h"
#include "devtools/common/ChildProcess.h"
#include "devtools/common/Files.h"
#include "devtools/common/StandInFolder.h"
#include "devtools/common/Text.h"

#include <gtest/gtest.h>

#include <aclapi.h>

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

// Whether a kernel object, opened by name, carries a null DACL: present, but no list at all.
bool HasNullDacl(HANDLE object)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocalMemory owner(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl == nullptr;
}

TEST(EveryOneAllowed, TheInstanceMutexAndTheTerminateEventCarryANullDacl)
{
    const std::wstring mutexName = L"Local\\HalyardTestMutex-" + UniqueSuffix();
    const std::wstring eventName = L"Local\\HalyardTestEvent-" + UniqueSuffix();
    NamedMutex mutex(mutexName.c_str());
    Event event;
    ASSERT_TRUE(event.CreateEveryOneAllowed(eventName.c_str(), TRUE, FALSE));
    // Not an empty list and not the creator's default: every user of every session may open them,
    // which the agents of other sessions and the stop tool need.
    UniqueHandle openedMutex(OpenMutexW(READ_CONTROL, FALSE, mutexName.c_str()));
    UniqueHandle openedEvent(OpenEventW(READ_CONTROL, FALSE, eventName.c_str()));
    EXPECT_TRUE(HasNullDacl(openedMutex.get()));
    EXPECT_TRUE(HasNullDacl(openedEvent.get()));
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

class ChildProgram : public testing::Test
{
protected:
    StandInFolder standIns_;
};

TEST_F(ChildProgram, CommandLineIsTheQuotedProgramThenTheArguments)
{
    LogCapture log;
    Process application(L"OrvantaSync.exe");
    EXPECT_EQ(0u, application.Create(L"/resetpassword"));
    EXPECT_EQ(Messages{"\"OrvantaSync.exe\" /resetpassword"}, standIns_.WaitForRecords(kChildrenRecord, 1));
    EXPECT_EQ(0u, application.Create(L""));
    EXPECT_EQ((Messages{"\"OrvantaSync.exe\" /resetpassword", "\"OrvantaSync.exe\""}),
              standIns_.WaitForRecords(kChildrenRecord, 2));

    const Messages messages = log.Messages();
    EXPECT_EQ((Messages{"Orvanta::Deskweave::Process::Process:: cmd line = OrvantaSync.exe",
                        "Orvanta::Deskweave::Process::Create:: enter...",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"OrvantaSync.exe\" /resetpassword'",
                        "Orvanta::Deskweave::Process::Create:: enter...",
                        "Orvanta::Deskweave::Process::Create:: Command line = '\"OrvantaSync.exe\"'"}),
              messages);
}

TEST_F(ChildProgram, OnlyTheProgramBesideTheRunningOneIsStartedNeverOneFoundInTheCurrentFolderOrOnPath)
{
    // A program of the name, planted where the usual search for a program would find it.
    TempFolder planted;
    const std::wstring name = L"Planted-" + UniqueSuffix() + L".exe";
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"OrvantaSync.exe").c_str(), (planted / name).c_str(), FALSE));
    wchar_t oldDirectory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, oldDirectory);
    ASSERT_TRUE(SetCurrentDirectoryW(planted.Path().c_str()));
    Process missing(name);
    const DWORD fromCurrentFolder = missing.Create(L"/x");
    SetCurrentDirectoryW(oldDirectory);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), fromCurrentFolder);

    wchar_t oldPath[32767] = {};
    GetEnvironmentVariableW(L"PATH", oldPath, _countof(oldPath));
    SetEnvironmentVariableW(L"PATH", (planted.Path() + L";" + oldPath).c_str());
    const DWORD fromPath = missing.Create(L"/x");
    SetEnvironmentVariableW(L"PATH", oldPath);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), fromPath);

    Sleep(500); // long enough for a wrongly started stand-in to record itself
    EXPECT_TRUE(ReadLines(standIns_.Path() + L"\\" + kChildrenRecord).empty()) << "the planted program ran";
}

} // namespace
