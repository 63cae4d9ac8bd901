// HalyardFloor: the least the platform does for the same work as the agent, for the benchmarks.
//   launch           starts "Halyard.exe" /run with CreateProcessW and exits (the logon start)
//   window [EVENT]   creates a hidden top-level window the agent's way and serves it until closed;
//                    with EVENT, a second thread closes the window when that named event is
//                    signalled. At WM_ENDSESSION, when the machine policy asks for it, it makes the
//                    same registry and file-security calls as the agent's permission revert, untraced.
#include <windows.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

bool PolicyAsksForPermissions()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Veltane\\Orvanta\\Groupmere",
                        L"AdjustPermissionsOnLogoff", RRF_RT_ANY, nullptr, &value, &size) == ERROR_SUCCESS &&
           value != 0;
}

std::wstring ReadLocation(HKEY key, const wchar_t* name)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return buffer;
}

void CopyInheritableDacl(const std::wstring& destination, const std::wstring& source)
{
    DWORD needed = 0;
    GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0 ||
        !GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        return;
    }
    SetSecurityDescriptorControl(descriptor.data(), SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                 SE_DACL_AUTO_INHERITED);
    SetFileSecurityW(destination.c_str(), DACL_SECURITY_INFORMATION, descriptor.data());
}

void RevertPermissions()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Veltane\\Orvanta\\Sync", 0, KEY_ALL_ACCESS, &key) != 0) {
        return;
    }
    const std::wstring root = ReadLocation(key, L"SyncRootLocation");
    const std::wstring shared = ReadLocation(key, L"SharedFoldersRootLocation");
    const std::wstring favorite = ReadLocation(key, L"FavoriteFoldersRootLocation");
    const std::wstring personal = ReadLocation(key, L"PersonalFolderRootLocation");
    RegCloseKey(key);
    CopyInheritableDacl(root, root.substr(0, root.rfind(L'\\')));
    for (const std::wstring& child : {personal, shared, favorite}) {
        CopyInheritableDacl(child, root);
    }
}

bool g_adjustPermissions = false;

LRESULT CALLBACK FloorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_ENDSESSION && g_adjustPermissions) {
        RevertPermissions();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int Launch()
{
    wchar_t commandLine[] = L"\"Halyard.exe\" /run";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &info)) {
        return 1;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

int Window(const wchar_t* terminateEvent)
{
    g_adjustPermissions = PolicyAsksForPermissions();
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = FloorWindowProc;
    windowClass.cbWndExtra = sizeof(void*);
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"HalyardFloorWindowClass";
    if (RegisterClassExW(&windowClass) == 0 ||
        CreateWindowExW(0, windowClass.lpszClassName, L"Floor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                        windowClass.hInstance, nullptr) == nullptr) {
        return 1;
    }
    HWND window = FindWindowW(windowClass.lpszClassName, nullptr);
    std::thread watcher;
    HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (terminateEvent != nullptr) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, terminateEvent);
        watcher = std::thread([event, stop, window] {
            const HANDLE handles[] = {stop, event};
            WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            PostMessageW(window, WM_CLOSE, 0, 0);
            CloseHandle(event);
        });
    }
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    SetEvent(stop);
    if (watcher.joinable()) {
        watcher.join();
    }
    CloseHandle(stop);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"launch") == 0) {
        return Launch();
    }
    if (argc >= 2 && wcscmp(argv[1], L"window") == 0) {
        return Window(argc >= 3 ? argv[2] : nullptr);
    }
    return 2;
}
