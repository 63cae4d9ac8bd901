// Development stand-in of libOVSyncEngine.dll. Script (HALYARD_STANDIN_DIR\engine.ini, section
// [engine]): InitializeFailures = how many OvInitializeIPC2 calls fail first, InitializeFailureStatus =
// their status, PrepareForLogoffStatus = the status of OvPrepareForLogoff; as a real engine may,
// ThreadTimer=1 sets a thread timer with a procedure on the first successful OvInitializeIPC2,
// WindowTimer=1 creates a hidden window of the library's own there and sets a timer with a procedure on
// it (as a library that talks to its service through a window does), and LingeringThread=1 starts a
// thread there that keeps running the library's code after OvUninitialize, and LoadLibrary=<name> loads a
// library by that bare name there, as an engine that finds its parts through the search path does.
// Every call is recorded in engine-calls.log and written to the debugger output, so tests can order it
// among the agent's lines.
#include "devtools/common/StandInScript.h"

#include <atomic>
#include <cwchar>
#include <string>

namespace {

std::atomic<int> g_initializeCalls{0};
std::atomic<bool> g_uninitialized{false};
DWORD g_initializingThread = 0;

void Record(const wchar_t* call, int status)
{
    wchar_t line[160] = {};
    _snwprintf_s(line, _countof(line), _TRUNCATE, L"%lu %s %08X", GetCurrentProcessId(), call,
                 static_cast<unsigned>(status));
    HalyardDev::AppendRecord(HalyardDev::kEngineCallsRecord, line);
    wchar_t debug[200] = {};
    _snwprintf_s(debug, _countof(debug), _TRUNCATE, L"libOVSyncEngine stand-in: %s = %08X\n", call,
                 static_cast<unsigned>(status));
    OutputDebugStringW(debug);
}

void RecordTimer(const wchar_t* kind)
{
    const std::wstring call =
        std::wstring(kind) +
        (GetCurrentThreadId() == g_initializingThread ? L"(on the initializing thread)" : L"(on another thread)");
    Record(call.c_str(), 0);
}

void CALLBACK KeepAlive(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    RecordTimer(L"ThreadTimer");
}

void CALLBACK Poll(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    RecordTimer(L"WindowTimer");
}

// Spins once the engine is released, so that the library's code is running whenever it could be
// unloaded under it.
DWORD WINAPI Linger(void*)
{
    while (!g_uninitialized.load()) {
        Sleep(10);
    }
    for (;;) {
        YieldProcessor();
    }
}

void StartOwnWork()
{
    g_initializingThread = GetCurrentThreadId();
    if (HalyardDev::ReadScriptInt(L"ThreadTimer", 0) != 0) {
        SetTimer(nullptr, 0, 100, KeepAlive);
    }
    if (HalyardDev::ReadScriptInt(L"WindowTimer", 0) != 0) {
        // Message-only, as a library's private channel usually is; it lives as long as the thread.
        HWND own = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetTimer(own, 1, 100, Poll);
    }
    const std::wstring library = HalyardDev::ReadScriptText(L"LoadLibrary");
    if (!library.empty()) {
        LoadLibraryW(library.c_str());
    }
    if (HalyardDev::ReadScriptInt(L"LingeringThread", 0) != 0) {
        CloseHandle(CreateThread(nullptr, 0, Linger, nullptr, 0, nullptr));
    }
}

} // namespace

extern "C" __declspec(dllexport) int OvInitializeIPC2(int version, bool flag)
{
    const int call = ++g_initializeCalls;
    const int failures = HalyardDev::ReadScriptInt(L"InitializeFailures", 0);
    const int status =
        call <= failures ? HalyardDev::ReadScriptInt(L"InitializeFailureStatus", static_cast<int>(0x80070015u)) : 0;
    wchar_t callText[64] = {};
    _snwprintf_s(callText, _countof(callText), _TRUNCATE, L"OvInitializeIPC2(%d,%s)", version,
                 flag ? L"true" : L"false");
    Record(callText, status);
    if (status >= 0 && call == failures + 1) {
        StartOwnWork();
    }
    return status;
}

extern "C" __declspec(dllexport) int OvPrepareForLogoff()
{
    const int status = HalyardDev::ReadScriptInt(L"PrepareForLogoffStatus", 0);
    Record(L"OvPrepareForLogoff()", status);
    return status;
}

extern "C" __declspec(dllexport) int OvUninitialize()
{
    Record(L"OvUninitialize()", 0);
    g_uninitialized.store(true);
    return 0;
}
