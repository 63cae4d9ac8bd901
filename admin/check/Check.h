#pragma once

#include "admin/common/Caller.h"

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
    std::wstring folder; // the checker's own folder, where the package put the agent
    Caller caller;
    // The checks of one user (that user's log, sync folders and HKEY_CURRENT_USER) run: a user's
    // session, and its user runs the checker. Otherwise `notUserSession` says why they are skipped.
    bool userSession = false;
    std::wstring notUserSession;

    static CheckContext Of(std::wstring folder, const Caller& caller)
    {
        CheckContext context{std::move(folder), caller, false, {}};
        if (caller.session == 0) {
            context.notUserSession = L"not in a user's session (session 0: services, remoting, Intune)";
        } else if (!caller.IsSessionUser()) {
            context.notUserSession = L"run as " + caller.user + L", not as the session's user " +
                                     (caller.sessionUser.empty() ? L"(none)" : caller.sessionUser) +
                                     L" (psexec -s, runas): that user's TEMP and HKEY_CURRENT_USER are not this "
                                     L"process's";
        } else {
            context.userSession = true;
        }
        return context;
    }
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
