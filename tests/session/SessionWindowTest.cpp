// The end of session behind a real window on its own thread, notified from other threads as the
// engine would (the development session host), and sent its messages as the platform sends them,
// with a bound. The machine policy, the per-user folder key and the terminate event are fixed names,
// so these cases run alone.
#include "tests/support/TestSupport.h"
#include "devtools/sessionhost/SessionHost.h"
#include "tests/support/AgentRun.h"

using namespace HalyardTest;

namespace {

const std::string kEndSessionTag = "Orvanta::Deskweave::SyncWindowHandler::OnEndSession::";
const std::string kEndSession = kEndSessionTag + " ";

class SessionWindow : public testing::Test
{
protected:
    void Notify(const char* sequence, int done, int total)
    {
        std::thread([&] { host_->Notifications().OnPendingUploadStatus(nullptr, sequence, {done, total}); }).join();
    }
    // True when the window answered within the time, with the answer in `answer`.
    bool Send(UINT message, WPARAM wParam, LRESULT& answer, DWORD timeoutMs = 10000)
    {
        DWORD_PTR result = 0;
        const bool answered = SendMessageTimeoutW(host_->WindowHandle(), message, wParam, ENDSESSION_LOGOFF,
                                                  SMTO_NORMAL, timeoutMs, &result) != 0;
        answer = static_cast<LRESULT>(result);
        return answered;
    }
    // A logoff with an upload pending; the handler reads the machine policy as it is at this moment.
    void LogoffWithAnUploadPending()
    {
        host_ = std::make_unique<HalyardDev::SessionHost>();
        ASSERT_EQ(0u, host_->CreateResult());
        Notify("1", 0, 1);
        LRESULT answer = 0;
        ASSERT_TRUE(Send(WM_QUERYENDSESSION, 0, answer));
        EXPECT_EQ(1, answer) << "the session end is never refused";
    }

    StandInFolder standIns_;
    LogCapture log_;
    std::unique_ptr<HalyardDev::SessionHost> host_;
};

TEST_F(SessionWindow, EndOfSessionWaitsForUploadsThenRevertsPermissionsThenPreparesTheEngine)
{
    ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, kPolicyKey);
    policy.SetDword(kAdjustPermissionsValue, 1);
    ScopedRegistryKey folders(HKEY_CURRENT_USER, kSyncFoldersKey);
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(kSyncRootValue, temp / L"Sync");
    LogoffWithAnUploadPending();
    std::thread complete([this] {
        Sleep(300);
        Notify("2", 1, 1);
    });
    const ULONGLONG start = GetTickCount64();
    LRESULT answer = 1;
    EXPECT_TRUE(Send(WM_ENDSESSION, TRUE, answer));
    EXPECT_EQ(0, answer);
    complete.join();
    EXPECT_GE(GetTickCount64() - start, 250u) << "the end of session waited for the upload";
    host_->Close();
    // The window thread's own lines, from the end of session's first: nothing but the wait's.
    Messages window;
    DWORD windowThread = 0;
    for (const LogLine& line : LogLines(log_.LogFolder())) {
        windowThread = windowThread == 0 && line.message == kEndSessionTag + "enter..." ? line.threadId : windowThread;
        if (line.threadId == windowThread && window.size() < 4) {
            window.push_back(line.message);
        }
    }
    EXPECT_EQ((Messages{kEndSessionTag + "enter...", kEndSession + "Waiting for uploads to complete.",
                        "Orvanta::Deskweave::Event::Wait:: Enter",
                        kEndSession + "Uploads have completed. Continuing to end session."}),
              window);
    ExpectInOrder(log_.Messages(), {kEndSession + "Uploads have completed. Continuing to end session.",
                                    "InheritPermissionsFromSrcFolder: destination folder: " + Narrow(temp / L"Sync")});
    standIns_.WaitForRecords(kEngineCallsRecord, 1);
    EXPECT_EQ((Messages{"OvPrepareForLogoff() 00000000"}), standIns_.EngineCalls());
}

TEST_F(SessionWindow, ATerminateRequestEndsTheWaitForUploadsAndTheEngineIsNotPrepared)
{
    LogoffWithAnUploadPending();
    // Held signalled, as the stop tool holds it while agents exit.
    UniqueHandle terminate(CreateEventW(nullptr, TRUE, TRUE, kTerminateEventName));
    LRESULT answer = 1;
    const bool answered = Send(WM_ENDSESSION, TRUE, answer);
    ResetEvent(terminate.get());
    if (!answered) {
        Notify("2", 1, 1); // releases the window thread, so that the host can still be closed
    }
    host_->Close();
    ASSERT_TRUE(answered) << "the end of session still waited for uploads after the terminate event";
    const Messages messages = log_.Messages();
    EXPECT_GE(FindMessage(messages, kEndSession + "Terminate event signalled while waiting for uploads. Ending "
                                                  "without them."),
              0);
    EXPECT_EQ(-1, FindMessage(messages, "Uploads have completed"));
    Sleep(200);
    EXPECT_EQ(Messages{}, standIns_.EngineCalls()) << "the engine is not prepared";
}

} // namespace
