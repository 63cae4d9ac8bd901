#pragma once

#include "admin/check/Check.h"

#include <string>

namespace Orvanta::Deskweave {

// The checks of one machine as an administrator reads them (a line a check, aligned for a console
// 100 columns wide, and a summary) and as deployment tools take them (one JSON object, ASCII only, or
// one line that fits what they keep).
class CheckReport
{
public:
    CheckReport(std::wstring version, std::wstring computer, DWORD session, Checks checks);

    // The worst result of all checks.
    CheckResult Result() const;
    // 0: every check ok or skipped; 1: warnings only; 2: at least one failure.
    int ExitCode() const;
    std::wstring Text() const;
    // {"version", "computer", "session", "result", "checks": [{"id", "result", "text"}]}; every
    // character beyond printable ASCII escaped as \uXXXX, so that any console code page reads it.
    std::string Json() const;
    // One ASCII line for a deployment tool that keeps 2,048 characters of output (Intune): the result
    // and the counts, then the id of every failure and warning, then their texts, cut to fit; characters
    // beyond printable ASCII as the JSON escapes them.
    std::string Summary() const;

private:
    std::wstring version_;
    std::wstring computer_;
    DWORD session_;
    Checks checks_;
};

} // namespace Orvanta::Deskweave
