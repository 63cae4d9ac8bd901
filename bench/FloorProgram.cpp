// HalyardFloor: the least the platform does for the same work as the agent, for the benchmarks.
//   launch           starts "Halyard.exe" /run with CreateProcessW and exits (the logon start)
//   window           creates a hidden top-level window the agent's way and serves it until closed
//   wait-event NAME  waits on a named manual-reset event and exits when it is signalled
#include <windows.h>

#include <cwchar>

namespace {

LRESULT CALLBACK FloorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
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

int Window()
{
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
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

int WaitEvent(const wchar_t* name)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
    if (event == nullptr) {
        return 1;
    }
    WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"launch") == 0) {
        return Launch();
    }
    if (argc >= 2 && wcscmp(argv[1], L"window") == 0) {
        return Window();
    }
    if (argc >= 3 && wcscmp(argv[1], L"wait-event") == 0) {
        return WaitEvent(argv[2]);
    }
    return 2;
}
