// HalyardCheck: whether Halyard works on this machine, in one command, for administrators and their
// deployment tools (detection and remediation scripts, remoting). Every check the administration
// guide's troubleshooting names, each ok, warning, failure or skipped with one line of why and what to
// do. It reads what the agent reads, through the agent's own readers, never loads the engine, and
// never waits on an agent, a lock or the network.
//
//   HalyardCheck [/json | /summary]
//
// Exit codes: 0 every check ok or skipped; 1 warnings only; 2 at least one failure; 3 bad arguments.
#include "admin/check/CheckReport.h"
#include "admin/check/EngineChecks.h"
#include "admin/check/InstallChecks.h"
#include "admin/check/PolicyChecks.h"
#include "admin/check/SessionChecks.h"
#include "platform/ProgramFolder.h"
#include "platform/SystemLibraries.h"

#include "HalyardProduct.h"

#include <cwchar>
#include <string>

using namespace Orvanta::Deskweave;

namespace {

constexpr int kBadArguments = 3;

const wchar_t kUsage[] =
    L"usage: HalyardCheck [/json | /summary]\r\n"
    L"Checks that Halyard works on this machine: the installation beside this program, the client's engine,\r\n"
    L"the machine policy, the agents of the sessions and, run by a session's own user, that user's agent.\r\n"
    L"  /json      one JSON object instead of the table\r\n"
    L"  /summary   one line: the result, then each failure and warning, at most 2,048 characters\r\n"
    L"Exit codes: 0 every check ok or skipped, 1 warnings only, 2 at least one failure, 3 bad arguments.\r\n";

// A console gets the text as it is; a pipe or file gets UTF-8.
void Write(DWORD stream, const std::wstring& text)
{
    const HANDLE handle = GetStdHandle(stream);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

bool Is(const wchar_t* argument, const wchar_t* name)
{
    return (argument[0] == L'/' || argument[0] == L'-') && _wcsicmp(argument + 1, name) == 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    LoadLibrariesFromSystemFolderOnly();
    enum class Output { Table, Json, Summary } output = Output::Table;
    for (int i = 1; i < argc; ++i) {
        if (Is(argv[i], L"?") || Is(argv[i], L"h") || Is(argv[i], L"help")) {
            Write(STD_OUTPUT_HANDLE, kUsage);
            return 0;
        }
        if (Is(argv[i], L"json") && output != Output::Summary) {
            output = Output::Json;
        } else if (Is(argv[i], L"summary") && output != Output::Json) {
            output = Output::Summary;
        } else {
            Write(STD_ERROR_HANDLE, L"HalyardCheck: the argument " + std::wstring(argv[i]) +
                                        (Is(argv[i], L"json") || Is(argv[i], L"summary") ? L" goes with neither "
                                                                                           L"/json nor /summary"
                                                                                         : L" is not one of these") +
                                        L"\r\n" + kUsage);
            return kBadArguments;
        }
    }

    std::wstring folder;
    GetProgramFolder(folder);
    const CheckContext context = CheckContext::Of(folder, Caller::OfThisProcess());
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = _countof(computer);
    GetComputerNameW(computer, &length);

    Checks checks;
    CheckInstallation(context, checks);
    CheckClient(context, checks);
    CheckPolicy(checks);
    CheckSessions(context, checks);

    const CheckReport report(HALYARD_VERSION_WIDE, computer, context.caller.session, std::move(checks));
    if (output == Output::Table) {
        Write(STD_OUTPUT_HANDLE, report.Text());
    } else {
        const std::string text = output == Output::Json ? report.Json() : report.Summary();
        Write(STD_OUTPUT_HANDLE, std::wstring(text.begin(), text.end()));
    }
    return report.ExitCode();
}
