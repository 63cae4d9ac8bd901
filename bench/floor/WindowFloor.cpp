// HalyardFloor: the least the platform does for the agent's running work, for the benchmarks. It does
// what the agent's behaviour requires, the cheapest way, without the agent's classes:
//   window [anything]   an instance mutex; a log file opened as the agent opens its own, written under
//                       a lock by both threads; the policy value read; the shutdown order; the start's
//                       Event Log entry; the session handler's event; a class and a hidden top-level
//                       window made the agent's way, whose every message is traced; the sync monitor
//                       started at its creation; a second thread that closes it when
//                       Global\HalyardFloorTerminate is signalled (the agent's two threads), and then
//                       bounds the teardown to 5 s as the agent's end bound does. The engine
//                       stand-in loaded and initialised at the first 2 s tick, prepared for logoff at
//                       the first WM_ENDSESSION after each WM_QUERYENDSESSION (after the permission revert's registry,
//                       file-security and trace work, when the machine policy asks for it) and released at exit. Every
//                       trace line the agent writes on these paths is written too: to the debugger output and, as one
//                       narrow write and a flush, to the log. Every object is released as the agent releases it.
//                       Further arguments are ignored (the benchmark names its runs by them).
#include "bench/floor/FloorNames.h"
#include "bench/floor/LogCheck.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"

#include <windows.h>
#include <sddl.h>

#include <io.h>
#include <share.h>

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

using namespace Orvanta::Deskweave;

