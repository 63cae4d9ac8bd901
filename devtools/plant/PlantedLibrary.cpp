// A library planted beside a program under the name of a system library that the program uses
// (USERENV.dll, WTSAPI32.dll, VERSION.dll), as a user who may write that folder would plant one: when it
// is loaded, it appends its own name to the file that HALYARD_PLANT_MARKER names. It exports nothing,
// so that a program importing from it statically would fail to start on Windows; Wine starts it with
// stubs, and the marker shows that it was loaded.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t marker[MAX_PATH] = {};
    wchar_t name[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"HALYARD_PLANT_MARKER", marker, MAX_PATH) - 1 < MAX_PATH - 1 &&
        GetModuleFileNameW(instance, name, MAX_PATH) != 0) {
        const HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, name, static_cast<DWORD>(wcslen(name) * sizeof(wchar_t)), &written, nullptr);
            CloseHandle(file);
        }
    }
    return TRUE;
}
