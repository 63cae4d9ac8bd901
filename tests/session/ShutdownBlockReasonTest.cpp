// The shutdown-block reason as the platform records it. Wine's ShutdownBlockReasonCreate and
// ShutdownBlockReasonDestroy are stubs that report each call, its thread and its text on the "fixme"
// channel; on Windows the reason would be read back with ShutdownBlockReasonQuery instead. This binary
// holds the agent's string resources.
#include "tests/support/TestSupport.h"
#include "agent/resource.h"
#include "session/ShutdownBlockReason.h"
#include "devtools/sessionhost/SessionHost.h"

#include <regex>

using namespace HalyardTest;

namespace {

int RegisterAndWithdrawReasons()
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    {
        ShutdownBlockReason reason(window, L"reason text", IDS_SHUTDOWN_BLOCK_REASON);
        reason.Create();
        reason.Create();
        reason.Destroy();
        reason.Destroy();
        reason.Create();
    }
    ShutdownBlockReason(window, L"reason text", 999).Create(); // the destructor withdraws it
    ShutdownBlockReason(window, L"", 999).Create();
    // The handler's own: registered and withdrawn on its window thread, as notifications ask.
    HalyardDev::SessionHost host;
    printf("window thread %04lx\n", host.WindowThreadId());
    fflush(stdout);
    const std::pair<const char*, PendingUploadCounts> notifications[] = {{"1", {0, 2}}, {"2", {2, 2}}, {"3", {1, 3}}};
    for (const auto& notification : notifications) {
        std::thread([&] {
            host.Notifications().OnPendingUploadStatus(nullptr, notification.first, notification.second);
        }).join();
    }
    host.Close();
    return 0;
}
const ChildRoutine registerAndWithdraw("register-and-withdraw-reasons", RegisterAndWithdrawReasons);

// "Create <text>" and "Destroy" in the order the platform saw them, each with its thread.
std::vector<std::pair<std::string, std::string>> PlatformRecord(const std::string& output)
{
    static const std::regex call(
        R"re(([0-9a-f]{4}):fixme:graphics:ShutdownBlockReason(Create|Destroy) \([0-9A-Fa-f]+(?:, L"(.*)")?\): stub)re");
    std::vector<std::pair<std::string, std::string>> calls;
    for (std::sregex_iterator it(output.begin(), output.end(), call), end; it != end; ++it) {
        calls.push_back({(*it)[2].str() == "Create" ? "Create " + (*it)[3].str() : "Destroy", (*it)[1].str()});
    }
    return calls;
}

// Label: wine
TEST(ShutdownBlockReason, IsRegisteredOnceWithResource101OrItsFallbackOnTheWindowThreadFromPlatformVersion6)
{
    const std::string resource = "Create File operations in progress. Force log off might lose data!";
    const std::vector<std::string> fromVersion6 = {
        resource,
        "Destroy",
        resource,
        "Destroy", // once, withdrawn once, again
        "Create reason text",
        "Destroy",
        "Create Pending Operation...",
        "Destroy", // the fallback texts
        resource,
        "Destroy",
        resource,
        "Destroy", // the handler: pending, done, pending, window gone
    };
    const ChildResult current = RunChildRecordingWine("register-and-withdraw-reasons", "-all,fixme+graphics");
    ASSERT_EQ(0u, current.exitCode) << current.output;
    const auto record = PlatformRecord(current.output);
    std::vector<std::string> calls;
    for (const auto& call : record) {
        calls.push_back(call.first);
    }
    EXPECT_EQ(fromVersion6, calls) << current.output;
    std::smatch window;
    ASSERT_TRUE(std::regex_search(current.output, window, std::regex("window thread ([0-9a-f]{4})")));
    for (size_t i = 8; i < record.size(); ++i) {
        EXPECT_EQ(window[1].str(), record[i].second) << "the handler's call " << i << " is not on the window thread";
    }

    // Wine reports the platform version configured for a program's name: Windows XP is version 5.1.
    const std::wstring name = L"halyard-xp-" + UniqueSuffix() + L".exe";
    HalyardDev::ScopedRegistryKey windowsXp(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + name);
    windowsXp.SetString(L"Version", L"winxp");
    const LonelyCopy beforeVersion6(name);
    const ChildResult old =
        RunChildRecordingWine("register-and-withdraw-reasons", "-all,fixme+graphics", beforeVersion6.Path());
    ASSERT_EQ(0u, old.exitCode) << old.output;
    EXPECT_TRUE(PlatformRecord(old.output).empty()) << "nothing before version 6: " << old.output;
}

} // namespace
