#include "devtools/common/DebugCapture.h"

#include <chrono>
#include <map>

namespace HalyardDev {

DebugCapture::~DebugCapture()
{
    Stop();
}

DWORD DebugCapture::Start(const std::wstring& commandLine, const ChildOptions& options)
{
    thread_ = std::thread(&DebugCapture::Loop, this, commandLine,
                          options.environment.empty() ? std::wstring() : EnvironmentWith(options.environment),
                          options.currentDirectory);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
    return startError_;
}

void DebugCapture::Loop(std::wstring commandLine, std::wstring environment, std::wstring currentDirectory)
{
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const BOOL created =
        CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, DEBUG_PROCESS | CREATE_UNICODE_ENVIRONMENT,
                       environment.empty() ? nullptr : const_cast<wchar_t*>(environment.c_str()),
                       currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
        startError_ = created ? 0 : GetLastError();
        processId_ = created ? info.dwProcessId : 0;
        allExited_ = !created;
        firstExited_ = !created;
    }
    changed_.notify_all();
    if (!created) {
        return;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    DebugSetProcessKillOnExit(FALSE);

    std::map<DWORD, HANDLE> live;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopRequested_) {
                break;
            }
        }
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 50)) {
            continue;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile != nullptr) {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            live[event.dwProcessId] = event.u.CreateProcessInfo.hProcess;
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr) {
                wchar_t path[MAX_PATH] = {};
                if (GetFinalPathNameByHandleW(event.u.LoadDll.hFile, path, MAX_PATH, 0) > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    modules_.push_back({event.dwProcessId, path});
                }
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& output = event.u.DebugString;
            const auto process = live.find(event.dwProcessId);
            if (process == live.end()) {
                break;
            }
            std::wstring text;
            if (output.fUnicode) {
                std::vector<wchar_t> chars(output.nDebugStringLength + 1, L'\0');
                ReadProcessMemory(process->second, output.lpDebugStringData, chars.data(),
                                  output.nDebugStringLength * sizeof(wchar_t), nullptr);
                text = chars.data();
            } else {
                std::vector<char> chars(output.nDebugStringLength + 1, '\0');
                ReadProcessMemory(process->second, output.lpDebugStringData, chars.data(), output.nDebugStringLength,
                                  nullptr);
                const int length = MultiByteToWideChar(CP_ACP, 0, chars.data(), -1, nullptr, 0);
                std::vector<wchar_t> wide(length > 0 ? length : 1, L'\0');
                MultiByteToWideChar(CP_ACP, 0, chars.data(), -1, wide.data(), length);
                text = wide.data();
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                strings_.push_back({event.dwProcessId, text, GetTickCount64()});
            }
            changed_.notify_all();
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            // The loader's first breakpoint is the debugger's to swallow; everything else belongs to the
            // debuggee's own handlers.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            live.erase(event.dwProcessId);
            if (event.dwProcessId == info.dwProcessId) {
                std::lock_guard<std::mutex> lock(mutex_);
                exitCode_ = event.u.ExitProcess.dwExitCode;
                firstExited_ = true;
            }
            changed_.notify_all();
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (live.empty() && event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            break;
        }
    }
    for (const auto& process : live) {
        DebugActiveProcessStop(process.first);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        allExited_ = true;
    }
    changed_.notify_all();
}

DWORD DebugCapture::WaitForExit(DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return firstExited_; });
    return firstExited_ ? exitCode_ : STILL_ACTIVE;
}

bool DebugCapture::WaitForAllExited(DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return allExited_; });
}

bool DebugCapture::WaitForText(const std::wstring& needle, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return allExited_ || TextLocked().find(needle) != std::wstring::npos; });
    return TextLocked().find(needle) != std::wstring::npos;
}

void DebugCapture::Stop()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    thread_.join();
}

std::vector<DebugString> DebugCapture::Strings() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return strings_;
}

std::vector<LoadedModule> DebugCapture::Modules() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_;
}

std::wstring DebugCapture::TextLocked() const
{
    std::wstring all;
    for (const DebugString& s : strings_) {
        all += s.text;
    }
    return all;
}

} // namespace HalyardDev