namespace {

const wchar_t kProc[] = L"Orvanta::Deskweave::Window::WindowProc";
const char kInherit[] = "Orvanta::Deskweave::FolderPermissionsManager::InheritPermissionsFromSrcFolder";

FILE* g_log = nullptr;
unsigned long long g_logEnd = 0;
// Both threads trace, as the agent's do: the writer is serialised.
CRITICAL_SECTION g_writer;
std::wstring g_logFolder;
unsigned long g_lines = 0;
unsigned long long g_lineSecond = 0;
char g_lineTime[32] = {};
HMODULE g_engine = nullptr;
bool g_adjustPermissions = false;
// The agent's end of session work is done once a session end, which a WM_QUERYENDSESSION begins.
bool g_endHandled = false;

// One trace line: the debugger output, then "[thread] [time] message" in one narrow write and a flush,
// the time formatted again only when the second changes, as the agent's writer does.
void Line(const wchar_t* format, ...)
{
    wchar_t message[1024] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf_s(message, _countof(message), 1022, format, args);
    va_end(args);
    OutputDebugStringW(message);
    if (g_log == nullptr) {
        return;
    }
    EnterCriticalSection(&g_writer);
    if (g_lines++ % 100 == 0) {
        HalyardBench::CheckLikeTheWriter(g_log, g_logFolder);
    }
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long second =
        ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000000ULL;
    if (second != g_lineSecond) {
        g_lineSecond = second;
        const __time64_t time = _time64(nullptr);
        tm local = {};
        _localtime64_s(&local, &time);
        _snprintf_s(g_lineTime, _countof(g_lineTime), _TRUNCATE, "%02d/%02d %02d:%02d:%02d", local.tm_mon + 1,
                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    }
    static const char kHex[] = "0123456789ABCDEF";
    char line[1100];
    size_t length = 0;
    line[length++] = '[';
    const DWORD thread = GetCurrentThreadId();
    for (int shift = 28; shift >= 0; shift -= 4) {
        line[length++] = kHex[(thread >> shift) & 0xF];
    }
    line[length++] = ']';
    line[length++] = ' ';
    line[length++] = '[';
    for (const char* c = g_lineTime; *c != '\0'; ++c) {
        line[length++] = *c;
    }
    line[length++] = ']';
    line[length++] = ' ';
    for (const wchar_t* c = message; *c != L'\0' && length < sizeof(line) - 2; ++c) {
        if (*c == L'\n') {
            line[length++] = '\r';
        }
        line[length++] = *c <= 0xFF ? static_cast<char>(*c) : '?';
    }
    HalyardBench::WriteLikeTheWriter(g_log, g_logEnd, line, length);
    LeaveCriticalSection(&g_writer);
}

std::wstring Beside(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

FARPROC Engine(const char* entry)
{
    if (g_engine == nullptr) {
        g_engine = LoadLibraryExW(Beside(kEngineLibrary).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return g_engine != nullptr ? GetProcAddress(g_engine, entry) : nullptr;
}

void Report(DWORD id)
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::wstring text = std::to_wstring(session);
    const wchar_t* strings[] = {text.c_str()};
    if (HANDLE source = RegisterEventSourceW(nullptr, kEventSourceName)) {
        ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, id, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
}

void TraceDescriptor(const wchar_t* format, BYTE* descriptor)
{
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, 0x1F, &text, nullptr)) {
        Line(format, kInherit, text);
        LocalFree(text);
    }
}

void TraceAce(PACL dacl, WORD index, ACE_HEADER*& header)
{
    void* ace = nullptr;
    GetAce(dacl, index, &ace);
    header = static_cast<ACE_HEADER*>(ace);
    Line(L"%S: ACE_HEADER: index: %ld type: 0x%02X flags: 0x%02X\n", kInherit, static_cast<long>(index),
         header->AceType, header->AceFlags);
}

// The revert's work on one folder: its checks, reads, rebuild and write, with its lines.
void Inherit(const std::wstring& destination, const std::wstring& source)
{
    if (destination.empty() || source.empty()) {
        return;
    }
    Line(L"%S: destination folder: %s to inherit permissions from source folder: %s\n", kInherit, destination.c_str(),
         source.c_str());
    GetFileAttributesW(destination.c_str());
    GetFileAttributesW(source.c_str());
    DWORD needed = 0;
    GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0 ||
        !GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        return;
    }
    TraceDescriptor(L"%S: source Security Descriptor: [%s]\n", descriptor.data());
    SetSecurityDescriptorControl(descriptor.data(), SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERITED);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor.data(), &control, &revision);
    Line(L"Source Security Descriptor control: 0x%04X\n", control);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || dacl == nullptr) {
        return;
    }
    Line(L"%S: Number of ACE(s) in source DACL: %d\n", kInherit, dacl->AceCount);
    ACE_HEADER* header = nullptr;
    for (WORD index = 0; index < dacl->AceCount;) {
        TraceAce(dacl, index, header);
        if ((header->AceFlags & CONTAINER_INHERIT_ACE) != 0) {
            Line(L"%S: ACE can be inherited by child containers => keep ACE\n", kInherit);
            ++index;
        } else {
            Line(L"%S: ACE cannot be inherited by child containers => remove ACE\n", kInherit);
            DeleteAce(dacl, index);
            index = 0;
        }
    }
    for (WORD index = 0; index < dacl->AceCount; ++index) {
        TraceAce(dacl, index, header);
        if ((header->AceFlags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            Line(L"%S: Adjusted ACE to not be inherited by subsequent generations of objects\n", kInherit);
            header->AceFlags &= static_cast<BYTE>(~(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        }
    }
    Line(L"%S: Number of ACE(s) in destination DACL: %d\n", kInherit, dacl->AceCount);
    TraceDescriptor(L"%S: destination Security Descriptor: [%s]\n", descriptor.data());
    SetFileSecurityW(destination.c_str(), DACL_SECURITY_INFORMATION, descriptor.data());
}

std::wstring ReadLocation(HKEY key, const wchar_t* name)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    std::wstring location = buffer;
    while (!location.empty() && location.back() == L'\\') {
        location.pop_back();
    }
    return location;
}

void RevertPermissions()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSyncFoldersKey, 0, KEY_ALL_ACCESS, &key) != 0) {
        return;
    }
    const std::wstring root = ReadLocation(key, kSyncRootValue);
    const std::wstring shared = ReadLocation(key, kSharedFoldersRootValue);
    const std::wstring favorite = ReadLocation(key, kFavoriteFoldersRootValue);
    const std::wstring personal = ReadLocation(key, kPersonalFolderRootValue);
    RegCloseKey(key);
    Inherit(root, root.substr(0, root.rfind(L'\\')));
    for (const std::wstring& child : {personal, shared, favorite}) {
        Inherit(child, root);
    }
}

