// The session handler's notification side, with real threads: SequenceID order, the signed counts,
// the end-of-session wait against completions, and the status notifications.
#include "session/SyncWindowHandler.h"
#include "tests/support/Background.h"
#include "tests/support/Child.h"
#include "tests/support/LogCapture.h"
#include "devtools/common/StandInFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

const std::string kTag = "Orvanta::Deskweave::SyncWindowHandler::OnPendingUploadStatus::";

// A window of this thread for the handler's OnCreate, as the agent's window would be: the handler then
// has its shutdown-block reason and its notifications post. Nothing dispatches the posted messages.
HWND TestWindow()
{
    static HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    return window;
}

std::unique_ptr<SyncWindowHandler> CreatedHandler()
{
    auto handler = std::make_unique<SyncWindowHandler>();
    LRESULT result = 1;
    handler->OnCreate(TestWindow(), 0, 0, &result);
    return handler;
}

void Notify(SyncWindowHandler& handler, const char* sequence, int done, int total)
{
    EXPECT_TRUE(handler.OnPendingUploadStatus(nullptr, sequence, {done, total}));
}

class PendingUploads : public testing::Test
{
protected:
    // Asks the handler as the platform would; true when the query found uploads pending.
    bool Pending(SyncWindowHandler& handler)
    {
        LRESULT result = 0;
        EXPECT_TRUE(handler.OnQueryEndSession(nullptr, 0, ENDSESSION_LOGOFF, &result));
        EXPECT_EQ(1, result) << "the session end is never refused";
        const std::vector<std::string> messages = log_.TakeMessages();
        return !messages.empty() && messages.back().find("Preparing to wait") != std::string::npos;
    }

    StandInFolder standIns_;
    LogCapture log_;
};

TEST_F(PendingUploads, SequenceIdsAreOrderedByUnsignedBytesAndAnIgnoredNotificationChangesNothing)
{
    struct Row {
        const char* last;
        const char* next;
        std::string verdict;
    };
    const Row rows[] = {
        {"9", "10", "IGNORE:Last SequenceID '9', new SequenceID '10'"},
        {"A", "AB", "UPDATE:Last SequenceID 'A', new SequenceID 'AB'"},
        {"AB", "A", "IGNORE:Last SequenceID 'AB', new SequenceID 'A'"},
        {"5", "5", "IGNORE:Last SequenceID '5', new SequenceID '5'"},
        {"\x7F", "\x80", "UPDATE:Last SequenceID '\x7F', new SequenceID '\x80'"},
        {"\x80", "\x7F", "IGNORE:Last SequenceID '\x80', new SequenceID '\x7F'"},
        {"", "x", "NEW:new SequenceID 'x'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("'") + row.last + "' then '" + row.next + "'");
        const auto handler = CreatedHandler();
        log_.TakeMessages();
        Notify(*handler, row.last, 0, 1);
        Notify(*handler, row.next, 1, 1);
        const std::vector<std::string> messages = log_.TakeMessages();
        ExpectInOrder(messages, {kTag + "NEW:new SequenceID '" + row.last + "'", kTag + row.verdict});
        // An ignored completion leaves the pending counts and the registered reason as they were.
        const bool ignored = row.verdict.rfind("IGNORE", 0) == 0;
        EXPECT_EQ(ignored ? 0 : 1, CountMessages(messages, "Posting destroy shutdown block reason."));
        EXPECT_EQ(ignored, Pending(*handler));
    }
}

TEST_F(PendingUploads, CountsAreComparedSignedAndReplacedNotSummedByTheNotificationAndTheQuery)
{
    struct Row {
        int done;
        int total;
        bool pending;
    };
    const Row rows[] = {{1, 100, true}, {0, 0, false}, {7, 5, false}, {-1, 0, true}, {3, -2, false}, {2, 3, true}};
    const auto handler = CreatedHandler();
    EXPECT_FALSE(Pending(*handler)) << "no notification yet reads as complete";
    char sequence[] = "a";
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.done) + " of " + std::to_string(row.total));
        Notify(*handler, sequence, row.done, row.total);
        ++sequence[0];
        const std::vector<std::string> messages = log_.TakeMessages();
        EXPECT_EQ(1, CountMessages(messages, "Posting "));
        EXPECT_GE(FindMessage(messages, kTag + (row.pending ? " Posting create shutdown block reason."
                                                            : " Posting destroy shutdown block reason.")),
                  0);
        EXPECT_EQ(row.pending, Pending(*handler));
    }
}

// The end of session, run in the background as the window thread would run it.
void EndSession(SyncWindowHandler& handler)
{
    LRESULT result = 1;
    handler.OnEndSession(nullptr, TRUE, ENDSESSION_LOGOFF, &result);
}

