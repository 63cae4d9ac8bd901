// The session handler behind a real window on its own thread, notified from other threads as the
// engine would (the development session host). The machine policy, the per-user folder key and the
// terminate event are fixed names, so these cases run alone.
#include "devtools/sessionhost/SessionHost.h"
#include "tests/support/AgentRun.h"
#include "tests/support/LogCapture.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"

#include <gtest/gtest.h>

#include <thread>

using namespace HalyardTest;
using namespace Orvanta::Deskweave;
using HalyardDev::SessionHost;

namespace {

const std::string kHandler = "Orvanta::Deskweave::SyncWindowHandler::";

class SessionWindow : public testing::Test
{
protected:
    // The window and its handler, which reads the machine policy as it is at this moment.
    void StartHost()
    {
        host_ = std::make_unique<SessionHost>();
        ASSERT_EQ(0u, host_->CreateResult());
    }
    void Notify(const char* sequence, int done, int total)
    {
        std::thread([&] { host_->Notifications().OnPendingUploadStatus(nullptr, sequence, {done, total}); }).join();
    }
    // A message sent as the platform sends it, with a bound: 0 when the window did not answer in time.
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs = 10000)
    {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(host_->WindowHandle(), message, wParam, lParam, SMTO_NORMAL, timeoutMs, &result)
                   ? static_cast<LRESULT>(result)
                   : 0;
    }

    StandInFolder standIns_;
    LogCapture log_;
    std::unique_ptr<SessionHost> host_;
};

TEST_F(SessionWindow, ShutdownReasonIsRegisteredAndWithdrawnOnTheWindowThreadOnly)
{
    StartHost();
    Notify("1", 0, 2);
    Notify("2", 1, 2);
    Notify("3", 2, 2);
    host_->Close();

    const std::vector<LogLine> lines = log_.Lines();
    const auto threadOf = [&lines](const std::string& needle) {
        for (const LogLine& line : lines) {
            if (line.message == kHandler + needle) {
                return line.threadId;
            }
        }
        return 0ul;
    };
    EXPECT_NE(host_->WindowThreadId(), threadOf("OnPendingUploadStatus:: Posting create shutdown block reason."))
        << "the notification only posts";
    EXPECT_EQ(host_->WindowThreadId(), threadOf("OnCreateShutdownReason:: Creating shutdown block reason."));
    EXPECT_EQ(host_->WindowThreadId(), threadOf("OnDestroyShutdownReason:: Destroying shutdown block reason."));
    std::vector<std::string> messages;
    for (const LogLine& line : lines) {
        messages.push_back(line.message);
    }
    EXPECT_EQ(2, CountMessages(messages, "WM_CREATESHUTDOWNREASON received")) << "each pending notification posts";
    EXPECT_EQ(1, CountMessages(messages, "WM_DESTROYSHUTDOWNREASON received"));
}

TEST_F(SessionWindow, EndOfSessionWaitsForUploadsThenRevertsPermissionsThenPreparesTheEngine)
{
    ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, kPolicyKey);
    policy.SetDword(kAdjustPermissionsValue, 1);
    ScopedRegistryKey folders(HKEY_CURRENT_USER, kSyncFoldersKey);
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(kSyncRootValue, temp / L"Sync");
    StartHost();

    Notify("1", 0, 1);
    EXPECT_EQ(1, Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    std::thread complete([this] {
        Sleep(300);
        Notify("2", 1, 1);
    });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(0, Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF));
    complete.join();
    EXPECT_GE(GetTickCount64() - start, 250u) << "the end of session waited for the upload";
    host_->Close();

    const std::vector<std::string> messages = log_.Messages();
    ExpectInOrder(messages, {kHandler + "OnEndSession:: Uploads have completed. Continuing to end session.",
                             "InheritPermissionsFromSrcFolder: destination folder: " + Narrow(temp / L"Sync")});
    standIns_.WaitForRecords(kEngineCallsRecord, 1);
    EXPECT_EQ((Messages{"OvPrepareForLogoff() 00000000"}), standIns_.EngineCalls());
}

TEST_F(SessionWindow, ATerminateRequestEndsTheWaitForUploadsAndTheEngineIsNotPrepared)
{
    StartHost();
    Notify("1", 0, 1);
    EXPECT_EQ(1, Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    // Held signalled, as the stop tool holds it while agents exit.
    UniqueHandle terminate(CreateEventW(nullptr, TRUE, TRUE, kTerminateEventName));
    const bool answered = SendMessageTimeoutW(host_->WindowHandle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF,
                                              SMTO_NORMAL, 10000, nullptr) != 0;
    ResetEvent(terminate.get());
    if (!answered) {
        Notify("2", 1, 1); // releases the window thread, so that the host can still be closed
    }
    host_->Close();
    ASSERT_TRUE(answered) << "the end of session still waited for uploads after the terminate event";

    const std::vector<std::string> messages = log_.Messages();
    EXPECT_GE(FindMessage(messages, kHandler + "OnEndSession:: Terminate event signalled while waiting for uploads. "
                                               "Ending without them."),
              0);
    EXPECT_EQ(-1, FindMessage(messages, "Uploads have completed"));
    Sleep(200);
    EXPECT_EQ(Messages{}, standIns_.EngineCalls()) << "the engine is not prepared";
}

} // namespace