LRESULT CALLBACK FloorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Line(L"%s: executing... uMsg: %lu wParam: %I64u lParam: %I64u\n", kProc, message,
         static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(lParam));
    switch (message) {
    case WM_NCCREATE:
        Line(L"%s: WM_NCCREATE received\n", kProc);
        break;
    case WM_CREATE: {
        Line(L"%s: WM_CREATE received\n", kProc);
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnCreate::enter...\n");
        Line(L"Orvanta::Deskweave::Process::Process:: cmd line = OrvantaSyncMonitor.exe\n");
        Line(L"Orvanta::Deskweave::Process::Create:: enter...\n");
        wchar_t commandLine[] = L"\"OrvantaSyncMonitor.exe\" /checkOnDemandMigration";
        Line(L"Orvanta::Deskweave::Process::Create:: Command line = '%s'\n", commandLine);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        const DWORD launch = CreateProcessW(Beside(kSyncMonitorProgram).c_str(), commandLine, nullptr, nullptr, FALSE,
                                            0, nullptr, nullptr, &startup, &process)
                                 ? 0
                                 : GetLastError();
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnCreate::CreateProcess result = %08X\n", launch);
        if (launch == 0) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        SetTimer(window, 1, 2000, nullptr);
        return 0;
    }
    case WM_TIMER:
        Line(L"%s: WM_TIMER received\n", kProc);
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnTimer::enter...\n");
        if (auto initialize =
                reinterpret_cast<int (*)(int, bool)>(reinterpret_cast<void (*)()>(Engine("OvInitializeIPC2")))) {
            initialize(3, true);
            Report(201);
        }
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnTimer::OvRegisterJobStatusListener returned result = "
             L"00000000\n");
        KillTimer(window, 1);
        return 0;
    case WM_QUERYENDSESSION:
        g_endHandled = false;
        break;
    case WM_ENDSESSION:
        Line(L"%s: WM_ENDSESSION received\n", kProc);
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnEndSession::enter...\n");
        if (g_endHandled) {
            return 0;
        }
        g_endHandled = true;
        if (g_adjustPermissions) {
            RevertPermissions();
        }
        if (auto prepare = reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(Engine("OvPrepareForLogoff")))) {
            prepare();
        }
        return 0;
    case WM_DESTROY:
        Line(L"%s: WM_DESTROY received\n", kProc);
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnDestroy::enter...\n");
        Line(L"Orvanta::Deskweave::SyncWindowHandler::OnDestroy:: Deleting shutdown block reason.\n");
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        Line(L"%s: WM_NCDESTROY received\n", kProc);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool PolicyAsksForPermissions()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kAdjustPermissionsValue, RRF_RT_ANY, nullptr, &value, &size) ==
               ERROR_SUCCESS &&
           value != 0;
}

void OpenLog()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(_countof(temp), temp);
    g_logFolder = std::wstring(temp) + L"Orvanta";
    CreateDirectoryW(g_logFolder.c_str(), nullptr);
    // The start prunes as the writer's checks do, before the new file exists.
    HalyardBench::CheckLikeTheWriter(nullptr, g_logFolder);
    const std::wstring path = g_logFolder + L"\\HalyardFloor_" + std::to_wstring(GetCurrentProcessId()) + L".log";
    g_log = _wfsopen(path.c_str(), L"a+", _SH_DENYWR);
    LARGE_INTEGER size = {};
    if (g_log != nullptr && GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(g_log))), &size)) {
        g_logEnd = static_cast<unsigned long long>(size.QuadPart);
    }
}

