#include "session/SyncWindowHandler.h"

#include "agent/resource.h"
#include "permissions/FolderPermissionsManager.h"
#include "platform/EventLog.h"
#include "platform/ObjectNames.h"
#include "platform/Process.h"
#include "platform/ProgramFolder.h"
#include "platform/Registry.h"
#include "platform/RegistryNames.h"
#include "platform/SecurityDescriptor.h"
#include "platform/UniqueResource.h"
#include "trace/Trace.h"
#include "window/WindowMessages.h"

#include "HalyardEvents.h"

#include <exception>
#include <string_view>

namespace Orvanta::Deskweave {
namespace {
// 0xA0000009 is negative: a step that has not run yet reads as failed.
constexpr int kNotYetRun = static_cast<int>(0xA0000009u);

const wchar_t kOnCreateTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnCreate";
const wchar_t kOnDestroyTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnDestroy";
const wchar_t kDestructorTag[] = L"Orvanta::Deskweave::SyncWindowHandler::~SyncWindowHandler";
const wchar_t kPolicyTag[] =
    L"Orvanta::Deskweave::SyncWindowHandler::RetrieveAdjustPermissionsOnLogoffFromHklmRegistry";
const wchar_t kOnTimerTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnTimer";
const wchar_t kPendingUploadTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnPendingUploadStatus";
const wchar_t kCreateReasonTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnCreateShutdownReason";
const wchar_t kDestroyReasonTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnDestroyShutdownReason";
const wchar_t kQueryEndSessionTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnQueryEndSession";
const wchar_t kEndSessionTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnEndSession";
const wchar_t kLogonFailedTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnLogonFailedStatus";
const wchar_t kSyncNotEnabledTag[] = L"Orvanta::Deskweave::SyncWindowHandler::OnSyncNotEnabledStatus";

const wchar_t kReasonText[] = L"File operations in progress. Force log off might lose data!";

std::wstring Hex(int status)
{
    wchar_t text[16] = {};
    _snwprintf_s(text, _countof(text), _TRUNCATE, L"%08X", static_cast<unsigned>(status));
    return text;
}

// A companion program that could not be started: the client's programs must be beside the agent.
void ReportLaunchFailure(const wchar_t* program, const wchar_t* argument, DWORD error)
{
    std::wstring folder;
    GetProgramFolder(folder);
    EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_COMPANION_NOT_STARTED,
                     {EventLog::ThisSession(), program, argument, std::to_wstring(error), folder});
}

void ReportUploadWait(DWORD eventId, ULONGLONG startTick, int done, int total)
{
    EventLog::Report(eventId == HALYARD_EVENT_LOGOFF_WAITED ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                     eventId,
                     {EventLog::ThisSession(), std::to_wstring(GetTickCount64() - startTick), std::to_wstring(done),
                      std::to_wstring(total)});
}
} // namespace

SyncWindowHandler::SyncWindowHandler() : initializeResult_(kNotYetRun), registerResult_(kNotYetRun)
{
    uploadsCompleteEvent_.Create(nullptr, TRUE, FALSE, nullptr);
    adjustPermissionsOnLogoff_ = RetrieveAdjustPermissionsOnLogoffFromHklmRegistry();
}

SyncWindowHandler::~SyncWindowHandler()
{
    if (initializeResult_ >= 0) {
        try {
            engine_.OvUninitialize();
        } catch (const std::exception&) {
            Trace(L"%s::OvDeregisterJobStatusListener failed\n", kDestructorTag);
        }
    }
    if (shutdownBlockReason_) {
        Trace(L"%s:: Deleting shutdown block reason.\n", kDestructorTag);
        shutdownBlockReason_.reset();
    }
    // The members go in reverse order of declaration: the event is closed, then the mutex and the
    // SequenceID are released.
}

