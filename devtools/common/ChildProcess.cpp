#include "devtools/common/ChildProcess.h"

#include "platform/ProgramFolder.h"

#include <cwchar>

namespace HalyardDev {

ChildProcess::~ChildProcess()
{
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        Terminate();
    }
}

DWORD ChildProcess::Start(const std::wstring& commandLine, const ChildOptions& options)
{
    std::wstring buffer = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    Orvanta::Deskweave::UniqueFileHandle input;
    Orvanta::Deskweave::UniqueFileHandle output;
    if (!options.outputFile.empty()) {
        // Wine hands a child's standard handles to its Unix side (where its debug channels write) only
        // when all three are set.
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        input.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                0, nullptr));
        output.reset(CreateFileW(options.outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!input || !output) {
            return GetLastError();
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
    }
    const std::wstring environment = options.environment.empty() ? L"" : EnvironmentWith(options.environment);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, output ? TRUE : FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : const_cast<wchar_t*>(environment.c_str()),
                        options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &startup,
                        &info)) {
        return GetLastError();
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    id_ = info.dwProcessId;
    return 0;
}

DWORD ChildProcess::WaitForExit(DWORD timeoutMs)
{
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process_.get(), &exitCode);
    return exitCode;
}

void ChildProcess::Terminate()
{
    if (process_) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 10000);
    }
}

DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs, const ChildOptions& options)
{
    ChildProcess child;
    if (const DWORD error = child.Start(commandLine, options)) {
        return error;
    }
    return child.WaitForExit(timeoutMs);
}

std::wstring EnvironmentWith(const EnvironmentOverrides& overrides)
{
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
        bool replaced = false;
        for (const auto& item : overrides) {
            replaced = replaced || _wcsnicmp(entry, (item.first + L"=").c_str(), item.first.size() + 1) == 0;
        }
        if (!replaced) {
            block += entry;
            block += L'\0';
        }
    }
    FreeEnvironmentStringsW(current);
    for (const auto& item : overrides) {
        block += item.first + L"=" + item.second;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

std::wstring BesideThisProgram(const std::wstring& name)
{
    std::wstring folder;
    Orvanta::Deskweave::GetProgramFolder(folder);
    return folder + L"\\" + name;
}

} // namespace HalyardDev
