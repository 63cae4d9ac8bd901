#pragma once

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// The machine's logon start as Windows takes it at logon: the Run value "Halyard" of the 64-bit view,
// or else of the 32-bit view (Wow6432Node), which Windows runs as well; its program found as
// CreateProcessW finds the program of a command line given without an application name; and whether
// Task Manager's Startup tab (or Settings > Apps > Startup) has it switched off.
struct RunEntry {
    DWORD error = 0;               // 0, or the Win32 error of reading the value in both views
    std::wstring command;          // the command line, references to the environment expanded
    bool only32Bit = false;        // read from Wow6432Node: the 64-bit view has no such value
    bool switchedOff = false;      // StartupApproved holds it switched off: logon skips it
    bool disabledByPolicy = false; // the machine policy DisableLocalMachineRun: logon skips the whole key
    bool quoted = false;           // the program is the quoted first token
    bool blanks = false;           // unquoted, and the program's path holds blanks: shorter texts were tried first
    std::wstring program;          // the program that runs, a full path; empty when none exists
    std::wstring approvalKey;      // where the switch is kept, for saying so

    static RunEntry Read();
};

} // namespace Orvanta::Deskweave
