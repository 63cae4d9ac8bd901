// HalyardDevCtl: drives a running agent as the platform, an administrator or a hostile program would.
//   wait-window [ms]        waits until an agent window exists          (exit 0, or 1 on time-out)
//   wait-gone [ms]          waits until no agent window exists          (exit 0, or 1 on time-out)
//   terminate               signals Global\HalyardTerminate and closes it again
//   query                   sends WM_QUERYENDSESSION (logoff) and prints the answer
//   endsession [wParam]     sends WM_ENDSESSION (wParam 1, the default: ending; 0: the end was cancelled),
//                           logoff; returns when the agent has handled it
//   logoff                  query, then endsession
//   close                   posts WM_CLOSE to the agent window
//   quit [code]             posts WM_QUIT to the agent window's thread
//   timer <id> [lParam]     posts WM_TIMER with that timer id (and timer procedure address)
//   flood-timer <id> <n>    posts n WM_TIMER messages with that timer id, as fast as it can
//   systimer <id> [lParam]  the same with WM_SYSTIMER (0x118)
//   file-version <file>     prints the file's version resource as inventory tools read it: the fixed
//                           file version, then the ProductVersion, CompanyName and OriginalFilename texts
//   hold-desktop            keeps a hidden window of its own until killed: Wine ends its desktop process
//                           when the last window goes and starting it again can take seconds, so test
//                           and demo sessions keep one window alive throughout
//   wait-desktop [ms]       waits until that window exists
#include "devtools/common/AgentControl.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace HalyardDev;

namespace {

const wchar_t kKeeperClass[] = L"HalyardDesktopKeeper";
constexpr DWORD kDefaultTimeoutMs = 10000;

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

int Post(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND window = FindAgentWindow();
    if (window == nullptr || !PostMessageW(window, message, wParam, lParam)) {
        fwprintf(stderr, L"HalyardDevCtl: no agent window\n");
        return 1;
    }
    return 0;
}

std::wstring VersionText(const std::vector<BYTE>& block, const wchar_t* name)
{
    void* text = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    return VerQueryValueW(block.data(), path.c_str(), &text, &length) && length > 0 ? static_cast<wchar_t*>(text)
                                                                                    : L"-";
}

int PrintFileVersion(const wchar_t* file)
{
    std::vector<BYTE> block(GetFileVersionInfoSizeW(file, nullptr));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (block.empty() || !GetFileVersionInfoW(file, 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        fwprintf(stderr, L"HalyardDevCtl: no version resource: error %lu\n", GetLastError());
        return 1;
    }
    wprintf(L"%u.%u.%u.%u %ls %ls %ls\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
            HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
            VersionText(block, L"ProductVersion").c_str(), VersionText(block, L"CompanyName").c_str(),
            VersionText(block, L"OriginalFilename").c_str());
    return 0;
}

int PostQuit(WPARAM code)
{
    HWND window = FindAgentWindow();
    const DWORD thread = window != nullptr ? GetWindowThreadProcessId(window, nullptr) : 0;
    if (thread == 0 || !PostThreadMessageW(thread, WM_QUIT, code, 0)) {
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

int WaitForDesktop(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (FindWindowW(kKeeperClass, nullptr) == nullptr) {
        if (GetTickCount64() >= deadline) {
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

int Usage()
{
    fwprintf(stderr,
             L"usage: HalyardDevCtl wait-window [ms] | wait-gone [ms] | terminate | query | endsession [wParam] | "
             L"logoff | close | quit [code] | timer <id> [lParam] | flood-timer <id> <n> | systimer <id> [lParam] | "
             L"file-version <file> | hold-desktop | wait-desktop [ms]\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return Usage();
    }
    const wchar_t* command = argv[1];
    const auto number = [argc, argv](int index, unsigned long long fallback) {
        return argc > index ? wcstoull(argv[index], nullptr, 0) : fallback;
    };
    if (wcscmp(command, L"wait-window") == 0 || wcscmp(command, L"wait-gone") == 0) {
        const bool present = wcscmp(command, L"wait-window") == 0;
        if (!WaitForAgentWindow(present, static_cast<DWORD>(number(2, kDefaultTimeoutMs)))) {
            fwprintf(stderr, L"HalyardDevCtl: time-out waiting for the agent window to %ls\n",
                     present ? L"appear" : L"go");
            return 1;
        }
        return 0;
    }
    if (wcscmp(command, L"terminate") == 0) {
        if (!SignalTerminate()) { // closed again at once
            fwprintf(stderr, L"HalyardDevCtl: cannot signal the terminate event: error %lu\n", GetLastError());
            return 1;
        }
        return 0;
    }
    if (wcscmp(command, L"query") == 0) {
        return Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, L"WM_QUERYENDSESSION");
    }
    if (wcscmp(command, L"endsession") == 0) {
        return Send(WM_ENDSESSION, static_cast<WPARAM>(number(2, TRUE)), ENDSESSION_LOGOFF, L"WM_ENDSESSION");
    }
    if (wcscmp(command, L"logoff") == 0) {
        const int query = Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, L"WM_QUERYENDSESSION");
        return query != 0 ? query : Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, L"WM_ENDSESSION");
    }
    if (wcscmp(command, L"close") == 0) {
        return Post(WM_CLOSE, 0, 0);
    }
    if (wcscmp(command, L"quit") == 0) {
        return PostQuit(static_cast<WPARAM>(number(2, 0)));
    }
    if (wcscmp(command, L"timer") == 0 && argc > 2) {
        return Post(WM_TIMER, static_cast<WPARAM>(number(2, 0)), static_cast<LPARAM>(number(3, 0)));
    }
    if (wcscmp(command, L"flood-timer") == 0 && argc > 3) {
        HWND window = FindAgentWindow();
        for (unsigned long long i = number(3, 0); i > 0; --i) {
            if (window == nullptr || !PostMessageW(window, WM_TIMER, static_cast<WPARAM>(number(2, 0)), 0)) {
                fwprintf(stderr, L"HalyardDevCtl: no agent window, or its queue is full (error %lu)\n", GetLastError());
                return 1;
            }
        }
        return 0;
    }
    if (wcscmp(command, L"file-version") == 0 && argc > 2) {
        return PrintFileVersion(argv[2]);
    }
    if (wcscmp(command, L"systimer") == 0 && argc > 2) {
        return Post(0x0118, static_cast<WPARAM>(number(2, 0)), static_cast<LPARAM>(number(3, 0)));
    }

    if (wcscmp(command, L"hold-desktop") == 0) {
        return HoldDesktop();
    }
    if (wcscmp(command, L"wait-desktop") == 0) {
        return WaitForDesktop(static_cast<DWORD>(number(2, kDefaultTimeoutMs)));
    }
    return Usage();
}
