// Development stand-in of the client's companion programs (OrvantaSyncMonitor.exe, OrvantaSync.exe):
// records its own command line in children.log, its current folder (the agent's) in
// children-folders.log, and exits.
#include "devtools/common/StandInScript.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    HalyardDev::AppendRecord(HalyardDev::kChildrenRecord, GetCommandLineW());
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    HalyardDev::AppendRecord(HalyardDev::kChildrenFoldersRecord, folder);
    return 0;
}
