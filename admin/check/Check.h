#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// In order of gravity: the worst result of all checks is the machine's.
enum class CheckResult { Ok, Skipped, Warning, Failure };

// One check's answer: its id, its result, and one line of why and what to do.
struct Check {
    std::string id;
    CheckResult result;
    std::wstring text;
};

using Checks = std::vector<Check>;

// Where and how the checker runs, which decides what it can see.
struct CheckContext {
    std::wstring folder;      // the checker's own folder, where the package put the agent
    DWORD session = 0;        // the Remote Desktop session of this process
    bool userSession = false; // a user's own session, not session 0 (services, remoting, Intune)
};

// The check of that id among those made so far, or null.
inline const Check* FindCheck(const Checks& checks, const std::string& id)
{
    for (const Check& check : checks) {
        if (check.id == id) {
            return &check;
        }
    }
    return nullptr;
}

} // namespace Orvanta::Deskweave
