// HalyardNotifyHost: a development notification source. Runs a real window and session handler (the
// agent's own classes) and delivers the scripted job-status notifications from a thread of its own:
//   pending:SEQUENCE:DONE:TOTAL   a pending-upload notification
//   logonfailed | syncnotenabled  the two status notifications
//   sleep:MS                      pause
//   await-query | await-end       wait (up to 60 s) until the window has handled the next
//                                 WM_QUERYENDSESSION / WM_ENDSESSION
//   quit                          close the window and exit
// Example: HalyardNotifyHost pending:0001:0:3 await-query sleep:1500 pending:0002:3:3 await-end quit
#include "devtools/common/Text.h"
#include "devtools/sessionhost/SessionHost.h"
#include "trace/TraceManager.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool Deliver(HalyardDev::SessionHost& host, const std::wstring& command, int& queries, int& ends)
{
    if (command.rfind(L"pending:", 0) == 0) {
        wchar_t sequence[128] = {};
        int done = 0;
        int total = 0;
        if (swscanf_s(command.c_str() + 8, L"%127[^:]:%d:%d", sequence, static_cast<unsigned>(_countof(sequence)),
                      &done, &total) != 3) {
            return false;
        }
        host.Notifications().OnPendingUploadStatus(nullptr, HalyardDev::Narrow(sequence).c_str(), {done, total});
        return true;
    }
    if (command == L"logonfailed") {
        host.Notifications().OnLogonFailedStatus(nullptr);
        return true;
    }
    if (command == L"syncnotenabled") {
        host.Notifications().OnSyncNotEnabledStatus(nullptr);
        return true;
    }
    if (command.rfind(L"sleep:", 0) == 0) {
        Sleep(wcstoul(command.c_str() + 6, nullptr, 10));
        return true;
    }
    if (command == L"await-query") {
        return host.WaitForQueryEndSession(++queries, 60000);
    }
    if (command == L"await-end") {
        return host.WaitForEndSession(++ends, 60000);
    }
    return false;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Orvanta::Deskweave::TraceManager::Initialize();
    int exitCode = 0;
    {
        HalyardDev::SessionHost host;
        if (host.CreateResult() != 0) {
            fwprintf(stderr, L"HalyardNotifyHost: window creation failed: %lu\n", host.CreateResult());
            exitCode = 3;
        }
        int queries = 0;
        int ends = 0;
        for (int i = 1; i < argc && exitCode == 0; ++i) {
            if (wcscmp(argv[i], L"quit") == 0) {
                break;
            }
            if (!Deliver(host, argv[i], queries, ends)) {
                fwprintf(stderr, L"HalyardNotifyHost: '%ls' failed or timed out\n", argv[i]);
                exitCode = 1;
            }
        }
        host.Close();
    }
    Orvanta::Deskweave::TraceManager::Uninitialize();
    return exitCode;
}