bool SyncWindowHandler::RetrieveAdjustPermissionsOnLogoffFromHklmRegistry()
{
    Registry policy;
    if (policy.Open(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0;
    const LONG status = policy.QueryDWORDValue(kAdjustPermissionsValue, value);
    if (status == ERROR_SUCCESS) {
        return value != 0;
    }
    if (status != ERROR_FILE_NOT_FOUND) {
        Trace(L"%s: Registry::QueryDWORDValue failed with error: %ld\n", kPolicyTag, status);
    }
    return false;
}

bool SyncWindowHandler::OnCreate(HWND window, WPARAM, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kOnCreateTag);

    Process monitor(kSyncMonitorProgram);
    const DWORD launch = monitor.Create(L"/checkOnDemandMigration");
    Trace(L"%s::CreateProcess result = %08X\n", kOnCreateTag, launch);
    if (launch != 0) {
        ReportLaunchFailure(kSyncMonitorProgram, L"/checkOnDemandMigration", launch);
    }

    // The first connection attempt waits for the first tick: start-up never blocks on the engine.
    SetTimer(window, kConnectionTimerId, kConnectionTimerPeriodMs, nullptr);

    auto reason = std::make_unique<ShutdownBlockReason>(window, kReasonText, IDS_SHUTDOWN_BLOCK_REASON);
    {
        std::lock_guard<std::mutex> lock(countsMutex_);
        shutdownBlockReason_ = std::move(reason);
    }

    *result = 0;
    return true;
}

bool SyncWindowHandler::OnDestroy(HWND, WPARAM, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kOnDestroyTag);
    // Taken from under a notification that may be about to post through it, and deleted outside the
    // lock: the platform call and the library release need not hold up a notification.
    std::unique_ptr<ShutdownBlockReason> reason;
    {
        std::lock_guard<std::mutex> lock(countsMutex_);
        reason = std::move(shutdownBlockReason_);
    }
    if (reason) {
        Trace(L"%s:: Deleting shutdown block reason.\n", kOnDestroyTag);
        reason.reset();
    }
    *result = 0;
    PostQuitMessage(0);
    return true;
}

bool SyncWindowHandler::OnTimer(HWND window, WPARAM wParam, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kOnTimerTag);
    if (wParam != kConnectionTimerId) {
        return false;
    }
    *result = 0;

    if (initializeResult_ >= 0 && registerResult_ >= 0) {
        Trace(L"OvInitialized already succeeded.\n");
        KillTimer(window, kConnectionTimerId);
        return true;
    }
    if (initializeResult_ < 0) {
        initializeResult_ = engine_.OvInitializeIPC2(3, true);
        if (initializeResult_ < 0) {
            Trace(L"%s::OvInitialize2 failed with result = %08X\n", kOnTimerTag, initializeResult_);
        }
        ReportEngineAttempt();
    }
    if (initializeResult_ < 0) {
        return true;
    }

    // The listener is never handed to the engine; the step only records that it is done.
    registerResult_ = 0;
    Trace(L"%s::OvRegisterJobStatusListener returned result = %08X\n", kOnTimerTag, registerResult_);
    if (registerResult_ >= 0) {
        KillTimer(window, kConnectionTimerId);
    }
    return true;
}

void SyncWindowHandler::ReportEngineAttempt()
{
    ++connectionAttempts_;
    if (initializeResult_ >= 0) {
        EventLog::Report(EVENTLOG_INFORMATION_TYPE, HALYARD_EVENT_ENGINE_CONNECTED,
                         {EventLog::ThisSession(), std::to_wstring(connectionAttempts_)});
    } else if (!engineFailureReported_) {
        engineFailureReported_ = true;
        EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_ENGINE_UNAVAILABLE,
                         {EventLog::ThisSession(), Hex(initializeResult_),
                          SyncEngine::StatusMeaning(initializeResult_)});
    }
}

