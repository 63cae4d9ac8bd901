// A library of the engine's name left by a client half installed or half removed: none of the entry
// points, and a DllMain that starts a thread running the library's code, as many libraries do.
#include <windows.h>

namespace {

DWORD WINAPI Work(void*)
{
    for (;;) {
        Sleep(1);
    }
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // Runs once the loader lock is released: by then the agent has looked for its entry points.
        CloseHandle(CreateThread(nullptr, 0, Work, nullptr, 0, nullptr));
    }
    return TRUE;
}
