// HalyardFloor: the least the platform does for the agent's running work, for the benchmarks.
//   window [anything]   registers a class and creates a hidden top-level window the agent's way, and
//                       a second thread that closes it when Global\HalyardFloorTerminate is signalled
//                       (the agent's two threads). At WM_ENDSESSION, when the machine policy asks for
//                       it, it makes the permission revert's registry and file-security calls,
//                       untraced. Further arguments are ignored (the benchmark names its runs by them).
#include "platform/RegistryNames.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

using namespace Orvanta::Deskweave;

namespace {

bool PolicyAsksForPermissions()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kAdjustPermissionsValue, RRF_RT_ANY, nullptr, &value,
                        &size) == ERROR_SUCCESS &&
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
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSyncFoldersKey, 0, KEY_ALL_ACCESS, &key) != 0) {
        return;
    }
    const std::wstring root = ReadLocation(key, kSyncRootValue);
    const std::wstring shared = ReadLocation(key, kSharedFoldersRootValue);
    const std::wstring favorite = ReadLocation(key, kFavoriteFoldersRootValue);
    const std::wstring personal = ReadLocation(key, kPersonalFolderRootValue);
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

int Window()
{
    g_adjustPermissions = PolicyAsksForPermissions();
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = FloorWindowProc;
    windowClass.cbWndExtra = sizeof(void*);
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"HalyardFloorWindowClass";
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Floor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread watcher([stop, window] {
        HANDLE terminate = CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardFloorTerminate");
        const HANDLE handles[] = {stop, terminate};
        WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        PostMessageW(window, WM_CLOSE, 0, 0);
        CloseHandle(terminate);
    });
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    SetEvent(stop);
    watcher.join();
    CloseHandle(stop);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    return argc >= 2 && wcscmp(argv[1], L"window") == 0 ? Window() : 2;
}
