#include "session/SyncEngine.h"

#include "platform/ObjectNames.h"
#include "platform/ProgramFolder.h"

#include <new>
#include <utility>

namespace Orvanta::Deskweave {

std::atomic<const wchar_t*> SyncEngine::callInProgress_{nullptr};
std::atomic<ULONGLONG> SyncEngine::callSince_{0};

// Names the call for its duration; calls are made by the window thread alone, one at a time.
class SyncEngine::CallRecord
{
public:
    explicit CallRecord(const wchar_t* call)
    {
        callSince_.store(GetTickCount64());
        callInProgress_.store(call);
    }
    ~CallRecord() { callInProgress_.store(nullptr); }
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;
};

namespace {

int StatusOf(DWORD error)
{
    return HRESULT_FROM_WIN32(error);
}

// Function pointers convert to one another through the generic function type only.
template <typename Function>
Function As(FARPROC entry)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}

} // namespace

SyncEngine::SyncEngine()
{
    std::wstring folder;
    pathError_ = GetProgramFolder(folder);
    if (pathError_ == 0) {
        try {
            libraryPath_ = folder + L"\\" + kEngineLibrary;
        } catch (const std::bad_alloc&) {
            pathError_ = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
}

SyncEngine::SyncEngine(std::wstring libraryPath) : libraryPath_(std::move(libraryPath)) {}

FARPROC SyncEngine::EntryPoint(const char* name, int& status)
{
    if (pathError_ != 0) {
        status = StatusOf(pathError_);
        return nullptr;
    }
    if (library_ == nullptr) {
        // No error box for a damaged or half-installed library: the agent runs hidden, at every logon.
        DWORD oldMode = 0;
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
        // The engine's own dependencies are looked for in its folder first, then in the process's
        // default folders (never the current one); where the system cannot search so (Windows 7 without
        // KB2533623, which refuses the flags), as the altered search path does. Its DllMain runs inside,
        // and may never return.
        DWORD error = 0;
        {
            const CallRecord loading(L"the loading of libOVSyncEngine.dll (its DllMain)");
            library_ = LoadLibraryExW(libraryPath_.c_str(), nullptr,
                                      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
            error = GetLastError();
            if (library_ == nullptr && error == ERROR_INVALID_PARAMETER) {
                library_ = LoadLibraryExW(libraryPath_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
                error = GetLastError();
            }
        }
        SetThreadErrorMode(oldMode, nullptr);
        if (library_ == nullptr) {
            status = StatusOf(error);
            return nullptr;
        }
    }
    FARPROC entry = GetProcAddress(library_, name);
    if (entry == nullptr) {
        status = StatusOf(GetLastError());
        return nullptr;
    }
    return entry;
}

int SyncEngine::OvInitializeIPC2(int version, bool flag)
{
    int status = 0;
    FARPROC entry = EntryPoint("OvInitializeIPC2", status);
    if (entry == nullptr) {
        return status;
    }
    const CallRecord call(L"OvInitializeIPC2");
    return As<int (*)(int, bool)>(entry)(version, flag);
}

int SyncEngine::OvPrepareForLogoff()
{
    int status = 0;
    FARPROC entry = EntryPoint("OvPrepareForLogoff", status);
    if (entry == nullptr) {
        return status;
    }
    const CallRecord call(L"OvPrepareForLogoff");
    return As<int (*)()>(entry)();
}

int SyncEngine::OvUninitialize()
{
    int status = 0;
    FARPROC entry = EntryPoint("OvUninitialize", status);
    if (entry == nullptr) {
        return status;
    }
    const CallRecord call(L"OvUninitialize");
    return As<int (*)()>(entry)();
}

const wchar_t* SyncEngine::CallInProgress(ULONGLONG& sinceTick)
{
    const wchar_t* call = callInProgress_.load();
    sinceTick = callSince_.load();
    return call;
}

std::wstring SyncEngine::StatusMeaning(int status)
{
    switch (static_cast<unsigned>(status)) {
    case 0x8007007Eu:
        return L"libOVSyncEngine.dll, or a library it needs, was not found beside Halyard.exe";
    case 0x8007007Fu:
        return L"the libOVSyncEngine.dll beside Halyard.exe lacks the engine's entry points (a client half installed "
               L"or removed); it stays loaded, so a repaired client is used from the next logon on";
    case 0x800700C1u:
        return L"the libOVSyncEngine.dll beside Halyard.exe is 32-bit, truncated or damaged";
    case 0x80070005u:
        return L"the libOVSyncEngine.dll beside Halyard.exe cannot be opened by this user (access denied: a folder of "
               L"that name, or permissions that keep the user out)";
    case 0x80070020u:
        return L"the libOVSyncEngine.dll beside Halyard.exe is held by another program that lets nobody read it (a "
               L"sharing violation: an installer replacing it)";
    case 0x800703E6u:
        return L"the libOVSyncEngine.dll beside Halyard.exe, or a library it needs, crashed while it started (damaged)";
    case 0x8007045Au:
        return L"the libOVSyncEngine.dll beside Halyard.exe, or a library it needs, refused to start";
    default:
        return L"the engine did not accept the connection";
    }
}

} // namespace Orvanta::Deskweave
