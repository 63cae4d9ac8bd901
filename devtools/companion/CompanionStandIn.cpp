// Development stand-in of the client's companion programs (OrvantaSyncMonitor.exe, OrvantaSync.exe):
// records its own command line in children.log and exits.
#include "devtools/common/StandInScript.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    HalyardDev::AppendRecord(HalyardDev::kChildrenRecord, GetCommandLineW());
    return 0;
}
