// The kernel object wrappers on real handles: events, the instance mutex, child processes.
#include "tests/support/TestSupport.h"
#include "platform/Event.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"

#include <aclapi.h>

#include <algorithm>

using namespace HalyardTest;

namespace {

const std::string kEvent = "Orvanta::Deskweave::Event::";

TEST(EventWrapper, OperationsWithoutAHandleFailAtOnceAndSaySo)
{
    LogCapture log;
    {
        Event event;
        EXPECT_FALSE(event.Set());
        EXPECT_FALSE(event.Reset());
        EXPECT_FALSE(event.Wait());
        event.Close();
    } // and the destructor's Close
    EXPECT_EQ((Messages{kEvent + "Set:: Enter", kEvent + "Set:: SetEvent returned = 0", kEvent + "Reset:: Enter",
                        kEvent + "Reset:: ResetEvent returned = 0", kEvent + "Wait:: Enter",
                        kEvent + "Wait:: Wait on null event", kEvent + "Close:: Enter", kEvent + "Close:: Enter"}),
              log.Messages());
}

// Whether a kernel object carries a null DACL: present, but no list at all.
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

TEST(EventWrapper, ANamedEventIsOpenedByTheSecondCreateAndEveryUserMayOpenIt)
{
    const std::wstring name = L"Local\\HalyardTestEvent-" + UniqueSuffix();
    LogCapture log;
    Event first;
    Event second;
    ASSERT_TRUE(first.CreateEveryOneAllowed(name.c_str(), TRUE, FALSE));
    const HANDLE firstHandle = first.Handle();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(first.Create(nullptr, FALSE, TRUE, nullptr)) << "an open wrapper keeps its handle";
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(firstHandle, first.Handle());
    ASSERT_TRUE(second.CreateEveryOneAllowed(name.c_str(), TRUE, FALSE));
    EXPECT_EQ(name, second.Name());
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(second.Handle(), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0);
    // Not an empty list, not the creator's default: the agents of every session and the stop tool open it.
    EXPECT_TRUE(HasNullDacl(second.Handle()));

    ASSERT_TRUE(first.Set());
    EXPECT_TRUE(second.Wait());
    EXPECT_TRUE(second.Wait()) << "manual reset: stays signalled";
    ASSERT_TRUE(second.Reset());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.Handle(), 0));
    const std::string named = "Event = " + Narrow(name);
    const Messages messages = log.Messages();
    EXPECT_EQ((Messages{kEvent + "CreateEveryOneAllowed:: " + named, kEvent + "Create:: " + named,
                        kEvent + "Create:: Event = (null)"}),
              Messages(messages.begin(), messages.begin() + 3));
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

TEST(InstanceMutex, SecondMutexOfSameNameIsNotOwnedUntilTheFirstIsGoneAndEveryUserMayOpenIt)
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
        UniqueHandle other(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name.c_str()));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(other.get(), 0));
        EXPECT_TRUE(HasNullDacl(other.get()));
    }).join();
    first.reset();
    NamedMutex third(name.c_str());
    EXPECT_TRUE(third.IsOwned()) << "released and closed by the first one's destructor";
}

TEST(ChildProgram, StartedFromBesideTheRunningProgramNeverFromTheCurrentFolderOrPath)
{
    StandInFolder standIns;
    Process application(L"OrvantaSync.exe");
    EXPECT_EQ(0u, application.Create(L"/resetpassword"));
    EXPECT_EQ(0u, application.Create(L"")) << "the quoted name alone";
    Messages started = standIns.WaitForRecords(kChildrenRecord, 2); // in the order the two happened to run
    std::sort(started.begin(), started.end());
    EXPECT_EQ((Messages{"\"OrvantaSync.exe\"", "\"OrvantaSync.exe\" /resetpassword"}), started);

    // A program of another name, planted where the usual search for a program would find it.
    TempFolder planted;
    const std::wstring name = L"Planted-" + UniqueSuffix() + L".exe";
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"OrvantaSync.exe").c_str(), (planted / name).c_str(), FALSE));
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    const std::wstring path = EnvironmentVariable(L"PATH");
    SetCurrentDirectoryW(planted.Path().c_str());
    SetEnvironmentVariableW(L"PATH", (planted.Path() + L";" + path).c_str());
    const DWORD result = Process(name).Create(L"/x");
    SetCurrentDirectoryW(directory);
    SetEnvironmentVariableW(L"PATH", path.c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), result);
    Sleep(500); // long enough for a wrongly started stand-in to record itself
    EXPECT_EQ(2u, ReadLines(standIns.Path() + L"\\" + kChildrenRecord).size()) << "the planted program ran";
}

} // namespace
