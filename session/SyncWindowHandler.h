#pragma once

#include "platform/Event.h"
#include "session/ISyncNotificationCallback.h"
#include "session/ShutdownBlockReason.h"
#include "session/SyncEngine.h"
#include "window/IWindowCallback.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace Orvanta::Deskweave {

// The session handler: the window's callback (window thread only) and the engine's notification
// callback (any thread; notifications one at a time). It must outlive its window, and the
// notification source must stop calling before it is destroyed.
class SyncWindowHandler : public IWindowCallback, public ISyncNotificationCallback
{
public:
    SyncWindowHandler();
    ~SyncWindowHandler() override;

    SyncWindowHandler(const SyncWindowHandler&) = delete;
    SyncWindowHandler& operator=(const SyncWindowHandler&) = delete;

    bool OnCreate(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnDestroy(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnTimer(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnQueryEndSession(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnEndSession(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnCreateShutdownReason(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    bool OnDestroyShutdownReason(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    bool OnLogonFailedStatus(void* context) override;
    bool OnSyncNotEnabledStatus(void* context) override;
    bool OnPendingUploadStatus(void* context, const char* sequenceId, const PendingUploadCounts& counts) override;

    // Machine policy "AdjustPermissionsOnLogoff": false when the key or value is missing or unreadable.
    static bool RetrieveAdjustPermissionsOnLogoffFromHklmRegistry();

    // The timer that drives the engine connection, on the window: its messages are paced to its period.
    static constexpr UINT_PTR kConnectionTimerId = 1;
    static constexpr UINT kConnectionTimerPeriodMs = 2000;

private:
    bool LaunchSyncApplication(const wchar_t* tag, const wchar_t* argument);
    void ReportEngineAttempt();

    SyncEngine engine_;
    int initializeResult_;
    int registerResult_;
    // For the Event Log: one warning for a run of failed attempts, one entry when the engine accepts.
    int connectionAttempts_ = 0;
    bool engineFailureReported_ = false;
    // Notifications may launch the sync application again and again: its failure is reported once.
    std::atomic<bool> syncApplicationFailureReported_{false};
    std::string lastSequenceId_;
    // Also guards the shutdownBlockReason_ pointer, which notifications read while the window thread
    // may be deleting the object.
    std::mutex countsMutex_;
    bool waitingForUploads_ = false;
    int uploadsDone_ = 0;
    int uploadsTotal_ = 0;
    // The counts when the session end was announced, for the Event Log; window thread only.
    int doneAtQuery_ = 0;
    int totalAtQuery_ = 0;
    Event uploadsCompleteEvent_;
    bool adjustPermissionsOnLogoff_ = false;
    // Window thread only. The logoff work (the revert, the engine's preparation) is done once a session
    // end: a WM_ENDSESSION that comes again before the next WM_QUERYENDSESSION, or after one that said the
    // session ends, is only traced.
    bool sessionEndHandled_ = false;
    bool sessionEnds_ = false;
    std::unique_ptr<ShutdownBlockReason> shutdownBlockReason_;
};

} // namespace Orvanta::Deskweave
