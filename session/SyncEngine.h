#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace Orvanta::Deskweave {

// The closed sync engine, libOVSyncEngine.dll. It is loaded on first use, by full path, from the
// agent's own folder, so that the agent starts (and the logon start returns) without it, and no
// library of that name in the current directory or on PATH is ever loaded. Statuses are signed:
// negative means failure. A library that cannot be loaded makes the call fail with
// HRESULT_FROM_WIN32 of the error (8007007E, 800700C1) and the next call tries again. Once loaded, the
// library stays until the process ends, as an imported one would: its DllMain may have started
// threads, and the engine may leave threads and timers running after OvUninitialize, all running its
// code. A loaded library without an entry point fails that call with 8007007F, every time.
// Window thread only.
class SyncEngine
{
public:
    SyncEngine();
    // For a library elsewhere than beside the running executable.
    explicit SyncEngine(std::wstring libraryPath);

    SyncEngine(const SyncEngine&) = delete;
    SyncEngine& operator=(const SyncEngine&) = delete;
    ~SyncEngine() = default;

    int OvInitializeIPC2(int version, bool flag);
    int OvPrepareForLogoff();
    int OvUninitialize();

    // What an administrator can do about a failed status: the loading's own statuses are explained,
    // any other is the engine's.
    static std::wstring StatusMeaning(int status);

    // The engine call that the window thread is inside now ("OvInitializeIPC2", or the loading of the
    // library), and since when (GetTickCount64); null when none is. Any thread may ask: the one that
    // ends a process whose engine call never returns, and the report of a fault.
    static const wchar_t* CallInProgress(ULONGLONG& sinceTick);

private:
    class CallRecord;
    // The entry point, or null with the failure's status in `status`.
    FARPROC EntryPoint(const char* name, int& status);

    std::wstring libraryPath_;
    DWORD pathError_ = 0;
    // Never freed, deliberately.
    HMODULE library_ = nullptr;

    static std::atomic<const wchar_t*> callInProgress_;
    static std::atomic<ULONGLONG> callSince_;
};

} // namespace Orvanta::Deskweave