bool SyncWindowHandler::OnPendingUploadStatus(void*, const char* sequenceId, const PendingUploadCounts& counts)
{
    Trace(L"%s::enter...\n", kPendingUploadTag);
    Trace(L"%s:: Done = %d, Total = %d\n", kPendingUploadTag, counts.done, counts.total);

    // std::string_view compares as unsigned bytes, a proper prefix first: "10" sorts before "9".
    const std::string_view next(sequenceId != nullptr ? sequenceId : "");
    if (lastSequenceId_.empty()) {
        lastSequenceId_.assign(next);
        Trace(L"%s::NEW:new SequenceID '%S'\n", kPendingUploadTag, lastSequenceId_.c_str());
    } else if (std::string_view(lastSequenceId_).compare(next) >= 0) {
        Trace(L"%s::IGNORE:Last SequenceID '%S', new SequenceID '%S'\n", kPendingUploadTag, lastSequenceId_.c_str(),
              std::string(next).c_str());
        return true;
    } else {
        Trace(L"%s::UPDATE:Last SequenceID '%S', new SequenceID '%S'\n", kPendingUploadTag, lastSequenceId_.c_str(),
              std::string(next).c_str());
        lastSequenceId_.assign(next);
    }

    // Held while the event is set, so that the query's reset and this set cannot interleave.
    std::lock_guard<std::mutex> lock(countsMutex_);
    uploadsDone_ = counts.done;
    uploadsTotal_ = counts.total;
    if (uploadsDone_ >= uploadsTotal_) {
        if (shutdownBlockReason_) {
            Trace(L"%s:: Posting destroy shutdown block reason.\n", kPendingUploadTag);
            if (HWND window = shutdownBlockReason_->Window()) {
                PostMessageW(window, WM_DESTROYSHUTDOWNREASON, 0, 0);
            }
        }
        uploadsCompleteEvent_.Set();
    } else if (shutdownBlockReason_) {
        Trace(L"%s:: Posting create shutdown block reason.\n", kPendingUploadTag);
        if (HWND window = shutdownBlockReason_->Window()) {
            PostMessageW(window, WM_CREATESHUTDOWNREASON, 0, 0);
        }
    }
    return true;
}

bool SyncWindowHandler::OnCreateShutdownReason(HWND, WPARAM, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kCreateReasonTag);
    if (shutdownBlockReason_) {
        Trace(L"%s:: Creating shutdown block reason.\n", kCreateReasonTag);
        shutdownBlockReason_->Create();
    }
    *result = 0;
    return true;
}

bool SyncWindowHandler::OnDestroyShutdownReason(HWND, WPARAM, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kDestroyReasonTag);
    if (shutdownBlockReason_) {
        Trace(L"%s:: Destroying shutdown block reason.\n", kDestroyReasonTag);
        shutdownBlockReason_->Destroy();
    }
    *result = 0;
    return true;
}

bool SyncWindowHandler::OnQueryEndSession(HWND, WPARAM, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kQueryEndSessionTag);
    // A new session end, unless one already said the session ends: the agent is then going.
    sessionEndHandled_ = sessionEnds_;
    std::lock_guard<std::mutex> lock(countsMutex_);
    Trace(L"%s:: Done = %d, Total = %d\n", kQueryEndSessionTag, uploadsDone_, uploadsTotal_);
    // The session end is never refused: uploads are waited for at WM_ENDSESSION instead.
    *result = 1;
    if (uploadsDone_ < uploadsTotal_) {
        waitingForUploads_ = true;
        doneAtQuery_ = uploadsDone_;
        totalAtQuery_ = uploadsTotal_;
        // Discards a completion left over from before the query, so only a later one ends the wait.
        uploadsCompleteEvent_.Reset();
        Trace(L"%s:: Preparing to wait for uploads to complete.\n", kQueryEndSessionTag);
    } else {
        Trace(L"%s:: All uploads complete.\n", kQueryEndSessionTag);
    }
    return true;
}

