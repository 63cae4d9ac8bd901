#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <functional>
#include <thread>

namespace Orvanta::Deskweave {

// Ends the process when it has not ended within a bound of being told to. Only the window thread can
// run the teardown, and an engine call that never returns holds it: the agent would keep its instance
// guard, its log and its programs in use (an upgrade meets them) until logoff. At the bound the process
// ends anyway, with one line and an Event Log entry that name the call, and without the rest of the
// teardown. It must outlive every step of the teardown it guards (first on wWinMain's stack).
//
// The bound is served by the agent's second thread, the terminate watcher, once the watcher is done:
// a thread of its own costs every idle agent its stack (a megabyte under Wine), and one made when the
// agent is told to end costs that end its creation.
class ExitDeadline
{
public:
    explicit ExitDeadline(DWORD boundMs);
    // Cancels the bound and joins the thread, waiting for an expiry already under way (which ends the
    // process).
    ~ExitDeadline();

    ExitDeadline(const ExitDeadline&) = delete;
    ExitDeadline& operator=(const ExitDeadline&) = delete;

    // Runs watch on the second thread, which then serves the bound until this object goes. Throws
    // std::system_error when the thread cannot be made.
    void Start(std::function<void()> watch);
    // Starts the bound, from any thread; later calls change nothing.
    void Arm() const;
    // Returns once the watch has returned, so that what it was given may go; ends the process when
    // that takes longer than the bound (a watcher held by a hung disk in a trace line).
    void WaitForWatch() const;

private:
    void Serve() const;
    void EndProcess() const;

    DWORD boundMs_;
    // Plain events, not the traced Event: the end's log lines are the teardown's own, and an expiry's
    // one line.
    UniqueHandle armed_;
    UniqueHandle watched_;
    UniqueHandle finished_;
    std::thread thread_;
};

} // namespace Orvanta::Deskweave
