// The engine library loaded on first use from a full path: its absence and a missing entry point are
// the call's status, and a library that appears later (a client repaired) is loaded by the next call.
#include "session/SyncEngine.h"
#include "devtools/common/ChildProcess.h"
#include "devtools/common/TempFolder.h"
#include "platform/ObjectNames.h"

#include <gtest/gtest.h>

using namespace Orvanta::Deskweave;
using namespace HalyardDev;

namespace {

TEST(SyncEngine, AMissingLibraryOrEntryPointIsTheStatusOfEachCallUntilTheLibraryIsThere)
{
    const TempFolder folder;
    SyncEngine engine(folder / kEngineLibrary);
    EXPECT_EQ(static_cast<int>(0x8007007E), engine.OvInitializeIPC2(3, true));
    EXPECT_EQ(static_cast<int>(0x8007007E), engine.OvPrepareForLogoff());
    EXPECT_EQ(static_cast<int>(0x8007007E), engine.OvUninitialize());

    ASSERT_TRUE(CopyFileW(BesideThisProgram(kEngineLibrary).c_str(), (folder / kEngineLibrary).c_str(), FALSE));
    EXPECT_EQ(0, engine.OvInitializeIPC2(3, true)) << "the next call loads the library that is there now";

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    SyncEngine withoutEntryPoints(std::wstring(system) + L"\\kernel32.dll");
    EXPECT_EQ(static_cast<int>(0x8007007F), withoutEntryPoints.OvInitializeIPC2(3, true));
    EXPECT_EQ(static_cast<int>(0x8007007F), withoutEntryPoints.OvPrepareForLogoff());
}

} // namespace
