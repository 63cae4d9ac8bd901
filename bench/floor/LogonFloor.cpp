// HalyardLogonFloor: the least a logon start can do. It imports kernel32 alone, runs without the
// language runtime (its entry point is the image's), and makes the one call of the logon start:
// CreateProcessW of "Halyard.exe" /run beside itself, without waiting for it.
#include "platform/ObjectNames.h"

#include <windows.h>

extern "C" void WINAPI LogonFloorEntry()
{
    // Composed by hand: without the runtime there is no string function to call.
    wchar_t commandLine[64];
    size_t length = 0;
    commandLine[length++] = L'"';
    for (const wchar_t* c = Orvanta::Deskweave::kAgentProgram; *c != L'\0'; ++c) {
        commandLine[length++] = *c;
    }
    for (const wchar_t* c = L"\" /run"; *c != L'\0'; ++c) {
        commandLine[length++] = *c;
    }
    commandLine[length] = L'\0';
    STARTUPINFOW startup;
    RtlSecureZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    RtlSecureZeroMemory(&info, sizeof(info));
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    ExitProcess(0);
}
