#include "bench/Measures.h"
#include "bench/ProcessUsage.h"
#include "bench/floor/FloorNames.h"

#include "devtools/common/ChildProcess.h"
#include "devtools/common/Files.h"
#include "devtools/common/ScopedRegistryKey.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"
#include "devtools/common/Text.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"
#include "platform/UniqueResource.h"
#include "window/WindowMessages.h"

#include <cstdio>
#include <cwchar>
#include <string>

using namespace HalyardDev;
using namespace Orvanta::Deskweave;

namespace HalyardBench {
namespace {

// Unix time in ns, the clock the storm's script reads too.
unsigned long long UnixNanoseconds()
{
    FILETIME now = {};
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ULL) * 100;
}

// Waits with 1 ms sleeps, never spinning: the storm's other members share the processor.
bool Await(DWORD timeoutMs, const std::function<bool()>& done)
{
    for (DWORD waited = 0; waited < timeoutMs; ++waited) {
        if (done()) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

} // namespace

int RunStormMember(int argc, wchar_t** argv)
{
    if (argc < 5) {
        return 2;
    }
    const bool floor = wcscmp(argv[2], L"floor") == 0;
    const std::wstring folder = argv[3];
    const std::wstring member = argv[4];
    // Each member is alone in its Wine prefix, as each user is in a session: the policy is its own.
    ScopedRegistryKey policy(HKEY_LOCAL_MACHINE, kPolicyKey);
    policy.SetString(kDiskVolumeValue, L"O:");
    const TempFolder temp;
    const TempPathOverride tempPath(temp.Path());
    const UniqueHandle terminate(
        CreateEventW(nullptr, TRUE, FALSE, floor ? kFloorTerminateEvent : kTerminateEventName));

    WriteFileBytes(folder + L"\\ready-" + member, "");
    if (!Await(120000,
               [&folder] { return GetFileAttributesW((folder + L"\\go").c_str()) != INVALID_FILE_ATTRIBUTES; })) {
        return 3;
    }
    // Any argument runs the agent; this one names the started process, so that its CPU time can be read.
    const std::wstring token = L"storm-member-" + UniqueSuffix();
    ChildProcess child;
    child.Start(L"\"" + BesideThisProgram(floor ? L"HalyardFloor.exe" : kAgentProgram) + L"\" " +
                (floor ? L"window " : L"") + token);
    const wchar_t* windowClass = floor ? kFloorWindowClass : kWindowClassName;
    if (!Await(120000, [windowClass] { return FindWindowW(windowClass, nullptr) != nullptr; })) {
        return 4;
    }
    const unsigned long long ready = UnixNanoseconds();
    // Read once idle, so that no member's reading competes with the others' start: the agent connects to
    // the engine at its first tick, 2 s after its window.
    Sleep(3000);
    const ProcessUsage usage = ReadProcessUsage(child.Handle(), Narrow(token));
    WriteFileBytes(folder + L"\\result-" + member, std::to_string(ready) + " " + std::to_string(usage.privateKb) + " " +
                                                       std::to_string(usage.cpuMs) + "\n");
    SetEvent(terminate.get());
    return child.WaitForExit(20000) == 0 ? 0 : 5;
}

} // namespace HalyardBench
