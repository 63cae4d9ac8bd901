#include "platform/Process.h"

#include "platform/ProgramFolder.h"
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

    std::wstring commandLine;
    // The application name is a full path: without one the system would also search the current
    // directory and PATH, where any program of the same name could have been planted.
    std::wstring application;
    DWORD folderError = 0;
    // CreateProcessW may write into its command-line argument, so it gets a buffer of its own.
    std::vector<wchar_t> buffer;
    try {
        commandLine = L"\"" + command_ + L"\"";
        if (!arguments.empty()) {
            commandLine += L" " + arguments;
        }
        buffer.assign(commandLine.begin(), commandLine.end());
        buffer.push_back(L'\0');
        if (command_.find_first_of(L"\\/:") == std::wstring::npos) {
            std::wstring folder;
            folderError = GetProgramFolder(folder);
            application = folder + L"\\" + command_;
        } else {
            application = command_;
        }
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    Trace(L"%s:: Command line = '%s'\n", kCreateTag, commandLine.c_str());
    if (folderError != 0) {
        return folderError;
    }

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(application.c_str(), buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startupInfo, &processInfo)) {
        return GetLastError();
    }
    UniqueHandle process(processInfo.hProcess);
    UniqueHandle thread(processInfo.hThread);
    return 0;
}

} // namespace Orvanta::Deskweave
