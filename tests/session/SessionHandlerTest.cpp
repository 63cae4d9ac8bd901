// The session handler's notification side, with real threads: SequenceID order, the signed counts,
// the race between the session-end query and a completion, and the status notifications.
#include "session/SyncWindowHandler.h"
#include "tests/support/LogReader.h"
#include "tests/support/TestFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

using namespace Orvanta::Deskweave;
using namespace HalyardTest;

namespace {

const std::string kTag = "Orvanta::Deskweave::SyncWindowHandler::OnPendingUploadStatus::";

class PendingUploads : public testing::Test
{
protected:
    void Notify(SyncWindowHandler& handler, const char* sequence, int done, int total)
    {
        EXPECT_TRUE(handler.OnPendingUploadStatus(nullptr, sequence, {done, total}));
    }
    // Asks the handler as the platform would; true when the query found uploads pending.
    bool QueryFindsPending(SyncWindowHandler& handler)
    {
        LRESULT result = 0;
        EXPECT_TRUE(handler.OnQueryEndSession(nullptr, 0, ENDSESSION_LOGOFF, &result));
        EXPECT_EQ(1, result) << "the session end is never refused";
        const std::vector<LogLine> lines = log_.TakeLines();
        return !lines.empty() && lines.back().message.find("Preparing to wait") != std::string::npos;
    }

    LogCapture log_;
};

TEST_F(PendingUploads, SequenceIdsAreOrderedByUnsignedBytesWithAProperPrefixFirst)
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
        {"\x7F", "\x80", "UPDATE:"},
        {"\x80", "\x7F", "IGNORE:"},
        {"", "x", "NEW:new SequenceID 'x'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("'") + row.last + "' then '" + row.next + "'");
        {
            SyncWindowHandler handler;
            Notify(handler, row.last, 0, 1);
            Notify(handler, row.next, 1, 1);
        }
        const std::vector<std::string> messages = log_.TakeMessages();
        EXPECT_GE(FindMessage(messages, kTag + "NEW:new SequenceID '" + row.last + "'"), 0);
        EXPECT_GE(FindMessage(messages, kTag + row.verdict), 0);
    }
}

TEST_F(PendingUploads, CountsAreComparedSignedAndReplacedNotSummed)
{
    struct Row {
        int done;
        int total;
        bool pending;
    };
    const Row rows[] = {{0, 0, false}, {7, 5, false}, {-1, 0, true}, {3, -2, false}, {2, 3, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.done) + " of " + std::to_string(row.total));
        SyncWindowHandler handler;
        Notify(handler, "1", 1, 100);
        Notify(handler, "2", row.done, row.total);
        EXPECT_EQ(row.pending, QueryFindsPending(handler));
    }
    SyncWindowHandler fresh;
    EXPECT_FALSE(QueryFindsPending(fresh)) << "no notification yet reads as complete";
}

// Runs the end of session on a thread of its own, as the window thread would, and reports when done.
std::future<void> EndSessionAsync(SyncWindowHandler& handler)
{
    return std::async(std::launch::async, [&handler] {
        LRESULT result = 1;
        handler.OnEndSession(nullptr, TRUE, ENDSESSION_LOGOFF, &result);
    });
}

TEST_F(PendingUploads, ACompletionFromBeforeTheQueryDoesNotReleaseTheWaitButALaterOneDoes)
{
    for (int round = 0; round < 10; ++round) {
        SyncWindowHandler handler;
        std::thread([&] {
            Notify(handler, "1", 0, 2);
            Notify(handler, "2", 2, 2); // signals the event...
            Notify(handler, "3", 1, 2); // ...which a pending notification leaves signalled
        }).join();
        ASSERT_TRUE(QueryFindsPending(handler));

        std::future<void> end = EndSessionAsync(handler);
        EXPECT_EQ(std::future_status::timeout, end.wait_for(std::chrono::milliseconds(50)))
            << "round " << round << ": the stale completion must not end the wait";
        std::thread([&] { Notify(handler, "4", 2, 2); }).join();
        ASSERT_EQ(std::future_status::ready, end.wait_for(std::chrono::seconds(10))) << "round " << round;
    }
}

TEST_F(PendingUploads, CompletionRacingTheQueryNeverLeavesTheEndOfSessionWaitingForever)
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
        std::future<void> end = EndSessionAsync(handler);
        notifier.join();
        // Whichever came first, the query's reset and the completion's set did not interleave.
        ASSERT_EQ(std::future_status::ready, end.wait_for(std::chrono::seconds(10))) << "round " << round;
    }
}

TEST(StatusNotifications, EachLaunchesTheSyncApplicationWithItsSwitchAndReturnsFalse)
{
    StandInRecords records;
    {
        SyncWindowHandler handler;
        EXPECT_FALSE(handler.OnLogonFailedStatus(nullptr));
        EXPECT_FALSE(handler.OnLogonFailedStatus(nullptr)) << "no de-duplication";
        EXPECT_FALSE(handler.OnSyncNotEnabledStatus(nullptr));
    }
    std::vector<std::string> launched = records.WaitForLines(L"children.log", 3);
    std::sort(launched.begin(), launched.end());
    EXPECT_EQ((std::vector<std::string>{"\"OrvantaSync.exe\" /resetpassword", "\"OrvantaSync.exe\" /resetpassword",
                                        "\"OrvantaSync.exe\" /resetpassword_syncnotenabled"}),
              launched);
}

} // namespace
