// The session handler's notification side, with real threads: SequenceID order, the signed counts,
// the end-of-session wait against completions, and the status notifications.
#include "tests/support/TestSupport.h"
#include "session/SyncWindowHandler.h"

#include <algorithm>
#include <atomic>
#include <memory>

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
    std::thread([&] { EXPECT_TRUE(handler.OnPendingUploadStatus(nullptr, sequence, {done, total})); }).join();
}

// The end of session, as the window thread would run it.
void EndSession(SyncWindowHandler& handler)
{
    LRESULT result = 1;
    handler.OnEndSession(nullptr, TRUE, ENDSESSION_LOGOFF, &result);
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
        const Messages messages = log_.TakeMessages();
        return !messages.empty() && messages.back().find("Preparing to wait") != std::string::npos;
    }

    StandInFolder standIns_;
    LogCapture log_;
};

TEST_F(PendingUploads, SequenceIdsAreOrderedByUnsignedBytesAndAnIgnoredNotificationChangesNothing)
{
    const struct {
        const char* last;
        const char* next;
        std::string verdict;
    } rows[] = {{"9", "10", "IGNORE"},      {"A", "AB", "UPDATE"},      {"AB", "A", "IGNORE"}, {"5", "5", "IGNORE"},
                {"\x7F", "\x80", "UPDATE"}, {"\x80", "\x7F", "IGNORE"}, {"", "x", "NEW"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("'") + row.last + "' then '" + row.next + "'");
        const auto handler = CreatedHandler();
        log_.TakeMessages();
        Notify(*handler, row.last, 0, 1);
        Notify(*handler, row.next, 1, 1);
        const Messages messages = log_.TakeMessages();
        const std::string verdict = row.verdict == "NEW" ? "NEW:new SequenceID '" + std::string(row.next) + "'"
                                                         : row.verdict + ":Last SequenceID '" + row.last +
                                                               "', new SequenceID '" + row.next + "'";
        ExpectInOrder(messages, {kTag + "NEW:new SequenceID '" + row.last + "'", kTag + verdict});
        // An ignored completion leaves the pending counts and the registered reason as they were.
        const bool ignored = row.verdict == "IGNORE";
        EXPECT_EQ(ignored ? 0 : 1, CountMessages(messages, "Posting destroy shutdown block reason."));
        EXPECT_EQ(ignored, Pending(*handler));
    }
}

TEST_F(PendingUploads, CountsAreComparedSignedAndReplacedNotSummedByTheNotificationAndTheQuery)
{
    const struct {
        int done;
        int total;
        bool pending;
    } rows[] = {{1, 100, true}, {0, 0, false}, {7, 5, false}, {-1, 0, true}, {3, -2, false}, {2, 3, true}};
    const auto handler = CreatedHandler();
    EXPECT_FALSE(Pending(*handler)) << "no notification yet reads as complete";
    char sequence[] = "a";
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.done) + " of " + std::to_string(row.total));
        Notify(*handler, sequence, row.done, row.total);
        ++sequence[0];
        const Messages messages = log_.TakeMessages();
        EXPECT_EQ(1, CountMessages(messages, "Posting "));
        EXPECT_EQ(1, CountMessages(messages, kTag + (row.pending ? " Posting create" : " Posting destroy")));
        EXPECT_EQ(row.pending, Pending(*handler));
    }
}

TEST_F(PendingUploads, OnlyACompletionAfterTheQueryEndsTheWaitAndTheNextLogoffDoesNotWait)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto handler = CreatedHandler();
        Notify(*handler, "1", 0, 2);
        Notify(*handler, "2", 2, 2); // signals the event...
        Notify(*handler, "3", 1, 2); // ...which a pending notification leaves signalled
        ASSERT_TRUE(Pending(*handler));
        {
            Background end([&] { EndSession(*handler); });
            EXPECT_FALSE(end.Finished(50)) << "the stale completion must not end the wait";
            Notify(*handler, "25", 2, 2);
            EXPECT_FALSE(end.Finished(50)) << "an ignored completion must not end the wait";
            Notify(*handler, "4", 2, 2);
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
            handler.OnPendingUploadStatus(nullptr, "2", {1, 1});
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
// Run in a lonely copy, whose launches of the sync monitor (one per round) fail at once.
int NotifyWhileTheWindowGoes()
{
    for (int round = 0; round < 300; ++round) {
        const auto handler = CreatedHandler();
        std::atomic<int> delivered{0};
        std::thread notifier([&] {
            for (int i = 0; i < 20; ++i, ++delivered) {
                handler->OnPendingUploadStatus(nullptr, std::to_string(100 + i).c_str(), {i % 2, 1});
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
    const ChildResult result = RunChild("notify-while-the-window-goes", {}, 60000, LonelyCopy().Path());
    EXPECT_EQ(0u, result.exitCode) << std::hex << "C0000005: a notification used the deleted shutdown-block "
                                   << "reason; 259: still running after 60 s. " << result.output;
}

int LaunchWithoutTheApplication()
{
    LogCapture log;
    SyncWindowHandler handler;
    const bool results = handler.OnLogonFailedStatus(nullptr) || handler.OnSyncNotEnabledStatus(nullptr);
    for (const std::string& message : log.Messages()) {
        printf("%s\n", message.c_str());
    }
    return results ? 1 : 0;
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
    Messages launched = standIns.WaitForRecords(kChildrenRecord, 3);
    std::sort(launched.begin(), launched.end());
    EXPECT_EQ((Messages{"\"OrvantaSync.exe\" /resetpassword", "\"OrvantaSync.exe\" /resetpassword",
                        "\"OrvantaSync.exe\" /resetpassword_syncnotenabled"}),
              launched);
    // Where the application is missing, each launch fails with its code and the result is the same.
    const ChildResult result = RunChild("launch-without-the-application", {}, 60000, LonelyCopy().Path());
    EXPECT_EQ(0u, result.exitCode) << result.output;
    for (const char* operation : {"OnLogonFailedStatus", "OnSyncNotEnabledStatus"}) {
        EXPECT_NE(std::string::npos, result.output.find("Orvanta::Deskweave::SyncWindowHandler::" +
                                                        std::string(operation) + "::CreateProcess result = 00000002"))
            << result.output;
    }
}

} // namespace