TEST_F(PendingUploads, OnlyACompletionAfterTheQueryEndsTheWaitAndTheNextLogoffDoesNotWait)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto handler = CreatedHandler();
        std::thread([&] {
            Notify(*handler, "1", 0, 2);
            Notify(*handler, "2", 2, 2); // signals the event...
            Notify(*handler, "3", 1, 2); // ...which a pending notification leaves signalled
        }).join();
        ASSERT_TRUE(Pending(*handler));
        {
            Background end([&] { EndSession(*handler); });
            EXPECT_FALSE(end.Finished(50)) << "the stale completion must not end the wait";
            std::thread([&] { Notify(*handler, "25", 2, 2); }).join();
            EXPECT_FALSE(end.Finished(50)) << "an ignored completion must not end the wait";
            std::thread([&] { Notify(*handler, "4", 2, 2); }).join();
            ASSERT_TRUE(end.Finished(10000));
        }
        // A second logoff in the same session finds nothing pending and does not wait.
        EXPECT_FALSE(Pending(*handler));
        EndSession(*handler);
        EXPECT_EQ(0, CountMessages(log_.TakeMessages(), "Waiting for uploads"));
    }
}

TEST_F(PendingUploads, ACompletionRacingTheQueryNeverLeavesTheEndOfSessionWaitingForever)
{
    for (int round = 0; round < 200; ++round) {
        SyncWindowHandler handler;
        Notify(handler, "1", 0, 1);
        std::atomic<bool> go{false};
        std::thread notifier([&] {
            while (!go) {
            }
            Notify(handler, "2", 1, 1);
        });
        go = true;
        LRESULT result = 0;
        handler.OnQueryEndSession(nullptr, 0, ENDSESSION_LOGOFF, &result);
        Background end([&] { EndSession(handler); });
        notifier.join();
        // Whichever came first, the query's reset and the completion's set did not interleave.
        ASSERT_TRUE(end.Finished(10000)) << "round " << round;
    }
}

// Notifications keep arriving while the window thread destroys the window: the destruction comes
// after a different number of them each round, so that over the rounds it meets every step of one.
// Each round's OnCreate launches the sync monitor, which this lonely copy has not beside it.
int NotifyWhileTheWindowGoes()
{
    for (int round = 0; round < 300; ++round) {
        const auto handler = CreatedHandler();
        std::atomic<int> delivered{0};
        std::thread notifier([&] {
            for (int i = 0; i < 20; ++i) {
                const std::string sequence = std::to_string(100 + i);
                handler->OnPendingUploadStatus(nullptr, sequence.c_str(), {i % 2, 1});
                ++delivered;
            }
        });
        while (delivered < round % 20) {
        }
        LRESULT result = 1;
        handler->OnDestroy(TestWindow(), 0, 0, &result);
        notifier.join();
    }
    return 0;
}
const ChildRoutine notifyWhileTheWindowGoes("notify-while-the-window-goes", NotifyWhileTheWindowGoes);

TEST(WindowDestruction, NotificationsCrossingTheWindowsDestructionNeverReachADeletedReason)
{
    const LonelyCopy copy;
    const ChildResult result = RunChild("notify-while-the-window-goes", {}, 60000, copy.Path());
    EXPECT_EQ(0u, result.exitCode) << "C0000005: a notification used the deleted shutdown-block reason; 259: "
                                      "still running after 60 s. "
                                   << result.output;
}

int LaunchWithoutTheApplication()
{
    LogCapture log;
    SyncWindowHandler handler;
    const bool logonFailed = handler.OnLogonFailedStatus(nullptr);
    const bool notEnabled = handler.OnSyncNotEnabledStatus(nullptr);
    for (const std::string& message : log.Messages()) {
        printf("%s\n", message.c_str());
    }
    return logonFailed || notEnabled ? 1 : 0;
}
const ChildRoutine launchWithoutTheApplication("launch-without-the-application", LaunchWithoutTheApplication);

TEST(StatusNotifications, EachLaunchesTheSyncApplicationWithItsSwitchEveryTimeAndReturnsFalse)
{
    StandInFolder standIns;
    {
        SyncWindowHandler handler;
        EXPECT_FALSE(handler.OnLogonFailedStatus(nullptr));
        EXPECT_FALSE(handler.OnLogonFailedStatus(nullptr)) << "no de-duplication";
        EXPECT_FALSE(handler.OnSyncNotEnabledStatus(nullptr));
    }
    std::vector<std::string> launched = standIns.WaitForRecords(kChildrenRecord, 3);
    std::sort(launched.begin(), launched.end());
    EXPECT_EQ((std::vector<std::string>{"\"OrvantaSync.exe\" /resetpassword", "\"OrvantaSync.exe\" /resetpassword",
                                        "\"OrvantaSync.exe\" /resetpassword_syncnotenabled"}),
              launched);

    // Where the application is missing, each launch fails with its code and the result is the same.
    const LonelyCopy copy;
    const ChildResult result = RunChild("launch-without-the-application", {}, 60000, copy.Path());
    EXPECT_EQ(0u, result.exitCode) << result.output;
    const std::string tag = "Orvanta::Deskweave::SyncWindowHandler::";
    for (const char* operation : {"OnLogonFailedStatus", "OnSyncNotEnabledStatus"}) {
        EXPECT_NE(std::string::npos, result.output.find(tag + operation + "::CreateProcess result = 00000002\r\n"))
            << result.output;
    }
}

} // namespace
