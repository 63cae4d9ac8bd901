#include "platform/Process.h"

#include "platform/UniqueResource.h"
#include "trace/Trace.h"

#include <new>
#include <vector>

namespace Orvanta::Deskweave {
namespace {
const wchar_t kConstructorTag[] = L"Orvanta::Deskweave::Process::Process";
const wchar_t kCreateTag[] = L"Orvanta::Deskweave::Process::Create";
} // namespace

Process::Process(const std::wstring& command) : command_(command)
{
    Trace(L"%s:: cmd line = %s\n", kConstructorTag, command_.c_str());
}

DWORD Process::Create(const std::wstring& arguments)
{
    Trace(L"%s:: enter...\n", kCreateTag);

    std::wstring commandLine = L"\"" + command_ + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }

    // CreateProcessW may write into its command-line argument, so it gets a buffer of its own.
    std::vector<wchar_t> buffer;
    try {
        buffer.assign(commandLine.begin(), commandLine.end());
        buffer.push_back(L'\0');
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    Trace(L"%s:: Command line = '%s'\n", kCreateTag, commandLine.c_str());

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startupInfo, &processInfo)) {
        return GetLastError();
    }
    UniqueHandle process(processInfo.hProcess);
    UniqueHandle thread(processInfo.hThread);
    return 0;
}

} // namespace Orvanta::Deskweave
