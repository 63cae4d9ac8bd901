// A hostile engine, planted under the engine's name: the same three entry points, each of which, as the
// script (HALYARD_STANDIN_DIR\engine.ini, section [engine]) says, never returns (HangIn=<entry point>)
// or faults with an access violation (FaultIn=<entry point>); otherwise it accepts. Each call is
// recorded in engine-calls.log, as "<process> <entry point> returns|hangs|faults", before it acts, and
// counted there.
#include "devtools/common/StandInScript.h"

#include <string>

namespace {

int Act(const wchar_t* entry)
{
    const bool hangs = HalyardDev::ReadScriptText(L"HangIn") == entry;
    const bool faults = HalyardDev::ReadScriptText(L"FaultIn") == entry;
    HalyardDev::AppendRecord(HalyardDev::kEngineCallsRecord, std::to_wstring(GetCurrentProcessId()) + L" " + entry +
                                                                 (hangs    ? L" hangs"
                                                                  : faults ? L" faults"
                                                                           : L" returns"));
    if (hangs) {
        for (;;) {
            Sleep(INFINITE);
        }
    }
    if (faults) {
        // A write through an address no library owns, as a damaged engine makes one.
        volatile ULONG_PTR nowhere = 0x10;
        *reinterpret_cast<volatile int*>(nowhere) = 1;
    }
    return 0;
}

} // namespace

extern "C" __declspec(dllexport) int OvInitializeIPC2(int, bool)
{
    return Act(L"OvInitializeIPC2");
}

extern "C" __declspec(dllexport) int OvPrepareForLogoff()
{
    return Act(L"OvPrepareForLogoff");
}

extern "C" __declspec(dllexport) int OvUninitialize()
{
    return Act(L"OvUninitialize");
}
