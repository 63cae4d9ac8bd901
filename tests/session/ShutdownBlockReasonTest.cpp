// The shutdown-block reason as the platform records it. Wine's ShutdownBlockReasonCreate and
// ShutdownBlockReasonDestroy are stubs that report each call, with its text, on the "fixme" channel;
// on Windows the reason would be read back with ShutdownBlockReasonQuery instead. This binary holds
// the agent's string resources.
#include "agent/resource.h"
#include "session/ShutdownBlockReason.h"
#include "tests/support/Child.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/sessionhost/SessionHost.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace Orvanta::Deskweave;
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
    {
        ShutdownBlockReason reason(window, L"reason text", 999);
        reason.Create();
        reason.Destroy();
    }
    {
        ShutdownBlockReason reason(window, L"", 999);
        reason.Create();
    }
    // The handler's own: registered and withdrawn through its window thread, as notifications ask.
    HalyardDev::SessionHost host;
    const struct {
        const char* sequence;
        PendingUploadCounts counts;
    } notifications[] = {{"1", {0, 2}}, {"2", {2, 2}}, {"3", {1, 3}}};
    for (const auto& notification : notifications) {
        std::thread([&] {
            host.Notifications().OnPendingUploadStatus(nullptr, notification.sequence, notification.counts);
        }).join();
    }
    host.Close();
    return 0;
}
const ChildRoutine registerAndWithdraw("register-and-withdraw-reasons", RegisterAndWithdrawReasons);

// "Create <text>" and "Destroy", in the order the platform saw them.
std::vector<std::string> PlatformRecord(const std::string& output)
{
    static const std::regex call(R"re(ShutdownBlockReason(Create|Destroy) \([0-9A-Fa-f]+(?:, L"(.*)")?\): stub)re");
    std::vector<std::string> calls;
    for (std::sregex_iterator it(output.begin(), output.end(), call), end; it != end; ++it) {
        calls.push_back((*it)[1].str() == "Create" ? "Create " + (*it)[2].str() : "Destroy");
    }
    return calls;
}

TEST(ShutdownBlockReason, IsRegisteredOnceWithResource101OrItsFallbackAndOnlyFromPlatformVersion6)
{
    const std::string resource = "Create File operations in progress. Force log off might lose data!";
    const std::vector<std::string> fromVersion6 = {
        resource, "Destroy", resource, "Destroy",                 // created once, withdrawn once, created again
        "Create reason text", "Destroy", "Create Pending Operation...", "Destroy", // the fallback texts
        resource, "Destroy", resource, "Destroy",                 // the handler: pending, done, pending, window gone
    };
    // Wine reports the platform version configured for a program's name: Windows XP is version 5.1.
    const std::wstring name = L"halyard-xp-" + UniqueSuffix() + L".exe";
    HalyardDev::ScopedRegistryKey windowsXp(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + name);
    windowsXp.SetString(L"Version", L"winxp");
    const LonelyCopy beforeVersion6(name);

    const ChildResult current = RunChildRecordingWine("register-and-withdraw-reasons", "-all,fixme+graphics");
    ASSERT_EQ(0u, current.exitCode) << current.output;
    EXPECT_EQ(fromVersion6, PlatformRecord(current.output)) << current.output;

    const ChildResult old =
        RunChildRecordingWine("register-and-withdraw-reasons", "-all,fixme+graphics", beforeVersion6.Path());
    ASSERT_EQ(0u, old.exitCode) << old.output;
    EXPECT_EQ(std::vector<std::string>{}, PlatformRecord(old.output)) << "nothing before version 6: " << old.output;
}

} // namespace
