// The session handler behind a real window on its own thread, notified from other threads as the
// engine would (the development session host). One window per process: each case runs alone.
#include "devtools/sessionhost/SessionHost.h"
#include "tests/support/AgentRun.h"
#include "tests/support/LogReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

using namespace HalyardTest;

namespace {

const std::string kHandler = "Orvanta::Deskweave::SyncWindowHandler::";

const LogLine* Find(const std::vector<LogLine>& lines, const std::string& needle)
{
    for (const LogLine& line : lines) {
        if (line.message.find(needle) != std::string::npos) {
            return &line;
        }
    }
    return nullptr;
}

class SessionWindow : public testing::Test
{
protected:
    void Notify(HalyardDev::SessionHost& host, const char* sequence, int done, int total)
    {
        std::thread([&] { host.Notifications().OnPendingUploadStatus(nullptr, sequence, {done, total}); }).join();
    }

    LogCapture log_;
};

TEST_F(SessionWindow, ShutdownReasonIsRegisteredAndWithdrawnOnTheWindowThreadOnly)
{
    HalyardDev::SessionHost host;
    ASSERT_EQ(0u, host.CreateResult());
    Notify(host, "1", 0, 2);
    Notify(host, "2", 1, 2);
    Notify(host, "3", 2, 2);
    host.Close();

    const std::vector<LogLine> lines = log_.Lines();
    const LogLine* posted = Find(lines, "OnPendingUploadStatus:: Posting create shutdown block reason.");
    const LogLine* created = Find(lines, "OnCreateShutdownReason:: Creating shutdown block reason.");
    const LogLine* destroyed = Find(lines, "OnDestroyShutdownReason:: Destroying shutdown block reason.");
    ASSERT_TRUE(posted && created && destroyed);
    EXPECT_NE(host.WindowThreadId(), posted->threadId) << "the notification only posts";
    EXPECT_EQ(host.WindowThreadId(), created->threadId);
    EXPECT_EQ(host.WindowThreadId(), destroyed->threadId);

    int creates = 0;
    int destroys = 0;
    for (const LogLine& line : lines) {
        creates += line.message.find("WM_CREATESHUTDOWNREASON received") != std::string::npos ? 1 : 0;
        destroys += line.message.find("WM_DESTROYSHUTDOWNREASON received") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(2, creates) << "each pending notification posts";
    EXPECT_EQ(1, destroys);
}

TEST_F(SessionWindow, EndOfSessionWaitsForUploadsThenRevertsPermissionsThenPreparesTheEngine)
{
    TestRegistryKey policy(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Veltane\\Orvanta\\Groupmere");
    policy.SetDword(L"AdjustPermissionsOnLogoff", 1);
    TestRegistryKey folders(HKEY_CURRENT_USER, L"SOFTWARE\\Veltane\\Orvanta\\Sync");
    TempFolder temp;
    CreateDirectoryW((temp / L"Sync").c_str(), nullptr);
    folders.SetString(L"SyncRootLocation", temp / L"Sync");
    StandInRecords records;

    HalyardDev::SessionHost host;
    ASSERT_EQ(0u, host.CreateResult());
    Notify(host, "1", 0, 1);
    EXPECT_EQ(1, SendMessageW(host.WindowHandle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    std::future<LRESULT> end = std::async(std::launch::async, [&host] {
        return SendMessageW(host.WindowHandle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    });
    EXPECT_EQ(std::future_status::timeout, end.wait_for(std::chrono::milliseconds(200))) << "waits for the upload";
    for (const std::string& call : records.WaitForLines(L"engine-calls.log", 0)) {
        EXPECT_EQ(std::string::npos, call.find("OvPrepareForLogoff")) << "not before the uploads completed";
    }
    Notify(host, "2", 1, 1);
    ASSERT_EQ(std::future_status::ready, end.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(0, end.get());
    host.Close();

    const std::vector<std::string> messages = log_.Messages();
    const int released = FindMessage(messages, kHandler + "OnEndSession:: Uploads have completed.");
    const int reverted = FindMessage(messages, "InheritPermissionsFromSrcFolder: destination folder: " +
                                                   Narrow(temp / L"Sync"));
    ASSERT_GE(released, 0);
    EXPECT_GT(reverted, released);
    const std::vector<std::string> calls = records.WaitForLines(L"engine-calls.log", 1);
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const std::string& call) {
        return call.find("OvPrepareForLogoff() 00000000") != std::string::npos;
    }));
}

} // namespace
