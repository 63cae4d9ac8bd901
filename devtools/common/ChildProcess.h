#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace HalyardDev {

using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

struct ChildOptions {
    // Variables added to, or replacing those of, this process's environment.
    EnvironmentOverrides environment;
    // Empty: this process's current directory.
    std::wstring currentDirectory;
    // A file that receives the child's standard output and error (under Wine also its debug channels).
    std::wstring outputFile;
};

// A program started by a tool, test or benchmark. The destructor ends it if it still runs, so no
// failed test leaves a process behind.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;

    // 0, or the Win32 error of the failed start.
    DWORD Start(const std::wstring& commandLine, const ChildOptions& options = {});
    // The exit code, or STILL_ACTIVE while it still runs when the time is up.
    DWORD WaitForExit(DWORD timeoutMs);
    void Terminate();

    HANDLE Handle() const { return process_.get(); }
    DWORD Id() const { return id_; }

private:
    Orvanta::Deskweave::UniqueHandle process_;
    DWORD id_ = 0;
};

// Starts a command line and waits for it: its exit code, the Win32 error of a failed start, or
// STILL_ACTIVE when it was still running after the time (it is then ended).
DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs = 60000, const ChildOptions& options = {});

// This process's environment block (double-NUL terminated) with the overrides applied.
std::wstring EnvironmentWith(const EnvironmentOverrides& overrides);

// "<folder of this executable>\name": where the agent, the stand-ins and the tools are built.
std::wstring BesideThisProgram(const std::wstring& name);

} // namespace HalyardDev