bool SyncWindowHandler::OnEndSession(HWND, WPARAM wParam, LPARAM, LRESULT* result)
{
    Trace(L"%s::enter...\n", kEndSessionTag);
    *result = 0;
    // Another program may send this message as often as it likes; the platform sends it once a session
    // end, with wParam FALSE when the end was cancelled (the work is done then too, and again at the next
    // session end, which begins with a new WM_QUERYENDSESSION).
    if (sessionEndHandled_) {
        Trace(L"%s:: The session end was handled already: this WM_ENDSESSION (wParam %I64u) neither reverts the "
              L"permissions nor prepares the engine again.\n",
              kEndSessionTag, static_cast<unsigned long long>(wParam));
        return true;
    }
    sessionEndHandled_ = true;
    sessionEnds_ = sessionEnds_ || wParam != FALSE;
    if (waitingForUploads_) {
        Trace(L"%s:: Waiting for uploads to complete.\n", kEndSessionTag);
        const ULONGLONG waitStart = GetTickCount64();
        // No time limit: an upload is never abandoned, unless the agent is told to stop. While this
        // thread waits it handles no message, so the terminate watcher's WM_CLOSE cannot reach the
        // window: the terminate event itself must end the wait. The notification that ends the wait
        // takes the counts lock meanwhile, so the lock must not be held here.
        // Opened untraced: the end of session writes its own lines and no others.
        UniqueLocalMemory descriptor(CreateEveryOneAllowedSecurityDescriptor());
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
        UniqueHandle terminate(CreateEventW(&attributes, TRUE, FALSE, kTerminateEventName));
        const bool completed = uploadsCompleteEvent_.WaitUnless(terminate.get());
        waitingForUploads_ = false;
        if (!completed && terminate && WaitForSingleObject(terminate.get(), 0) == WAIT_OBJECT_0) {
            // Preparing the engine for logoff now could cost the uploads the wait was for; the agent
            // was told to stop, so it leaves the engine and the folders as they are.
            Trace(L"%s:: Terminate event signalled while waiting for uploads. Ending without them.\n", kEndSessionTag);
            ReportUploadWait(HALYARD_EVENT_LOGOFF_WAIT_TERMINATED, waitStart, doneAtQuery_, totalAtQuery_);
            *result = 0;
            return true;
        }
        Trace(L"%s:: Uploads have completed. Continuing to end session.\n", kEndSessionTag);
        ReportUploadWait(HALYARD_EVENT_LOGOFF_WAITED, waitStart, doneAtQuery_, totalAtQuery_);
    }
    if (adjustPermissionsOnLogoff_) {
        FolderPermissionsManager permissions;
        permissions.RevertRootAndChildrenFoldersToInheritedPermissions();
    }
    const int status = engine_.OvPrepareForLogoff();
    if (status < 0) {
        Trace(L"%s::OvPrepareForLogoff result = %08X\n", kEndSessionTag, status);
    }
    *result = 0;
    return true;
}

bool SyncWindowHandler::OnLogonFailedStatus(void*)
{
    return LaunchSyncApplication(kLogonFailedTag, L"/resetpassword");
}

bool SyncWindowHandler::OnSyncNotEnabledStatus(void*)
{
    return LaunchSyncApplication(kSyncNotEnabledTag, L"/resetpassword_syncnotenabled");
}

bool SyncWindowHandler::LaunchSyncApplication(const wchar_t* tag, const wchar_t* argument)
{
    Trace(L"%s::enter...\n", tag);
    Process application(kSyncApplicationProgram);
    const DWORD launch = application.Create(argument);
    Trace(L"%s::CreateProcess result = %08X\n", tag, launch);
    if (launch != 0 && !syncApplicationFailureReported_.exchange(true)) {
        ReportLaunchFailure(kSyncApplicationProgram, argument, launch);
    }
    return false;
}

} // namespace Orvanta::Deskweave
