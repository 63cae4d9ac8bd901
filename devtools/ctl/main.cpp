// HalyardDevCtl: drives a running agent as the platform and an administrator would.
//   wait-window [ms]   waits until an agent window exists         (exit 0, or 1 on time-out)
//   wait-gone [ms]     waits until no agent window exists         (exit 0, or 1 on time-out)
//   terminate          signals Global\HalyardTerminate and closes it again
//   query              sends WM_QUERYENDSESSION (logoff) and prints the answer
//   endsession         sends WM_ENDSESSION (ending, logoff); returns when the agent has handled it
//   logoff             query, then endsession
//   close              posts WM_CLOSE to the agent window
//   timer <id>         posts WM_TIMER with that timer id
//   hold-desktop       keeps a hidden window of its own until killed: Wine ends its desktop process
//                      when the last window goes and starting it again can take seconds, so test
//                      and demo sessions keep one window alive throughout
//   wait-desktop [ms]  waits until that window exists
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

const wchar_t kWindowClass[] = L"OrvantaSyncAgentWindowClass";

const wchar_t kKeeperClass[] = L"HalyardDesktopKeeper";

HWND FindAgentWindow()
{
    return FindWindowW(kWindowClass, nullptr);
}

int WaitFor(bool present, DWORD timeoutMs, const wchar_t* windowClass = kWindowClass)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if ((FindWindowW(windowClass, nullptr) != nullptr) == present) {
            return 0;
        }
        if (GetTickCount64() >= deadline) {
            fwprintf(stderr, L"HalyardDevCtl: time-out waiting for the agent window to %ls\n",
                     present ? L"appear" : L"go");
            return 1;
        }
        Sleep(20);
    }
}

int Terminate()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"Global\\HalyardTerminate");
    if (event == nullptr) {
        fwprintf(stderr, L"HalyardDevCtl: cannot open the terminate event: error %lu\n", GetLastError());
        return 1;
    }
    SetEvent(event);
    // Closing it again matters: a manual-reset event left signalled would stop every agent that starts later.
    CloseHandle(event);
    return 0;
}

int Send(UINT message, WPARAM wParam, LPARAM lParam, const wchar_t* name)
{
    HWND window = FindAgentWindow();
    if (window == nullptr) {
        fwprintf(stderr, L"HalyardDevCtl: no agent window\n");
        return 1;
    }
    const LRESULT answer = SendMessageW(window, message, wParam, lParam);
    wprintf(L"%ls answered %lld\n", name, static_cast<long long>(answer));
    return 0;
}

int Post(UINT message, WPARAM wParam)
{
    HWND window = FindAgentWindow();
    if (window == nullptr || !PostMessageW(window, message, wParam, 0)) {
        fwprintf(stderr, L"HalyardDevCtl: no agent window\n");
        return 1;
    }
    return 0;
}

int HoldDesktop()
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kKeeperClass;
    RegisterClassExW(&windowClass);
    if (CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                        windowClass.hInstance, nullptr) == nullptr) {
        return 1;
    }
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: HalyardDevCtl wait-window|wait-gone [ms] | terminate | query | endsession | "
                         L"logoff | close | timer <id>\n");
        return 2;
    }
    const wchar_t* command = argv[1];
    const DWORD timeoutMs = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 10000;
    if (wcscmp(command, L"wait-window") == 0) {
        return WaitFor(true, timeoutMs);
    }
    if (wcscmp(command, L"wait-gone") == 0) {
        return WaitFor(false, timeoutMs);
    }
    if (wcscmp(command, L"terminate") == 0) {
        return Terminate();
    }
    if (wcscmp(command, L"query") == 0) {
        return Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, L"WM_QUERYENDSESSION");
    }
    if (wcscmp(command, L"endsession") == 0) {
        return Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, L"WM_ENDSESSION");
    }
    if (wcscmp(command, L"logoff") == 0) {
        const int query = Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, L"WM_QUERYENDSESSION");
        return query != 0 ? query : Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, L"WM_ENDSESSION");
    }
    if (wcscmp(command, L"close") == 0) {
        return Post(WM_CLOSE, 0);
    }
    if (wcscmp(command, L"hold-desktop") == 0) {
        return HoldDesktop();
    }
    if (wcscmp(command, L"wait-desktop") == 0) {
        return WaitFor(true, timeoutMs, kKeeperClass);
    }
    if (wcscmp(command, L"timer") == 0 && argc > 2) {
        return Post(WM_TIMER, wcstoul(argv[2], nullptr, 10));
    }
    fwprintf(stderr, L"HalyardDevCtl: unknown command\n");
    return 2;
}