int Window()
{
    HANDLE instance = CreateMutexW(nullptr, TRUE, HalyardBench::kFloorInstanceMutex);
    InitializeCriticalSection(&g_writer);
    OpenLog();
    HKEY policy = nullptr;
    wchar_t drive[30] = {};
    DWORD driveSize = sizeof(drive);
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ, &policy);
    RegQueryValueExW(policy, kDiskVolumeValue, nullptr, nullptr, reinterpret_cast<BYTE*>(drive), &driveSize);
    Report(100);
    SetProcessShutdownParameters(0x100, 0);
    Line(L"%S:SetProcessShutdownParameters (with level 0x100): succeeded", "wWinMain");
    RegisterApplicationRestart(L"/run", RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
    Line(L"Orvanta::Deskweave::Window::Window: executing... sessionId: %ld\n", 0);
    // The session handler's event for the end of session's wait.
    HANDLE uploadsComplete = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_adjustPermissions = PolicyAsksForPermissions();
    Line(L"Orvanta::Deskweave::Window::Create: executing... windowClassName: %s windowName: %s\n",
         HalyardBench::kFloorWindowClass, L"Floor");
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = FloorWindowProc;
    windowClass.cbWndExtra = sizeof(void*);
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = HalyardBench::kFloorWindowClass;
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Floor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // The agent's end bound, served by the same second thread once it has closed the window: the process
    // ends anyway when the teardown has not finished 5 s after the loop.
    HANDLE watched = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread watcher([stop, window, watched, finished] {
        HANDLE terminate = CreateEventW(nullptr, TRUE, FALSE, HalyardBench::kFloorTerminateEvent);
        const HANDLE handles[] = {stop, terminate};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            Line(L"Event signalled.  WaitForMultipleObject returned\n");
            Report(600);
        }
        Line(L"Orvanta::Deskweave::Window::Destroy: executing...\n");
        PostMessageW(window, WM_CLOSE, 0, 0);
        Line(L"Orvanta::Deskweave::Event::Close:: Enter\n");
        CloseHandle(terminate);
        Line(L"Orvanta::Deskweave::Event::Close:: Enter\n");
        SetEvent(watched);
        if (WaitForSingleObject(finished, 5000) == WAIT_TIMEOUT) {
            TerminateProcess(GetCurrentProcess(), 0);
        }
    });
    Line(L"Orvanta::Deskweave::Window::MessageLoop: executing...\n");
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    Line(L"Orvanta::Deskweave::Window::MessageLoop:Terminating message loop...\n");
    Line(L"Orvanta::Deskweave::Event::Set:: Enter\n");
    SetEvent(stop);
    if (WaitForSingleObject(watched, 5000) == WAIT_TIMEOUT) {
        TerminateProcess(GetCurrentProcess(), 0);
    }
    Line(L"Terminating Halyard process.\n");
    fclose(g_log);
    g_log = nullptr;
    DeleteCriticalSection(&g_writer);
    // The teardown's lines after the log, as the agent writes them to the debugger.
    Line(L"Orvanta::Deskweave::Event::Close:: Enter\n");
    CloseHandle(stop);
    if (auto uninitialize = reinterpret_cast<int (*)()>(
            reinterpret_cast<void (*)()>(g_engine != nullptr ? GetProcAddress(g_engine, "OvUninitialize") : nullptr))) {
        uninitialize();
    }
    Line(L"Orvanta::Deskweave::Event::Close:: Enter\n");
    CloseHandle(uploadsComplete);
    Line(L"Orvanta::Deskweave::Window::~Window: executing...\n");
    Line(L"Orvanta::Deskweave::Window::Destroy: executing...\n");
    RegCloseKey(policy);
    ReleaseMutex(instance);
    CloseHandle(instance);
    SetEvent(finished);
    watcher.join();
    CloseHandle(watched);
    CloseHandle(finished);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    return argc >= 2 && wcscmp(argv[1], L"window") == 0 ? Window() : 2;
}
