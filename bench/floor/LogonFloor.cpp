// HalyardLogonFloor: the least a logon start can do. It imports kernel32 alone, runs without the
// language runtime (its entry point is the image's), and makes the one call of the logon start:
// CreateProcessW of "Halyard.exe" /run beside itself, without waiting for it.
#include <windows.h>

extern "C" void WINAPI LogonFloorEntry()
{
    wchar_t commandLine[] = L"\"Halyard.exe\" /run";
    STARTUPINFOW startup;
    RtlSecureZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    RtlSecureZeroMemory(&info, sizeof(info));
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    ExitProcess(0);
}
